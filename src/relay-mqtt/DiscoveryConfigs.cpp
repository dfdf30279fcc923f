#include "relay-mqtt/DiscoveryConfigs.h"

#include "relay-mqtt/CommandReader.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

// Home Assistant takes only letters, digits, _ and - in the object id of a discovery topic.
QString idOf(const QString &name)
{
    QString id = name;
    for (QChar &c : id) {
        const bool plain = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z')
            || (c >= u'0' && c <= u'9') || c == u'_' || c == u'-';
        if (!plain)
            c = u'_';
    }
    return id;
}

// What every entity of a card shares: the device it belongs to and the bridge's availability.
QJsonObject entity(const BridgeOptions &options, quint8 card, const QString &uniqueId)
{
    const QString cardId = idOf(options.name) + u'_' + QString::number(card);
    return {
        {QStringLiteral("unique_id"), uniqueId},
        {QStringLiteral("availability_topic"), options.name + QStringLiteral("/status")},
        {QStringLiteral("payload_available"), QStringLiteral("online")},
        {QStringLiteral("payload_not_available"), QStringLiteral("offline")},
        {QStringLiteral("qos"), 1},
        {QStringLiteral("device"),
            QJsonObject{
                {QStringLiteral("identifiers"), QJsonArray{cardId}},
                {QStringLiteral("name"), QStringLiteral("Relay card %1").arg(card)},
                {QStringLiteral("model"), QStringLiteral("Eight-channel serial relay card")},
            }},
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

QList<DiscoveryConfigs::Message> DiscoveryConfigs::messages(const BridgeOptions &options)
{
    QList<Message> messages;
    if (!options.discovery)
        return messages;
    const QString id = idOf(options.name);
    for (const quint8 card : options.cards) {
        const QString cardTopic = options.name + u'/' + QString::number(card);
        const QString cardId = id + u'_' + QString::number(card);
        for (int relay = 1; relay <= CommandReader::relayCount; ++relay) {
            const QString relayTopic
                = cardTopic + QStringLiteral("/relay/") + QString::number(relay);
            QJsonObject config = entity(options, card, cardId + u'_' + QString::number(relay));
            config.insert(QStringLiteral("name"), QStringLiteral("Relay %1").arg(relay));
            config.insert(QStringLiteral("command_topic"), relayTopic + QStringLiteral("/set"));
            config.insert(QStringLiteral("state_topic"), relayTopic + QStringLiteral("/state"));
            config.insert(QStringLiteral("payload_on"), QStringLiteral("ON"));
            config.insert(QStringLiteral("payload_off"), QStringLiteral("OFF"));
            config.insert(QStringLiteral("state_on"), QStringLiteral("ON"));
            config.insert(QStringLiteral("state_off"), QStringLiteral("OFF"));
            // The card never answers: the state is what the bridge last sent it.
            config.insert(QStringLiteral("optimistic"), true);
            messages << message(options, QStringLiteral("switch"), config);
        }
        const auto button = [&](const QString &what, const QString &name, const QString &press) {
            QJsonObject config = entity(options, card, cardId + u'_' + what);
            config.insert(QStringLiteral("name"), name);
            config.insert(QStringLiteral("command_topic"), cardTopic + u'/' + what);
            config.insert(QStringLiteral("payload_press"), press);
            messages << message(options, QStringLiteral("button"), config);
        };
        button(QStringLiteral("stop"), QStringLiteral("Emergency stop"), QStringLiteral("STOP"));
        button(QStringLiteral("show"), QStringLiteral("Show address"), QStringLiteral("SHOW"));
    }
    return messages;
}
