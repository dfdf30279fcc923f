#pragma once

#include <QProcess>

#include <csignal>
#include <sys/prctl.h>

// Has the program `process` starts killed when the test or bench that started it dies: one that
// aborts never runs the destructors that would stop its broker or bridge, and a bridge left
// behind reopens its device path whenever a later pseudo-terminal gets the same number.
inline void dieWithParent(QProcess &process)
{
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}
