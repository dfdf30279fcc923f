#pragma once

#include "relay-mqtt/MqttSettings.h"

#include <QByteArray>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>

class QSocketNotifier;
struct mosquitto;
struct mosquitto_message;

// One client connection to an MQTT broker, run by the thread's event loop: libmosquitto reads
// and writes when the socket is ready, and a timer keeps the connection alive. Once started it
// keeps trying to (re)connect, 0.5 s after a failure, doubling up to 10 s, until the broker
// refuses the credentials or it is disconnected on request. Subscriptions are not kept across
// connections: subscribe again on connected(). Delete it with deleteLater() from its own slots.
class MqttConnection : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds firstRetryDelay{500};
    static constexpr std::chrono::milliseconds longestRetryDelay{10'000};
    static constexpr std::chrono::milliseconds defaultFlushTimeout{5'000};

    explicit MqttConnection(MqttSettings settings, QObject *parent = nullptr);
    ~MqttConnection() override;
    MqttConnection(const MqttConnection &) = delete;
    MqttConnection &operator=(const MqttConnection &) = delete;

    const MqttSettings &settings() const { return m_settings; }

    // Starts connecting, and reconnecting from then on. False, with errorString(), if the
    // settings cannot be used at all (a CA file that cannot be read, say): no attempt follows.
    bool connectToBroker();
    bool isConnected() const { return m_state == State::Connected; }
    QString errorString() const { return m_error; }

    // The message id, or nothing if the library refused (not connected, a bad topic...).
    std::optional<int> subscribe(const QString &topic, int qos = 1);
    std::optional<int> unsubscribe(const QString &topic);
    std::optional<int> publish(
        const QString &topic, const QByteArray &payload, int qos = 1, bool retain = false);

    // Publishes the will's message itself (a clean disconnect makes the broker drop the will),
    // waits until every QoS 1 publish is acknowledged or `timeout` passes, then disconnects and
    // emits finished(). No more attempts to connect follow.
    void disconnectGracefully(std::chrono::milliseconds timeout = defaultFlushTimeout);

    // The wait after `failures` failed attempts in a row (1 or more).
    static std::chrono::milliseconds retryDelay(int failures);

signals:
    void connecting(); // before each attempt
    void connected();
    void disconnected(const QString &reason); // a connection that was up is down
    // An attempt failed; the next one starts after `retryIn`.
    void connectionFailed(const QString &reason, std::chrono::milliseconds retryIn);
    // The broker refused the credentials: no further attempts.
    void authenticationRefused(const QString &message);
    void messageReceived(const QString &topic, const QByteArray &payload, bool retained);
    void subscribed(int mid);
    void published(int mid); // acknowledged by the broker, for QoS 1
    void finished(); // after disconnectGracefully()

private:
    enum class State { Idle, Connecting, Connected, Refused, Closing, Closed };

    // libmosquitto's callbacks, back into the object.
    static void onConnect(mosquitto *client, void *self, int code);
    static void onDisconnect(mosquitto *client, void *self, int code);
    static void onMessage(mosquitto *client, void *self, const mosquitto_message *message);
    static void onSubscribe(
        mosquitto *client, void *self, int mid, int grantedCount, const int *granted);
    static void onPublish(mosquitto *client, void *self, int mid);
    static void onLog(mosquitto *client, void *self, int level, const char *text);

    void handleConnack(int code);
    bool setUp();
    void attempt();
    void readable();
    void writable();
    void housekeeping();
    // After each call into the library: follows its socket, and acts on a connection gone.
    void settle(int result, int savedErrno);
    void watchSocket();
    void attemptFailed(const QString &reason);
    void disconnectIfFlushed();
    void finish(const QString &reason);
    QString describe(int result, int savedErrno) const;

    MqttSettings m_settings;
    mosquitto *m_client = nullptr;
    State m_state = State::Idle;
    int m_failures = 0;
    int m_socket = -1;
    std::unique_ptr<QSocketNotifier> m_readNotifier;
    std::unique_ptr<QSocketNotifier> m_writeNotifier;
    QTimer m_retryTimer;
    QTimer m_keepAliveTimer;
    QTimer m_flushTimer;
    QSet<int> m_unacknowledged; // QoS 1 publishes waiting for their PUBACK
    QString m_error;
    QString m_libraryError; // the library's last complaint during this attempt
    QString m_refusal; // a CONNACK that was not a welcome
    int m_disconnectCode = 0;
};
