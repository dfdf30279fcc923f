#pragma once

#include <QStringList>

#include <sys/types.h>

// The modem-line requests (TIOCMBIS, TIOCMBIC, TIOCMSET) this process makes, as "DTR up",
// "DTR down", "RTS up"... per device. Linking this into a test binary puts an ioctl() in front of
// the system's that notes them and passes every call on, so a test sees what a port asked of
// lines a pseudo-terminal does not have.
class ModemLineRequests
{
public:
    static void clear();
    // What was asked of the device with that device number, oldest first.
    static QStringList of(dev_t device);
    // The device number of the device node at `path`, or 0.
    static dev_t deviceOf(const QString &path);
};
