#pragma once

#include "relay-mqtt/BridgeOptions.h"
#include "relay-mqtt/line/BridgeCommand.h"
#include "relay-mqtt/line/RelayLine.h"
#include "relay-mqtt/mqtt/BridgeTopics.h"
#include "relay-mqtt/mqtt/CommandReader.h"
#include "relay-mqtt/mqtt/MqttConnection.h"
#include "relay-mqtt/mqtt/RetainedPublisher.h"
#include "relay-mqtt/watch/CommandCounts.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <map>
#include <optional>

// The MQTT side: the commands the broker brings go through the reader to the line, what the line
// carries back to the broker as relay states, with the bridge's availability, and Home
// Assistant's discovery configs. At its first connection it reads back what it left retained
// (the relays' states, the record of what it announced), then at each connection subscribes to
// the commands, and says it is online only once the broker has granted them all.
class MqttBridge : public QObject
{
    Q_OBJECT

public:
    // The reading back ends when the bridge's own marker comes back. A broker whose access list
    // silently drops it would keep the bridge from ever starting: after this long it goes on.
    static constexpr std::chrono::seconds markerAllowance{10};
    // A subscription the broker refused is asked for again, the pause doubling up to the longest.
    static constexpr std::chrono::seconds firstSubscriptionRetry{5};
    static constexpr std::chrono::seconds longestSubscriptionRetry{300};
    // What becomes of the broker's commands is counted in `counts`.
    MqttBridge(const BridgeOptions &options, RelayLine &line, CommandCounts &counts,
        QObject *parent = nullptr);

    // Connects to the broker. False, with errorString(), if the broker settings cannot be used
    // at all.
    bool start();
    QString errorString() const { return m_mqtt.errorString(); }
    // Says goodbye to the broker, then emits finished(). The line's last states go out first.
    void stop();
    // Connected, and the broker granted the command topics.
    bool isOnline() const { return m_ready; }
    // The connections to the broker after the first.
    quint64 reconnections() const { return m_connections > 0 ? m_connections - 1 : 0; }

signals:
    // Whether the bridge takes commands from the broker now.
    void onlineChanged(bool online);
    void finished();

private:
    static MqttSettings settingsWithWill(MqttSettings settings, const BridgeTopics &topics);

    void connected();
    void disconnected(
        const QString &reason, std::chrono::milliseconds lasted, std::chrono::milliseconds retryIn);
    void subscribed(int mid, const QList<int> &granted);
    void received(const QString &topic, const QByteArray &payload, bool retained);
    void submit(const QString &topic, const QByteArray &payload, bool retained);
    QStringList readBackFilters() const;
    void startReadBack();
    void readBackSubscribed(const QList<int> &granted);
    void finishReadBack();
    void subscribeCommands();
    void commandsSubscribed(const QList<int> &granted);
    void becomeReady();

    void announce();
    void setReady(bool ready);
    // The states of the relays the command is about, whatever became of it.
    void answer(const BridgeCommand &command);
    void publishStates(const QList<BridgeTopics::Relay> &relays);

    const BridgeOptions &m_options;
    RelayLine &m_line;
    CommandCounts &m_counts;
    quint64 m_connections = 0;
    BridgeTopics m_topics;
    MqttConnection m_mqtt;
    RetainedPublisher m_publisher;
    CommandReader m_reader;

    // Reading back, at the first connection.
    std::optional<int> m_readBackSubscription;
    QByteArray m_marker; // the payload of this run's marker
    QTimer m_markerAllowance;
    std::map<quint8, VirtualCard::Relays> m_retainedStates;
    QByteArray m_earlierRecord;
    bool m_readBack = false;
    bool m_staleRemoved = false;

    std::optional<int> m_commandSubscription;
    QStringList m_commandFilters;
    QTimer m_subscriptionRetry;
    bool m_subscriptionRefused = false;
    bool m_ready = false; // granted the commands on this connection
    std::optional<bool> m_announcedOnline;

    bool m_stopping = false;
};
