#include "relay-mqtt/BridgeTopics.h"

#include "card/VirtualCard.h"

BridgeTopics::BridgeTopics(
    const QString &name, const QString &discoveryPrefix, const QList<quint8> &cards)
    : m_name(name),
      m_status(name + QStringLiteral("/status")),
      m_birth(discoveryPrefix + QStringLiteral("/status"))
{
    for (const quint8 card : cards) {
        for (int relay = 1; relay <= VirtualCard::relayCount; ++relay)
            m_states.insert(state(card, relay), Relay{card, relay});
    }
}

QString BridgeTopics::state(quint8 card, int relay) const
{
    return QStringLiteral("%1/%2/relay/%3/state").arg(m_name).arg(card).arg(relay);
}

QString BridgeTopics::stateFilter(quint8 card) const
{
    return QStringLiteral("%1/%2/relay/+/state").arg(m_name).arg(card);
}

std::optional<BridgeTopics::Relay> BridgeTopics::readState(const QString &topic) const
{
    const auto found = m_states.constFind(topic);
    if (found == m_states.cend())
        return std::nullopt;
    return *found;
}
