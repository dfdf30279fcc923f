#include "relay-mqtt/mqtt/AnnouncementRecord.h"

#include "relay-mqtt/BridgeOptions.h"
#include "relay-mqtt/mqtt/BridgeTopics.h"
#include "relay-mqtt/mqtt/DiscoveryConfigs.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

namespace {

const QString nameKey = QStringLiteral("name");
const QString prefixKey = QStringLiteral("discovery-prefix");
const QString cardsKey = QStringLiteral("cards");

} // namespace

QByteArray AnnouncementRecord::payload(const BridgeOptions &options)
{
    QJsonArray cards;
    for (const quint8 card : options.cards)
        cards << int(card);
    QJsonObject record{{nameKey, options.name}, {cardsKey, cards}};
    if (options.discovery)
        record.insert(prefixKey, options.discoveryPrefix);
    return QJsonDocument(record).toJson(QJsonDocument::Compact);
}

QStringList AnnouncementRecord::topics(const BridgeOptions &options)
{
    const BridgeTopics names(options);
    QStringList topics{names.status()};
    for (const quint8 card : options.cards) {
        for (int relay = 1; relay <= BridgeOptions::relayCount; ++relay)
            topics << names.state(card, relay);
    }
    for (const DiscoveryConfigs::Message &config : DiscoveryConfigs::messages(options, names))
        topics << config.topic;
    return topics;
}

QStringList AnnouncementRecord::staleTopics(const QByteArray &earlier, const BridgeOptions &options)
{
    const QJsonObject record = QJsonDocument::fromJson(earlier).object();
    const QString name = record.value(nameKey).toString();
    if (name.isEmpty())
        return {};
    BridgeOptions before = options;
    before.name = name;
    before.discovery = record.contains(prefixKey);
    before.discoveryPrefix = record.value(prefixKey).toString();
    before.cards.clear();
    for (const QJsonValue card : record.value(cardsKey).toArray()) {
        const int address = card.toInt(-1);
        if (address >= 0 && address <= 255)
            before.cards << quint8(address);
    }
    const QStringList now = topics(options);
    const QSet<QString> kept(now.begin(), now.end());
    QStringList stale;
    for (const QString &topic : topics(before)) {
        if (!kept.contains(topic))
            stale << topic;
    }
    return stale;
}
