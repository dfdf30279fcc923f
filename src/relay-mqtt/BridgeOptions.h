#pragma once

#include "relay-mqtt/MqttSettings.h"

#include <QList>
#include <QString>
#include <QtGlobal>

// What relay-mqtt runs with, from its command line and its config file.
struct BridgeOptions
{
    // The port as the panel numbers ports (1 for the first); 0 when `device` names the port.
    int port = 0;
    // A device path such as /dev/serial/by-id/...; empty when `port` names the port.
    QString device;
    // The card addresses bridged, in the order given, each once.
    QList<quint8> cards;
    // The base topic, and the prefix of every unique id.
    QString name = QStringLiteral("relaycards");
    bool discovery = true;
    QString discoveryPrefix = QStringLiteral("homeassistant");
    // The broker, the client id, the login and the CA file; the will is the bridge's to set.
    MqttSettings mqtt;
};
