#include "sim/HeadlessLog.h"

QString HeadlessLog::commandLine(qint64 ms, quint8 address, const VirtualCard::Command &command,
    const VirtualCard::Relays &relays)
{
    const bool printable = command.instruction > ' ' && command.instruction < 127;
    return QStringLiteral("%1 %2 %3 %4 %5")
        .arg(ms)
        .arg(address)
        .arg(printable ? QChar(command.instruction) : QChar(u'?'))
        .arg(command.parameter)
        .arg(relayString(relays));
}

QString HeadlessLog::releaseLine(qint64 ms, quint8 address, const VirtualCard::Relays &relays)
{
    return QStringLiteral("%1 %2 - - %3").arg(ms).arg(address).arg(relayString(relays));
}

QString HeadlessLog::relayString(const VirtualCard::Relays &relays)
{
    QString text;
    for (bool on : relays)
        text += on ? u'1' : u'0';
    return text;
}
