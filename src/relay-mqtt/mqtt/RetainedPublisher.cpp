#include "relay-mqtt/mqtt/RetainedPublisher.h"

#include "relay-mqtt/BridgeLog.h"
#include "relay-mqtt/BridgeOptions.h"
#include "relay-mqtt/mqtt/AnnouncementRecord.h"
#include "relay-mqtt/mqtt/DiscoveryConfigs.h"
#include "relay-mqtt/mqtt/MqttConnection.h"

namespace {

QByteArray onOff(bool on)
{
    return on ? QByteArrayLiteral("ON") : QByteArrayLiteral("OFF");
}

} // namespace

RetainedPublisher::RetainedPublisher(
    MqttConnection &mqtt, const BridgeTopics &topics, const BridgeOptions &options)
    : m_mqtt(mqtt), m_topics(topics), m_options(options)
{ }

QByteArray RetainedPublisher::statusPayload(bool online)
{
    return online ? QByteArrayLiteral("online") : QByteArrayLiteral("offline");
}

void RetainedPublisher::status(bool online)
{
    publish(m_topics.status(), statusPayload(online));
}

void RetainedPublisher::discovery()
{
    for (const DiscoveryConfigs::Message &message : DiscoveryConfigs::messages(m_options, m_topics))
        publish(message.topic, message.payload);
}

void RetainedPublisher::states(const CardMirror &mirror)
{
    for (const quint8 card : m_options.cards) {
        const VirtualCard::Relays relays = mirror.relays(card).value_or(VirtualCard::Relays{});
        for (int relay = 1; relay <= VirtualCard::relayCount; ++relay)
            publish(m_topics.state(card, relay), onOff(relays.at(relay - 1)));
    }
}

void RetainedPublisher::states(const CardMirror &mirror, const QList<BridgeTopics::Relay> &relays)
{
    for (const BridgeTopics::Relay &relay : relays)
        publish(
            m_topics.state(relay.card, relay.relay), onOff(mirror.isOn(relay.card, relay.relay)));
}

void RetainedPublisher::record()
{
    publish(m_topics.record(), AnnouncementRecord::payload(m_options));
}

void RetainedPublisher::remove(const QStringList &topics)
{
    for (const QString &topic : topics)
        publish(topic, QByteArray());
}

void RetainedPublisher::publish(const QString &topic, const QByteArray &payload)
{
    if (!m_mqtt.publish(topic, payload, 1, true))
        bridgeLog(tr("cannot publish %1").arg(topic));
}
