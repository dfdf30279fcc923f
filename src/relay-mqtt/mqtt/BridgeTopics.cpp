#include "relay-mqtt/mqtt/BridgeTopics.h"

#include "relay-mqtt/BridgeOptions.h"

BridgeTopics::BridgeTopics(const BridgeOptions &options)
    : m_name(options.name),
      m_status(options.name + QStringLiteral("/status")),
      m_haStatus(options.haStatusTopic),
      m_record(QStringLiteral("relay-mqtt/%1/%2/announced")
                   .arg(idOf(options.hostName), idOf(options.lineName()))),
      m_marker(options.name + QStringLiteral("/sync"))
{
    for (const quint8 card : options.cards) {
        for (int relay = 1; relay <= BridgeOptions::relayCount; ++relay)
            m_states.insert(state(card, relay), Relay{card, relay});
    }
}

QString BridgeTopics::idOf(const QString &text)
{
    QString id;
    for (const char byte : text.toUtf8()) {
        const bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z')
            || (byte >= '0' && byte <= '9') || byte == '-';
        if (plain)
            id += QLatin1Char(byte);
        else
            id += QStringLiteral("_%1").arg(quint8(byte), 2, 16, QLatin1Char('0'));
    }
    return id;
}

QString BridgeTopics::card(quint8 card) const
{
    return m_name + u'/' + QString::number(card);
}

QString BridgeTopics::relay(quint8 card, int relay) const
{
    return QStringLiteral("%1/%2/relay/%3").arg(m_name).arg(card).arg(relay);
}

QString BridgeTopics::state(quint8 card, int relay) const
{
    return this->relay(card, relay) + QStringLiteral("/state");
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
