#pragma once

#include "relay-mqtt/MqttSettings.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>

class QSocketNotifier;
class QThread;
struct mosquitto;
struct mosquitto_message;

// One client connection to an MQTT broker, run by the thread's event loop: libmosquitto reads
// and writes when the socket is ready, and a timer keeps the connection alive. Only the start of
// each attempt runs on a thread of its own, as the library looks up the broker's name there and
// a name server that does not answer would stall the loop (and the line's held relays) for
// seconds. Once started it keeps trying to (re)connect, refused logins included, with a growing
// pause that starts again from the shortest only after a connection that lasted. Subscriptions
// are not kept across connections: subscribe again on connected(). Delete it with
// deleteLater() from its own slots.
class MqttConnection : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds firstRetryDelay{500};
    // While the broker cannot be reached.
    static constexpr std::chrono::milliseconds longestRetryDelay{30'000};
    // After a refused login or a connection that did not last: the broker may refuse for
    // minutes, and another client with our id takes the connection over again at once.
    static constexpr std::chrono::milliseconds longestRefusedDelay{300'000};
    // A connection up this long was no flap: the pause starts from the shortest again.
    static constexpr std::chrono::milliseconds stableConnection{60'000};
    static constexpr std::chrono::milliseconds defaultFlushTimeout{5'000};

    explicit MqttConnection(MqttSettings settings, QObject *parent = nullptr);
    ~MqttConnection() override;
    MqttConnection(const MqttConnection &) = delete;
    MqttConnection &operator=(const MqttConnection &) = delete;

    const MqttSettings &settings() const { return m_settings; }

    // Starts connecting, and reconnecting from then on. False, with errorString(), if the
    // settings cannot be used at all (TLS files that hold no certificate, say): no attempt follows.
    bool connectToBroker();
    bool isConnected() const { return m_state == State::Connected; }
    QString errorString() const { return m_error; }

    // The message id, or nothing if the library refused (not connected, a bad topic...). The
    // filters go in one SUBSCRIBE, and subscribed() tells what the broker granted each.
    std::optional<int> subscribe(const QStringList &filters, int qos = 1);
    std::optional<int> unsubscribe(const QStringList &filters);
    std::optional<int> publish(
        const QString &topic, const QByteArray &payload, int qos = 1, bool retain = false);

    // Publishes the will's message itself (a clean disconnect makes the broker drop the will),
    // waits until every QoS 1 publish is acknowledged or `timeout` passes, then disconnects and
    // emits finished(). No more attempts to connect follow.
    void disconnectGracefully(std::chrono::milliseconds timeout = defaultFlushTimeout);

    // The wait after `failures` failed attempts in a row (1 or more), at most `longest`, before
    // the jitter that keeps bridges restarted together from trying together.
    static std::chrono::milliseconds retryDelay(
        int failures, std::chrono::milliseconds longest = longestRetryDelay);
    // `delay` made a quarter shorter or longer at random.
    static std::chrono::milliseconds withJitter(std::chrono::milliseconds delay);
    // Whether the broker refused the SUBSCRIBE of a filter with this granted QoS.
    static bool refusedSubscription(int granted);

signals:
    void connecting(); // before each attempt
    void connected();
    // A connection that was up is down, after `lasted`; the next attempt starts after `retryIn`.
    void disconnected(
        const QString &reason, std::chrono::milliseconds lasted, std::chrono::milliseconds retryIn);
    // An attempt failed; the next one starts after `retryIn`.
    void connectionFailed(const QString &reason, std::chrono::milliseconds retryIn);
    // The broker refused the login; the next attempt starts after `retryIn`.
    void loginRefused(const QString &message, std::chrono::milliseconds retryIn);
    void messageReceived(const QString &topic, const QByteArray &payload, bool retained);
    // The broker's answer to a subscribe(): the QoS granted to each filter, in order, or 128 for
    // one it refused.
    void subscribed(int mid, const QList<int> &granted);
    void published(int mid); // acknowledged by the broker, for QoS 1
    void finished(); // after disconnectGracefully()

private:
    enum class State { Idle, Connecting, Connected, Closing, Closed };

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
    QString tlsProblem() const;
    void attempt();
    void attemptStarted(int result, int savedErrno);
    void readable();
    void writable();
    void housekeeping();
    // After each call into the library: follows its socket, and acts on a connection gone.
    void settle(int result, int savedErrno);
    void watchSocket();
    void forgetSocket();
    void retryLater(const QString &reason);
    void disconnectIfFlushed();
    void finish(const QString &reason);
    QString describe(int result, int savedErrno) const;
    bool busy() const { return m_starter != nullptr; }

    MqttSettings m_settings;
    mosquitto *m_client = nullptr;
    State m_state = State::Idle;
    int m_failures = 0;
    int m_socket = -1;
    std::unique_ptr<QSocketNotifier> m_readNotifier;
    std::unique_ptr<QSocketNotifier> m_writeNotifier;
    // The thread starting the current attempt; the library is not touched from here meanwhile.
    QThread *m_starter = nullptr;
    QTimer m_retryTimer;
    QTimer m_keepAliveTimer;
    QTimer m_flushTimer;
    QSet<int> m_unacknowledged; // QoS 1 publishes waiting for their PUBACK
    std::chrono::steady_clock::time_point m_connectedAt;
    QString m_error;
    QString m_libraryError; // the library's last complaint during this attempt
    QString m_refusal; // a CONNACK that was not a welcome
    bool m_loginRefused = false;
    int m_disconnectCode = 0;
};
