#pragma once

#include "relay-mqtt/BridgeOptions.h"
#include "relay-mqtt/BridgeTopics.h"
#include "relay-mqtt/CardMirror.h"
#include "relay-mqtt/CommandReader.h"
#include "relay-mqtt/LineFeeder.h"
#include "relay-mqtt/MqttConnection.h"
#include "relay-mqtt/PortKeeper.h"
#include "relay-mqtt/RetainedPublisher.h"
#include "serial/SerialLink.h"

#include <QByteArray>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <chrono>
#include <map>
#include <memory>
#include <optional>

// relay-mqtt's wiring: the commands the broker brings go through the reader to the line feeder,
// the bursts it writes through the mirror back to the broker as relay states, with the bridge's
// availability, and Home Assistant's discovery configs. At each connection it reads back the
// states it left retained (the first time only), then subscribes to the commands, and only then
// says it is online.
class Bridge : public QObject
{
    Q_OBJECT

public:
    // Retained messages come right after their SUBACK: this long for them to arrive.
    static constexpr std::chrono::milliseconds stateSettle{500};
    // At exit, how much longer than its pace the line may take before it is closed anyway.
    static constexpr std::chrono::seconds lineStallAllowance{2};

    explicit Bridge(BridgeOptions options, QObject *parent = nullptr);

    // Opens the port (or keeps trying) and connects to the broker. False, with errorString(),
    // if the broker settings cannot be used at all.
    bool start();
    QString errorString() const { return m_mqtt.errorString(); }
    // Says goodbye to the broker, lets the line carry what was written, drops DTR, then emits
    // finished(exitCode).
    void stop(int exitCode = 0);

signals:
    void finished(int exitCode);

private:
    static MqttSettings settingsWithWill(MqttSettings settings, const BridgeTopics &topics);

    void connected();
    void disconnected(const QString &reason);
    void subscribed(int mid);
    void received(const QString &topic, const QByteArray &payload, bool retained);
    void submit(const QString &topic, const QByteArray &payload, bool retained);
    void subscribe(const QStringList &filters, QSet<int> &pending);
    void finishStateRead();
    void becomeReady();

    void announce();
    void publishChanges(const QList<CardMirror::Change> &changes);

    void drainLine(std::chrono::steady_clock::time_point deadline);
    void finishIfDone();

    BridgeOptions m_options;
    BridgeTopics m_topics;
    SerialLink m_link;
    MqttConnection m_mqtt;
    RetainedPublisher m_publisher;
    PortKeeper m_port;
    CommandReader m_reader;
    CardMirror m_mirror;
    std::unique_ptr<LineFeeder> m_feeder;
    QTimer m_stateSettle;

    QSet<int> m_stateSubscriptions; // SUBACKs still to come, this connection
    QSet<int> m_commandSubscriptions;
    std::map<quint8, VirtualCard::Relays> m_retainedStates;
    bool m_statesRead = false;
    bool m_ready = false; // subscribed to the commands on this connection
    std::optional<bool> m_announcedOnline;

    bool m_stopping = false;
    bool m_lineDone = false;
    bool m_brokerDone = false;
    int m_exitCode = 0;
};
