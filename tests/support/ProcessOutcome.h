#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>

#include <chrono>

// How a program the test started ended, and what it printed.
struct ProcessOutcome
{
    int exitCode = -1; // -1: killed by a signal, or did not end in time
    QByteArray output;
    QString errors;
};

// Waits for `process` to end, killing it after `timeout`, and collects what it printed.
inline ProcessOutcome finish(QProcess &process, std::chrono::milliseconds timeout)
{
    ProcessOutcome outcome;
    if (!process.waitForFinished(static_cast<int>(timeout.count()))) {
        process.kill();
        process.waitForFinished();
    } else if (process.exitStatus() == QProcess::NormalExit) {
        outcome.exitCode = process.exitCode();
    }
    outcome.output = process.readAllStandardOutput();
    outcome.errors = QString::fromLocal8Bit(process.readAllStandardError());
    return outcome;
}
