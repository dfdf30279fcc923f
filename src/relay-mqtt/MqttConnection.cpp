#include "relay-mqtt/MqttConnection.h"

#include <QSocketNotifier>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

using namespace std::chrono_literals;

namespace {

// How often the library gets to send its keepalive pings and notice a silent broker.
constexpr auto housekeepingInterval = 1s;

// libmosquitto's process-wide set-up, done once before the first client and undone at exit.
struct Library
{
    Library() { mosquitto_lib_init(); }
    ~Library() { mosquitto_lib_cleanup(); }
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;
};

void initLibrary()
{
    static const Library library;
}

MqttConnection *connectionOf(void *self)
{
    return static_cast<MqttConnection *>(self);
}

// CONNACK codes for bad credentials, in MQTT 3.1.1 and MQTT 5.
bool refusesCredentials(int code)
{
    return code == CONNACK_REFUSED_BAD_USERNAME_PASSWORD || code == CONNACK_REFUSED_NOT_AUTHORIZED
        || code == MQTT_RC_BAD_USERNAME_OR_PASSWORD || code == MQTT_RC_NOT_AUTHORIZED
        || code == MQTT_RC_BAD_AUTHENTICATION_METHOD;
}

QString connackText(int code)
{
    return QString::fromUtf8(
        code < 128 ? mosquitto_connack_string(code) : mosquitto_reason_string(code));
}

} // namespace

MqttConnection::MqttConnection(MqttSettings settings, QObject *parent)
    : QObject(parent), m_settings(std::move(settings))
{
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &MqttConnection::attempt);
    m_keepAliveTimer.setInterval(housekeepingInterval);
    connect(&m_keepAliveTimer, &QTimer::timeout, this, &MqttConnection::housekeeping);
    m_flushTimer.setSingleShot(true);
    connect(&m_flushTimer, &QTimer::timeout, this, [this] {
        m_unacknowledged.clear();
        disconnectIfFlushed();
    });
}

MqttConnection::~MqttConnection()
{
    m_readNotifier.reset();
    m_writeNotifier.reset();
    if (m_client)
        mosquitto_destroy(m_client);
}

std::chrono::milliseconds MqttConnection::retryDelay(int failures)
{
    auto delay = firstRetryDelay;
    for (int i = 1; i < failures && delay < longestRetryDelay; ++i)
        delay *= 2;
    return std::min(delay, longestRetryDelay);
}

bool MqttConnection::connectToBroker()
{
    if (m_state != State::Idle)
        return m_state != State::Refused && m_state != State::Closed;
    if (!setUp())
        return false;
    m_state = State::Connecting;
    m_failures = 0;
    attempt();
    return true;
}

