#pragma once

#include "relay-mqtt/CardMirror.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QList>
#include <QString>

struct BridgeOptions;
class BridgeTopics;
class MqttConnection;

// What the bridge leaves retained on the broker, at QoS 1: its availability, the relay states
// it assumes, and Home Assistant's discovery configs. A publish that cannot go out is logged.
class RetainedPublisher
{
    Q_DECLARE_TR_FUNCTIONS(RetainedPublisher)

public:
    RetainedPublisher(
        MqttConnection &mqtt, const BridgeTopics &topics, const BridgeOptions &options);

    static QByteArray statusPayload(bool online);

    void status(bool online);
    void discovery();
    void states(const CardMirror &mirror);
    void changes(const QList<CardMirror::Change> &changes);

private:
    void publish(const QString &topic, const QByteArray &payload);

    MqttConnection &m_mqtt;
    const BridgeTopics &m_topics;
    const BridgeOptions &m_options;
};
