#pragma once

#include "relay-mqtt/line/CardMirror.h"
#include "relay-mqtt/mqtt/BridgeTopics.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QList>
#include <QString>
#include <QStringList>

struct BridgeOptions;
class MqttConnection;

// What the bridge leaves retained on the broker, at QoS 1: its availability, the relay states
// it assumes, Home Assistant's discovery configs and the record of what it announced. A publish
// that cannot go out is logged.
class RetainedPublisher
{
    Q_DECLARE_TR_FUNCTIONS(RetainedPublisher)

public:
    RetainedPublisher(
        MqttConnection &mqtt, const BridgeTopics &topics, const BridgeOptions &options);

    static QByteArray statusPayload(bool online);

    void status(bool online);
    void discovery();
    // Every relay's state.
    void states(const CardMirror &mirror);
    // These relays' states, changed or not: every command gets an answer.
    void states(const CardMirror &mirror, const QList<BridgeTopics::Relay> &relays);
    void record();
    // Takes the retained messages off these topics.
    void remove(const QStringList &topics);

private:
    void publish(const QString &topic, const QByteArray &payload);

    MqttConnection &m_mqtt;
    const BridgeTopics &m_topics;
    const BridgeOptions &m_options;
};
