#include "relay-mqtt/mqtt/DiscoveryConfigs.h"

#include "relay-mqtt/BridgeOptions.h"
#include "relay-mqtt/mqtt/BridgeTopics.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

// What every entity of a card shares: the device it belongs to and the bridge's availability.
QJsonObject entity(
    const BridgeOptions &options, const BridgeTopics &topics, quint8 card, const QString &uniqueId)
{
    const QString cardId = BridgeTopics::idOf(options.name) + u'_' + QString::number(card);
    QJsonObject device{
        {QStringLiteral("identifiers"), QJsonArray{cardId}},
        // Two bridges' cards of the same address must be told apart.
        {QStringLiteral("name"),
            QStringLiteral("%1 (%2)").arg(options.cardName(card), options.name)},
        {QStringLiteral("model"), QStringLiteral("Eight-channel serial relay card")},
        {QStringLiteral("sw_version"), QStringLiteral(RELAYMQTT_VERSION)},
    };
    if (options.web.isOn())
        device.insert(QStringLiteral("configuration_url"), options.web.pageUrl(options.hostName));
    return {
        {QStringLiteral("unique_id"), uniqueId},
        {QStringLiteral("availability_topic"), topics.status()},
        {QStringLiteral("payload_available"), QStringLiteral("online")},
        {QStringLiteral("payload_not_available"), QStringLiteral("offline")},
        {QStringLiteral("qos"), 1},
        {QStringLiteral("device"), device},
        {QStringLiteral("origin"),
            QJsonObject{
                {QStringLiteral("name"), QStringLiteral("relay-mqtt")},
                {QStringLiteral("sw_version"), QStringLiteral(RELAYMQTT_VERSION)},
            }},
    };
}

DiscoveryConfigs::Message message(
    const BridgeOptions &options, const QString &component, const QJsonObject &config)
{
    const QString topic = options.discoveryPrefix + u'/' + component + u'/'
        + config.value(QStringLiteral("unique_id")).toString() + QStringLiteral("/config");
    return {topic, QJsonDocument(config).toJson(QJsonDocument::Compact)};
}

} // namespace

QList<DiscoveryConfigs::Message> DiscoveryConfigs::messages(
    const BridgeOptions &options, const BridgeTopics &topics)
{
    QList<Message> messages;
    if (!options.discovery)
        return messages;
    const QString id = BridgeTopics::idOf(options.name);
    for (const quint8 card : options.cards) {
        const QString cardId = id + u'_' + QString::number(card);
        for (int relay = 1; relay <= BridgeOptions::relayCount; ++relay) {
            const QString relayTopic = topics.relay(card, relay);
            QJsonObject config
                = entity(options, topics, card, cardId + u'_' + QString::number(relay));
            config.insert(QStringLiteral("name"), options.relayName(card, relay));
            config.insert(QStringLiteral("command_topic"), relayTopic + QStringLiteral("/set"));
            // The card never answers: the state is what the bridge last sent it, published
            // after every command it carried out or refused.
            config.insert(QStringLiteral("state_topic"), topics.state(card, relay));
            config.insert(QStringLiteral("payload_on"), QStringLiteral("ON"));
            config.insert(QStringLiteral("payload_off"), QStringLiteral("OFF"));
            config.insert(QStringLiteral("state_on"), QStringLiteral("ON"));
            config.insert(QStringLiteral("state_off"), QStringLiteral("OFF"));
            messages << message(options, QStringLiteral("switch"), config);
        }
        const auto button = [&](const QString &what, const QString &name, const QString &press,
                                const QString &deviceClass) {
            QJsonObject config = entity(options, topics, card, cardId + u'_' + what);
            config.insert(QStringLiteral("name"), name);
            config.insert(QStringLiteral("command_topic"), topics.card(card) + u'/' + what);
            config.insert(QStringLiteral("payload_press"), press);
            if (!deviceClass.isEmpty())
                config.insert(QStringLiteral("device_class"), deviceClass);
            messages << message(options, QStringLiteral("button"), config);
        };
        button(QStringLiteral("stop"), QStringLiteral("Emergency stop"), QStringLiteral("STOP"),
            QString());
        button(QStringLiteral("show"), QStringLiteral("Show address"), QStringLiteral("SHOW"),
            QStringLiteral("identify"));
    }
    return messages;
}
