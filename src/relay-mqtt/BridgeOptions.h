#pragma once

#include "relay-mqtt/MqttSettings.h"
#include "relay-mqtt/WebSettings.h"

#include <QList>
#include <QString>
#include <QtGlobal>

#include <array>
#include <chrono>
#include <map>

// What relay-mqtt runs with, from its command line and its config file.
struct BridgeOptions
{
    static constexpr int relayCount = 8;

    // A card's own group in the config file: its name, its relays' names and the relays that
    // must never be on together.
    struct Card
    {
        QString name; // empty: "Card A"
        std::array<QString, relayCount> relayNames; // empty: "Relay R"
        // Sets of relay numbers (1 to 8); a relay is in one set at most.
        QList<QList<int>> interlocks;
    };

    // The port as the panel numbers ports (1 for the first); 0 when `device` names the port.
    int port = 0;
    // A device path such as /dev/serial/by-id/...; empty when `port` names the port.
    QString device;
    // The card addresses bridged, in the order given, each once.
    QList<quint8> cards;
    // The cards that have a group of their own.
    std::map<quint8, Card> cardGroups;
    // The base topic, and the prefix of every unique id.
    QString name = QStringLiteral("relaycards");
    bool discovery = true;
    QString discoveryPrefix = QStringLiteral("homeassistant");
    // Where Home Assistant says it has (re)started.
    QString haStatusTopic = QStringLiteral("homeassistant/status");
    // Between the OFF of an interlocked relay reaching the card and the ON of its partner.
    std::chrono::milliseconds interlockDelay{100};
    // The machine's name: with the line, it tells this bridge from any other on the broker.
    QString hostName;
    // False: no broker at all, the web page alone.
    bool useBroker = true;
    // The broker, the client id, the login and TLS; the will is the bridge's to set.
    MqttSettings mqtt;
    // The web page and its API.
    WebSettings web;

    QString cardName(quint8 card) const;
    QString relayName(quint8 card, int relay) const;
    QList<QList<int>> interlocks(quint8 card) const;
    // The port as the log and the bridge's record name it.
    QString lineName() const;
};
