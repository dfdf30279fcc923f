#include "relay-mqtt/mqtt/MqttConnection.h"

#include <QFile>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QThread>

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

// Topic filters as the library takes several at once: an array of C strings.
class Filters
{
public:
    explicit Filters(const QStringList &filters)
    {
        for (const QString &filter : filters)
            m_texts << filter.toUtf8();
        for (QByteArray &text : m_texts)
            m_pointers << text.data();
    }
    int count() const { return int(m_pointers.size()); }
    char *const *data() const { return m_pointers.data(); }

private:
    QList<QByteArray> m_texts;
    QList<char *> m_pointers;
};

MqttConnection *connectionOf(void *self)
{
    return static_cast<MqttConnection *>(self);
}

// The first bytes of the PEM files TLS needs: anything else would fail every attempt.
constexpr QByteArrayView certificateMark = "-----BEGIN CERTIFICATE-----";
constexpr QByteArrayView privateKeyMark = "PRIVATE KEY-----";
// The lowest SUBACK code that refuses a filter, in MQTT 3.1.1 (0x80) and MQTT 5.
constexpr int refusedSubscriptionCode = 0x80;

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
    // The attempt's thread still uses the client: the name server's own timeout ends it.
    if (m_starter) {
        m_starter->wait();
        delete m_starter;
    }
    m_readNotifier.reset();
    m_writeNotifier.reset();
    if (m_client)
        mosquitto_destroy(m_client);
}

std::chrono::milliseconds MqttConnection::retryDelay(
    int failures, std::chrono::milliseconds longest)
{
    auto delay = firstRetryDelay;
    for (int i = 1; i < failures && delay < longest; ++i)
        delay *= 2;
    return std::min(delay, longest);
}

std::chrono::milliseconds MqttConnection::withJitter(std::chrono::milliseconds delay)
{
    const double factor = 0.75 + 0.5 * QRandomGenerator::global()->generateDouble();
    return std::chrono::milliseconds(qint64(double(delay.count()) * factor));
}

bool MqttConnection::refusedSubscription(int granted)
{
    return granted < 0 || granted >= refusedSubscriptionCode;
}

bool MqttConnection::connectToBroker()
{
    if (m_state != State::Idle)
        return m_state != State::Closed;
    if (!setUp())
        return false;
    m_state = State::Connecting;
    m_failures = 0;
    attempt();
    return true;
}

QString MqttConnection::tlsProblem() const
{
    const auto holds = [](const QString &path, QByteArrayView mark) {
        QFile file(path);
        return path.isEmpty() || (file.open(QIODevice::ReadOnly) && file.readAll().contains(mark));
    };
    if (!holds(m_settings.caFile, certificateMark))
        return tr("The CA file %1 holds no certificate (PEM)").arg(m_settings.caFile);
    if (!holds(m_settings.certFile, certificateMark))
        return tr("The certificate file %1 holds no certificate (PEM)").arg(m_settings.certFile);
    if (!holds(m_settings.keyFile, privateKeyMark))
        return tr("The key file %1 holds no private key (PEM)").arg(m_settings.keyFile);
    return {};
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
    if (m_settings.usesTls()) {
        m_error = tlsProblem();
        if (!m_error.isEmpty())
            return false;
        const auto text = [](const QString &path) {
            return path.isEmpty() ? QByteArray() : path.toLocal8Bit();
        };
        const auto orNull = [](const QByteArray &bytes) {
            return bytes.isEmpty() ? nullptr : bytes.constData();
        };
        const QByteArray caFile = text(m_settings.caFile);
        const QByteArray caPath = text(m_settings.caPath);
        const QByteArray certFile = text(m_settings.certFile);
        const QByteArray keyFile = text(m_settings.keyFile);
        result = mosquitto_tls_set(
            m_client, orNull(caFile), orNull(caPath), orNull(certFile), orNull(keyFile), nullptr);
        if (result != MOSQ_ERR_SUCCESS) {
            m_error = tr("Cannot use the TLS files: %1").arg(describe(result, errno));
            return false;
        }
    }
    return true;
}

void MqttConnection::attempt()
{
    if (m_state != State::Connecting || busy())
        return;
    m_libraryError.clear();
    m_refusal.clear();
    m_loginRefused = false;
    m_disconnectCode = MOSQ_ERR_SUCCESS;
    emit connecting();
    // The library closes the old socket on the starting thread, and may reuse its number.
    forgetSocket();
    struct Outcome
    {
        int result = MOSQ_ERR_SUCCESS;
        int savedErrno = 0;
    };
    auto outcome = std::make_shared<Outcome>();
    mosquitto *client = m_client;
    const QByteArray host = m_settings.host.toUtf8();
    const int port = m_settings.port;
    const auto keepAlive = static_cast<int>(m_settings.keepAlive.count());
    m_starter = QThread::create([outcome, client, host, port, keepAlive] {
        outcome->result = mosquitto_connect_async(client, host.constData(), port, keepAlive);
        outcome->savedErrno = errno;
    });
    connect(m_starter, &QThread::finished, this, [this, outcome] {
        m_starter->wait();
        m_starter->deleteLater();
        m_starter = nullptr;
        attemptStarted(outcome->result, outcome->savedErrno);
    });
    m_starter->start();
}

