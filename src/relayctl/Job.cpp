#include "relayctl/Job.h"

#include <QCoreApplication>

QByteArray Step::burst() const
{
    return command.burst(address, value);
}

QString Step::line() const
{
    return QString::fromLatin1(burst().toHex(' ')) + QStringLiteral("  ") + words;
}

QString Job::lineName() const
{
    if (!url.isEmpty())
        return QCoreApplication::translate("Job", "relay-mqtt at %1").arg(url.toString());
    return device.isEmpty() ? QCoreApplication::translate("Job", "Port %1").arg(port)
                            : QCoreApplication::translate("Job", "Device %1").arg(device);
}
