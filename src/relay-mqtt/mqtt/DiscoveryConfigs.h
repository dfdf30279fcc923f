#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

struct BridgeOptions;
class BridgeTopics;

// Home Assistant's MQTT discovery: the retained config messages that make every relay a switch
// and every card's emergency stop and show address a button, one device per card.
class DiscoveryConfigs
{
public:
    struct Message
    {
        QString topic;
        QByteArray payload; // JSON
    };

    // None when discovery is off.
    static QList<Message> messages(const BridgeOptions &options, const BridgeTopics &topics);
};
