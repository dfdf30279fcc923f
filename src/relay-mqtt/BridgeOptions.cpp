#include "relay-mqtt/BridgeOptions.h"

QString BridgeOptions::cardName(quint8 card) const
{
    const auto group = cardGroups.find(card);
    if (group == cardGroups.end() || group->second.name.isEmpty())
        return QStringLiteral("Card %1").arg(card);
    return group->second.name;
}

QString BridgeOptions::relayName(quint8 card, int relay) const
{
    const auto group = cardGroups.find(card);
    if (group == cardGroups.end() || relay < 1 || relay > relayCount
        || group->second.relayNames.at(relay - 1).isEmpty())
        return QStringLiteral("Relay %1").arg(relay);
    return group->second.relayNames.at(relay - 1);
}

QList<QList<int>> BridgeOptions::interlocks(quint8 card) const
{
    const auto group = cardGroups.find(card);
    return group == cardGroups.end() ? QList<QList<int>>{} : group->second.interlocks;
}

QString BridgeOptions::lineName() const
{
    return device.isEmpty() ? QStringLiteral("port %1").arg(port) : device;
}
