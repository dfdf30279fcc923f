#pragma once

#include <QByteArray>
#include <QStringList>

struct BridgeOptions;

// What a bridge announced on the broker, kept there retained so that the next start can take
// back what it no longer announces: the configs of a card taken out, of a renamed bridge, of
// discovery turned off, which Home Assistant would otherwise keep as switches that do nothing.
// It holds what the topics follow from (name, discovery prefix, cards), not the topics.
class AnnouncementRecord
{
public:
    static QByteArray payload(const BridgeOptions &options);
    // The retained topics a bridge of these options publishes: its status, its relays' states
    // and its discovery configs.
    static QStringList topics(const BridgeOptions &options);
    // The topics the record `earlier` names that `options` no longer publishes; none if it is
    // no record.
    static QStringList staleTopics(const QByteArray &earlier, const BridgeOptions &options);
};