bool MqttConnection::setUp()
{
    initLibrary();
    const QByteArray id = m_settings.clientId.toUtf8();
    m_client = mosquitto_new(id.isEmpty() ? nullptr : id.constData(), true, this);
    if (!m_client) {
        m_error = tr("Cannot make an MQTT client: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    mosquitto_connect_callback_set(m_client, &MqttConnection::onConnect);
    mosquitto_disconnect_callback_set(m_client, &MqttConnection::onDisconnect);
    mosquitto_message_callback_set(m_client, &MqttConnection::onMessage);
    mosquitto_subscribe_callback_set(m_client, &MqttConnection::onSubscribe);
    mosquitto_publish_callback_set(m_client, &MqttConnection::onPublish);
    mosquitto_log_callback_set(m_client, &MqttConnection::onLog);

    int result = MOSQ_ERR_SUCCESS;
    if (!m_settings.username.isEmpty()) {
        result = mosquitto_username_pw_set(m_client, m_settings.username.toUtf8().constData(),
            m_settings.password.isEmpty() ? nullptr : m_settings.password.toUtf8().constData());
    }
    if (result == MOSQ_ERR_SUCCESS && !m_settings.willTopic.isEmpty()) {
        result = mosquitto_will_set(m_client, m_settings.willTopic.toUtf8().constData(),
            static_cast<int>(m_settings.willPayload.size()), m_settings.willPayload.constData(), 1,
            true);
    }
    if (result != MOSQ_ERR_SUCCESS) {
        m_error = tr("Cannot set up the MQTT client: %1").arg(describe(result, errno));
        return false;
    }
    if (!m_settings.caFile.isEmpty()) {
        result = mosquitto_tls_set(m_client, m_settings.caFile.toLocal8Bit().constData(), nullptr,
            nullptr, nullptr, nullptr);
        if (result != MOSQ_ERR_SUCCESS) {
            m_error = tr("Cannot use the CA file %1: %2")
                          .arg(m_settings.caFile, describe(result, errno));
            return false;
        }
    }
    return true;
}

void MqttConnection::attempt()
{
    if (m_state != State::Connecting)
        return;
    m_libraryError.clear();
    m_refusal.clear();
    m_disconnectCode = MOSQ_ERR_SUCCESS;
    emit connecting();
    const int result = mosquitto_connect_async(m_client, m_settings.host.toUtf8().constData(),
        m_settings.port, static_cast<int>(m_settings.keepAlive.count()));
    const int savedErrno = errno;
    watchSocket();
    if (result != MOSQ_ERR_SUCCESS)
        attemptFailed(describe(result, savedErrno));
}

void MqttConnection::attemptFailed(const QString &reason)
{
    ++m_failures;
    const auto delay = retryDelay(m_failures);
    m_retryTimer.start(delay);
    emit connectionFailed(reason, delay);
}

std::optional<int> MqttConnection::subscribe(const QString &topic, int qos)
{
    if (!m_client)
        return std::nullopt;
    int mid = 0;
    const int result = mosquitto_subscribe(m_client, &mid, topic.toUtf8().constData(), qos);
    settle(MOSQ_ERR_SUCCESS, errno);
    if (result != MOSQ_ERR_SUCCESS)
        return std::nullopt;
    return mid;
}

std::optional<int> MqttConnection::unsubscribe(const QString &topic)
{
    if (!m_client)
        return std::nullopt;
    int mid = 0;
    const int result = mosquitto_unsubscribe(m_client, &mid, topic.toUtf8().constData());
    settle(MOSQ_ERR_SUCCESS, errno);
    if (result != MOSQ_ERR_SUCCESS)
        return std::nullopt;
    return mid;
}

std::optional<int> MqttConnection::publish(
    const QString &topic, const QByteArray &payload, int qos, bool retain)
{
    if (!m_client)
        return std::nullopt;
    int mid = 0;
    const int result = mosquitto_publish(m_client, &mid, topic.toUtf8().constData(),
        static_cast<int>(payload.size()), payload.constData(), qos, retain);
    if (result == MOSQ_ERR_SUCCESS && qos > 0)
        m_unacknowledged.insert(mid);
    settle(MOSQ_ERR_SUCCESS, errno);
    if (result != MOSQ_ERR_SUCCESS)
        return std::nullopt;
    return mid;
}

void MqttConnection::disconnectGracefully(std::chrono::milliseconds timeout)
{
    if (m_state == State::Closing || m_state == State::Closed)
        return;
    m_retryTimer.stop();
    if (m_state != State::Connected) {
        // Nothing to flush; finished() still comes from the event loop, as it would otherwise.
        m_state = State::Closed;
        watchSocket();
        QMetaObject::invokeMethod(
            this, [this] { emit finished(); }, Qt::QueuedConnection);
        return;
    }
    if (!m_settings.willTopic.isEmpty())
        publish(m_settings.willTopic, m_settings.willPayload, 1, true);
    m_state = State::Closing;
    m_flushTimer.start(timeout);
    disconnectIfFlushed();
}

void MqttConnection::disconnectIfFlushed()
{
    if (m_state != State::Closing || !m_unacknowledged.isEmpty())
        return;
    m_flushTimer.stop();
    const int result = mosquitto_disconnect(m_client);
    const int savedErrno = errno;
    if (result != MOSQ_ERR_SUCCESS)
        finish(describe(result, savedErrno));
    else
        settle(result, savedErrno);
}

void MqttConnection::finish(const QString &reason)
{
    if (m_state == State::Closed)
        return;
    m_state = State::Closed;
    m_retryTimer.stop();
    m_flushTimer.stop();
    watchSocket();
    emit disconnected(reason);
    emit finished();
}

void MqttConnection::readable()
{
    const int result = mosquitto_loop_read(m_client, 1);
    settle(result, errno);
}

void MqttConnection::writable()
{
    const int result = mosquitto_loop_write(m_client, 1);
    settle(result, errno);
}

void MqttConnection::housekeeping()
{
    const int result = mosquitto_loop_misc(m_client);
    settle(result == MOSQ_ERR_NO_CONN ? MOSQ_ERR_SUCCESS : result, errno);
}

void MqttConnection::settle(int result, int savedErrno)
{
    watchSocket();
    if (m_socket >= 0)
        return;
    // The library closed the socket, with or without telling onDisconnect().
    if (result == MOSQ_ERR_SUCCESS)
        result = m_disconnectCode;
    switch (m_state) {
    case State::Connecting:
        if (!m_retryTimer.isActive())
            attemptFailed(m_refusal.isEmpty() ? describe(result, savedErrno) : m_refusal);
        break;
    case State::Connected:
        m_state = State::Connecting;
        m_failures = 0;
        m_retryTimer.start(firstRetryDelay);
        emit disconnected(describe(result, savedErrno));
        break;
    case State::Closing:
        finish(m_disconnectCode == MOSQ_ERR_SUCCESS ? tr("disconnected on request")
                                                    : describe(result, savedErrno));
        break;
    case State::Idle:
    case State::Refused:
    case State::Closed:
        break;
    }
}

void MqttConnection::watchSocket()
{
    const int socket = m_client ? mosquitto_socket(m_client) : -1;
    if (socket != m_socket || m_state == State::Closed || m_state == State::Refused) {
        // The library closes sockets itself, possibly in a notifier's own slot.
        for (auto *notifier : {&m_readNotifier, &m_writeNotifier}) {
            if (*notifier) {
                (*notifier)->setEnabled(false);
                notifier->release()->deleteLater();
            }
        }
        m_socket = socket;
        if (m_socket >= 0) {
            m_readNotifier = std::make_unique<QSocketNotifier>(m_socket, QSocketNotifier::Read);
            connect(
                m_readNotifier.get(), &QSocketNotifier::activated, this, &MqttConnection::readable);
            m_writeNotifier = std::make_unique<QSocketNotifier>(m_socket, QSocketNotifier::Write);
            connect(m_writeNotifier.get(), &QSocketNotifier::activated, this,
                &MqttConnection::writable);
        }
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(mosquitto_want_write(m_client));
    if (m_socket >= 0 && !m_keepAliveTimer.isActive())
        m_keepAliveTimer.start();
    else if (m_socket < 0)
        m_keepAliveTimer.stop();
}

QString MqttConnection::describe(int result, int savedErrno) const
{
    QString text = result == MOSQ_ERR_ERRNO ? QString::fromLocal8Bit(strerror(savedErrno))
                                            : QString::fromUtf8(mosquitto_strerror(result));
    if (!m_libraryError.isEmpty())
        text += QStringLiteral(" (%1)").arg(m_libraryError);
    return tr("%1:%2: %3").arg(m_settings.host).arg(m_settings.port).arg(text);
}

void MqttConnection::handleConnack(int code)
{
    if (code == CONNACK_ACCEPTED) {
        m_state = State::Connected;
        m_failures = 0;
        emit connected();
        return;
    }
    if (refusesCredentials(code)) {
        m_state = State::Refused;
        m_retryTimer.stop();
        m_error = m_settings.username.isEmpty()
            ? tr("The broker at %1:%2 refused a login without a user name: %3")
                  .arg(m_settings.host)
                  .arg(m_settings.port)
                  .arg(connackText(code))
            : tr("The broker at %1:%2 refused the login of user \"%3\": %4")
                  .arg(m_settings.host)
                  .arg(m_settings.port)
                  .arg(m_settings.username, connackText(code));
        emit authenticationRefused(m_error);
        return;
    }
    m_refusal = tr("%1:%2: %3").arg(m_settings.host).arg(m_settings.port).arg(connackText(code));
}

void MqttConnection::onConnect(mosquitto * /*client*/, void *self, int code)
{
    connectionOf(self)->handleConnack(code);
}

void MqttConnection::onDisconnect(mosquitto * /*client*/, void *self, int code)
{
    connectionOf(self)->m_disconnectCode = code;
}

void MqttConnection::onMessage(mosquitto * /*client*/, void *self, const mosquitto_message *message)
{
    emit connectionOf(self)->messageReceived(QString::fromUtf8(message->topic),
        QByteArray(static_cast<const char *>(message->payload), message->payloadlen),
        message->retain);
}

void MqttConnection::onSubscribe(
    mosquitto * /*client*/, void *self, int mid, int /*grantedCount*/, const int * /*granted*/)
{
    emit connectionOf(self)->subscribed(mid);
}

void MqttConnection::onPublish(mosquitto * /*client*/, void *self, int mid)
{
    MqttConnection *connection = connectionOf(self);
    emit connection->published(mid);
    if (connection->m_unacknowledged.remove(mid) && connection->m_unacknowledged.isEmpty())
        QMetaObject::invokeMethod(
            connection, &MqttConnection::disconnectIfFlushed, Qt::QueuedConnection);
}

void MqttConnection::onLog(mosquitto * /*client*/, void *self, int level, const char *text)
{
    if (level == MOSQ_LOG_ERR)
        connectionOf(self)->m_libraryError = QString::fromUtf8(text);
}
