#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// A figure in KiB from a process's status, such as "VmHWM:" (the peak of its resident memory)
// or "VmRSS:"; -1 if the process or the figure is not there.
inline qint64 statusKiB(qint64 pid, QByteArrayView field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(field.size()).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}
