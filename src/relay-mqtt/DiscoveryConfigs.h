#pragma once

#include "relay-mqtt/BridgeOptions.h"

#include <QByteArray>
#include <QList>
#include <QString>

// Home Assistant's MQTT discovery: the retained config messages that make every relay a switch
// and every card's emergency stop and show address a button.
class DiscoveryConfigs
{
public:
    struct Message
    {
        QString topic;
        QByteArray payload; // JSON
    };

    static QList<Message> messages(const BridgeOptions &options);
};