void MqttConnection::attemptStarted(int result, int savedErrno)
{
    // Disconnected on request meanwhile: the client goes with this object.
    if (m_state != State::Connecting)
        return;
    watchSocket();
    if (result != MOSQ_ERR_SUCCESS)
        retryLater(describe(result, savedErrno));
}

void MqttConnection::retryLater(const QString &reason)
{
    ++m_failures;
    const auto delay = withJitter(
        retryDelay(m_failures, m_loginRefused ? longestRefusedDelay : longestRetryDelay));
    m_retryTimer.start(delay);
    if (m_loginRefused)
        emit loginRefused(m_refusal, delay);
    else
        emit connectionFailed(reason, delay);
}

std::optional<int> MqttConnection::subscribe(const QStringList &filters, int qos)
{
    if (m_state != State::Connected || filters.isEmpty())
        return std::nullopt;
    Filters texts(filters);
    int mid = 0;
    const int result = mosquitto_subscribe_multiple(
        m_client, &mid, texts.count(), texts.data(), qos, 0, nullptr);
    settle(MOSQ_ERR_SUCCESS, errno);
    if (result != MOSQ_ERR_SUCCESS)
        return std::nullopt;
    return mid;
}

std::optional<int> MqttConnection::unsubscribe(const QStringList &filters)
{
    if (m_state != State::Connected || filters.isEmpty())
        return std::nullopt;
    Filters texts(filters);
    int mid = 0;
    const int result
        = mosquitto_unsubscribe_multiple(m_client, &mid, texts.count(), texts.data(), nullptr);
    settle(MOSQ_ERR_SUCCESS, errno);
    if (result != MOSQ_ERR_SUCCESS)
        return std::nullopt;
    return mid;
}

std::optional<int> MqttConnection::publish(
    const QString &topic, const QByteArray &payload, int qos, bool retain)
{
    if (m_state != State::Connected)
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
    emit disconnected(reason, std::chrono::milliseconds::zero(), std::chrono::milliseconds::zero());
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
    if (m_socket >= 0 || busy())
        return;
    // The library closed the socket, with or without telling onDisconnect().
    if (result == MOSQ_ERR_SUCCESS)
        result = m_disconnectCode;
    switch (m_state) {
    case State::Connecting:
        if (!m_retryTimer.isActive())
            retryLater(m_refusal.isEmpty() ? describe(result, savedErrno) : m_refusal);
        break;
    case State::Connected: {
        const auto lasted = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - m_connectedAt);
        // Only a connection that lasted starts the pauses afresh: one taken over again and
        // again by a client of the same id must not be retried twice a second.
        if (lasted >= stableConnection)
            m_failures = 0;
        ++m_failures;
        const auto delay = withJitter(retryDelay(
            m_failures, lasted < stableConnection ? longestRefusedDelay : longestRetryDelay));
        m_state = State::Connecting;
        m_retryTimer.start(delay);
        emit disconnected(describe(result, savedErrno), lasted, delay);
        break;
    }
    case State::Closing:
        finish(m_disconnectCode == MOSQ_ERR_SUCCESS ? tr("disconnected on request")
                                                    : describe(result, savedErrno));
        break;
    case State::Idle:
    case State::Closed:
        break;
    }
}

void MqttConnection::forgetSocket()
{
    for (auto *notifier : {&m_readNotifier, &m_writeNotifier}) {
        if (*notifier) {
            (*notifier)->setEnabled(false);
            notifier->release()->deleteLater();
        }
    }
    m_socket = -1;
    m_keepAliveTimer.stop();
}

void MqttConnection::watchSocket()
{
    if (busy())
        return;
    const int socket = m_client ? mosquitto_socket(m_client) : -1;
    if (socket != m_socket || m_state == State::Closed) {
        // The library closes sockets itself, possibly in a notifier's own slot.
        forgetSocket();
        m_socket = m_state == State::Closed ? -1 : socket;
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
        m_connectedAt = std::chrono::steady_clock::now();
        emit connected();
        return;
    }
    m_loginRefused = refusesCredentials(code);
    if (!m_loginRefused) {
        m_refusal
            = tr("%1:%2: %3").arg(m_settings.host).arg(m_settings.port).arg(connackText(code));
        return;
    }
    m_refusal = m_settings.username.isEmpty()
        ? tr("the broker at %1:%2 refused a login without a user name: %3")
              .arg(m_settings.host)
              .arg(m_settings.port)
              .arg(connackText(code))
        : tr("the broker at %1:%2 refused the login of user \"%3\": %4")
              .arg(m_settings.host)
              .arg(m_settings.port)
              .arg(m_settings.username, connackText(code));
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
    mosquitto * /*client*/, void *self, int mid, int grantedCount, const int *granted)
{
    emit connectionOf(self)->subscribed(mid, QList<int>(granted, granted + grantedCount));
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
