// relay-mqtt, the built program, against brokers that do not simply let it in: refused logins
// and subscriptions, another client with its client id, retained states slow to come, the
// password's sources, mutual TLS, and the exit statuses of settings it cannot use.

#include "support/DiesWithParent.h"
#include "support/RelayMqttTest.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <cmath>
#include <optional>

using namespace std::chrono_literals;

namespace {

// `arguments` with the value after `option` replaced.
QStringList with(QStringList arguments, const QString &option, const QString &value)
{
    const qsizetype at = arguments.indexOf(option);
    if (at >= 0 && at + 1 < arguments.size())
        arguments[at + 1] = value;
    return arguments;
}

// The client id a bridge of this name gets on this machine, for names that need no escaping.
QString clientIdOf(const QString &bridgeName)
{
    return QStringLiteral("relay-mqtt-%1@%2").arg(bridgeName, QSysInfo::machineHostName());
}

// The size of the MQTT packet `bytes` starts with, once all of it is there.
std::optional<qsizetype> packetSize(const QByteArray &bytes)
{
    qsizetype length = 0;
    for (qsizetype at = 1; at < bytes.size() && at <= 4; ++at) {
        length |= qsizetype(quint8(bytes.at(at)) & 0x7f) << (7 * (at - 1));
        if (!(quint8(bytes.at(at)) & 0x80)) {
            const qsizetype size = at + 1 + length;
            return size <= bytes.size() ? std::optional(size) : std::nullopt;
        }
    }
    return std::nullopt;
}

// One client's connection through HoldingProxy.
class ProxiedConnection : public QObject
{
public:
    ProxiedConnection(QTcpSocket *client, quint16 brokerPort, std::chrono::milliseconds hold,
        std::atomic<int> &heldRetained, QObject *parent)
        : QObject(parent), m_client(client), m_hold(hold), m_heldRetained(heldRetained)
    {
        m_client->setParent(this);
        m_broker->connectToHost(QHostAddress::LocalHost, brokerPort);
        m_broker->waitForConnected();
        connect(m_client, &QTcpSocket::readyRead, this,
            [this] { m_broker->write(m_client->readAll()); });
        connect(m_broker, &QTcpSocket::readyRead, this, [this] {
            m_fromBroker += m_broker->readAll();
            forward(false);
        });
        connect(m_client, &QTcpSocket::disconnected, this, [this] {
            m_broker->disconnectFromHost();
            deleteLater();
        });
        connect(m_broker, &QTcpSocket::disconnected, m_client, &QTcpSocket::disconnectFromHost);
        if (m_client->bytesAvailable() > 0)
            m_broker->write(m_client->readAll());
    }

private:
    // Whole packets to the client, up to and with a SUBACK; after it, the rest waits.
    void forward(bool afterHold)
    {
        while (!m_holding) {
            const std::optional<qsizetype> size = packetSize(m_fromBroker);
            if (!size)
                return;
            const QByteArray packet = m_fromBroker.first(*size);
            m_fromBroker.remove(0, *size);
            const auto type = quint8(packet.at(0));
            if (afterHold && (type & 0xf1) == 0x31) // PUBLISH, retained
                ++m_heldRetained;
            m_client->write(packet);
            if ((type & 0xf0) == 0x90) { // SUBACK
                m_holding = true;
                QTimer::singleShot(m_hold, this, [this] {
                    m_holding = false;
                    forward(true);
                });
            }
        }
    }

    QTcpSocket *m_client;
    QTcpSocket *m_broker = new QTcpSocket(this);
    std::chrono::milliseconds m_hold;
    std::atomic<int> &m_heldRetained;
    QByteArray m_fromBroker;
    bool m_holding = false;
};

// Between the bridge and the broker: passes the bytes on both ways, but holds back for `hold`
// what the broker sends after each SUBACK, as a broker busy with other clients may. Runs on a
// thread of its own: the test's waits for its mosquitto_sub and for the line block its own.
class HoldingProxy
{
public:
    HoldingProxy(quint16 brokerPort, std::chrono::milliseconds hold)
    {
        m_context.moveToThread(&m_thread);
        m_thread.start();
        QMetaObject::invokeMethod(
            &m_context,
            [this, brokerPort, hold] {
                auto *server = new QTcpServer(&m_context);
                QObject::connect(server, &QTcpServer::newConnection, &m_context,
                    [this, server, brokerPort, hold] {
                        while (QTcpSocket *client = server->nextPendingConnection())
                            new ProxiedConnection(
                                client, brokerPort, hold, m_heldRetained, &m_context);
                    });
                if (server->listen(QHostAddress::LocalHost))
                    m_port = server->serverPort();
            },
            Qt::BlockingQueuedConnection);
    }
    ~HoldingProxy()
    {
        QMetaObject::invokeMethod(
            &m_context, [this] { qDeleteAll(m_context.children()); }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }
    HoldingProxy(const HoldingProxy &) = delete;
    HoldingProxy &operator=(const HoldingProxy &) = delete;

    quint16 port() const { return m_port; }
    // Retained PUBLISHes that reached the client only after a hold.
    int heldRetained() const { return m_heldRetained; }

private:
    QThread m_thread;
    QObject m_context; // lives on m_thread, with the server and the connections
    quint16 m_port = 0;
    std::atomic<int> m_heldRetained = 0;
};

} // namespace

class TestRelayMqttBroker : public RelayMqttTest
{
    Q_OBJECT

public:
    TestRelayMqttBroker() : RelayMqttTest(QStringLiteral(RELAY_MQTT)) { }

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void refusedLoginRetried();
    void sameClientIdBacksOff();
    void distinctClientIds();
    void refusedSubscription_data();
    void refusedSubscription();
    void readBackWaitsForRetainedStates();
    void passwordSources_data();
    void passwordSources();
    void mutualTls_data();
    void mutualTls();
    void exitStatuses_data();
    void exitStatuses();

private:
    // A second bridge beside the base's, on a pseudo-terminal of its own.
    struct OtherBridge
    {
        PseudoTerminal pty;
        QProcess process;
        QString log;
    };

    void startOther(const QString &bridgeName);
    // The pauses the log gave after each refused login, in seconds, each checked for a reason.
    QList<double> refusalPauses() const;

    std::unique_ptr<OtherBridge> m_other;
};

void TestRelayMqttBroker::initTestCase()
{
    initTestCaseBase();
}

void TestRelayMqttBroker::init()
{
    initBase();
}

void TestRelayMqttBroker::cleanup()
{
    if (m_other) {
        m_other->process.kill();
        m_other->process.waitForFinished();
    }
    m_other.reset();
    cleanupBase();
}

void TestRelayMqttBroker::startOther(const QString &bridgeName)
{
    m_other = std::make_unique<OtherBridge>();
    QVERIFY(m_other->pty.isValid());
    dieWithParent(m_other->process);
    connect(&m_other->process, &QProcess::readyReadStandardError, this, [this] {
        m_other->log += QString::fromLocal8Bit(m_other->process.readAllStandardError());
    });
    m_other->process.start(m_program,
        with(with(bridgeArguments(), "--device", m_other->pty.name()), "--name", bridgeName));
    QVERIFY(m_other->process.waitForStarted());
}

QList<double> TestRelayMqttBroker::refusalPauses() const
{
    static const QRegularExpression refusal(
        R"(refused the login of user "bridge": (.*); offline, next try in ([0-9.]+) s\n)");
    QList<double> pauses;
    for (const QRegularExpressionMatch &match : refusal.globalMatch(m_log)) {
        if (match.captured(1).trimmed().isEmpty())
            return {};
        pauses << match.captured(2).toDouble();
    }
    return pauses;
}

void TestRelayMqttBroker::refusedLoginRetried()
{
    // The broker knows another user only, until the test adds the bridge's.
    m_brokerOptions = {"someone", "x", false};
    QTemporaryDir directory;
    const QStringList login = loginArguments(directory, "s3cret");
    QVERIFY(!login.isEmpty());
    startBridge(login);
    QVERIFY(waitForLog("refused the login of user \"bridge\"", 3));
    const QList<double> pauses = refusalPauses();
    QVERIFY2(pauses.size() >= 3, qPrintable(m_log));
    // Doubling from 0.5 s, a quarter either way, to one decimal: each longer than the last.
    for (qsizetype i = 0; i < pauses.size(); ++i) {
        const double middle = 0.5 * std::pow(2, i);
        QVERIFY2(pauses.at(i) >= 0.75 * middle - 0.05 && pauses.at(i) <= 1.25 * middle + 0.05,
            qPrintable(m_log));
    }
    // Each refusal is one line: not also told as a broker out of reach.
    QVERIFY2(!m_log.contains("cannot reach the broker"), qPrintable(m_log));
    QCOMPARE(m_bridge->state(), QProcess::Running);

    QVERIFY2(m_broker->setUserPassword("bridge", "s3cret"), qPrintable(m_broker->errorString()));
    // The next try comes at the latest pause logged, or at the one after it.
    const int allowance = int(2'000 * refusalPauses().constLast()) + int(timeoutMs);
    QVERIFY2(QTest::qWaitFor([this] { return m_log.contains("relay-mqtt: online\n"); }, allowance),
        qPrintable(m_log));
    QVERIFY(waitForRetained(name + "/status", "online"));
    // One line for each login the broker turned away.
    QCOMPARE(refusalPauses().size(), m_broker->log().count("disconnected, not authorised."));
    QVERIFY(publish(name + "/2/relay/5/set", "ON"));
    QCOMPARE(lineOf(20), relayBurst(2, 'S', 5));
}

void TestRelayMqttBroker::sameClientIdBacksOff()
{
    QElapsedTimer clock;
    clock.start();
    startBridge();
    startOther(name);
    const QString hint = "another client with the client id " + clientIdOf(name);
    QVERIFY2(QTest::qWaitFor(
                 [&] { return m_log.contains(hint) || m_other->log.contains(hint); }, 20'000),
        qPrintable(m_log + m_other->log));
    // Each connection takes the other's over. The pauses doubling from 0.5 s, a quarter shorter
    // at the most, make 11 in the first 20 s at the most and 12 up to 35 s; retrying at once,
    // some 40. A slow machine makes fewer.
    QTest::qWait(int(std::max<qint64>(0, 20'000 - clock.elapsed())));
    const int connections = m_broker->acceptedConnections(clientIdOf(name));
    QVERIFY2(connections <= 12, qPrintable(QString::number(connections)));
    QCOMPARE(m_bridge->state(), QProcess::Running);
    QCOMPARE(m_other->process.state(), QProcess::Running);
}

void TestRelayMqttBroker::distinctClientIds()
{
    // Both names are "a" and "b" joined by a character a client id cannot keep as it is.
    m_broker = std::make_unique<MosquittoBroker>();
    QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));
    startBridge({}, with(bridgeArguments(), "--name", "a.b"));
    startOther("a_b");
    QVERIFY(waitForRetained("a.b/status", "online"));
    QVERIFY(waitForRetained("a_b/status", "online"));
    QVERIFY(publish("a.b/1/relay/1/set", "ON"));
    QCOMPARE(lineOf(20), relayBurst(1, 'S', 1));
    QVERIFY(publish("a_b/2/relay/2/set", "ON"));
    QCOMPARE(m_other->pty.read(20, eventTimeout), relayBurst(2, 'S', 2));

    static const QRegularExpression connected(R"(connected to \S+ as (\S+)\n)");
    QVERIFY2(QTest::qWaitFor(
                 [&] {
                     return connected.match(m_log).hasMatch()
                         && connected.match(m_other->log).hasMatch();
                 },
                 int(timeoutMs)),
        qPrintable(m_log + m_other->log));
    const QString id = connected.match(m_log).captured(1);
    const QString otherId = connected.match(m_other->log).captured(1);
    QVERIFY2(id != otherId, qPrintable(id));
    // A client that took another's session over would be in the broker's log before its online.
    QVERIFY(!m_broker->log().contains("already connected, closing old connection"));
    QCOMPARE(m_broker->acceptedConnections(id), 1);
    QCOMPARE(m_broker->acceptedConnections(otherId), 1);
}

void TestRelayMqttBroker::refusedSubscription_data()
{
    QTest::addColumn<QString>("denied");
    QTest::addColumn<QString>("named"); // the bridge's filters its log names

    QTest::newRow("the bridge's filter") << "test/1/relay/+/set"
                                         << "test/1/relay/+/set";
    QTest::newRow("a wider filter") << "test/+/relay/+/set"
                                    << "test/1/relay/+/set, test/2/relay/+/set";
}

void TestRelayMqttBroker::refusedSubscription()
{
    QFETCH(QString, denied);
    QFETCH(QString, named);
    if (!MosquittoBroker::dynamicSecurityAvailable())
        QSKIP("needs mosquitto's dynamic security plugin");

    m_brokerOptions.deniedSubscriptions = {denied};
    m_broker = std::make_unique<MosquittoBroker>(m_brokerOptions);
    QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));
    // Every status the bridge gives, from before it starts.
    QProcess watch;
    dieWithParent(watch);
    watch.start("mosquitto_sub",
        clientArguments() + QStringList{"-i", "status-watch", "-q", "1", "-t", name + "/status"});
    QVERIFY(QTest::qWaitFor(
        [&] { return m_broker->log().contains(" status-watch 1 " + name.toUtf8() + "/status\n"); },
        int(timeoutMs)));

    startBridge();
    QVERIFY(waitForLog(
        "the broker refused the subscription to " + named + ": no command can reach the bridge"));
    QVERIFY(waitForRetained(name + "/status", "offline"));
    QVERIFY(publish(name + "/1/relay/3/set", "ON"));
    QCOMPARE(m_pty->readAll(500ms), QByteArray());
    watch.terminate();
    const ProcessOutcome watched = finish(watch, eventTimeout);
    QVERIFY2(watched.output.split('\n').contains("offline"), watched.output.constData());
    QVERIFY2(!watched.output.split('\n').contains("online"), watched.output.constData());

    QVERIFY2(m_broker->allowSubscription(denied), qPrintable(m_broker->errorString()));
    QVERIFY(waitForRetained(name + "/status", "online"));
    QVERIFY(publish(name + "/1/relay/3/set", "ON"));
    QCOMPARE(lineOf(20), relayBurst(1, 'S', 3));
}

void TestRelayMqttBroker::readBackWaitsForRetainedStates()
{
    m_broker = std::make_unique<MosquittoBroker>();
    QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));
    QVERIFY(publish(name + "/1/relay/3/state", "ON", true));
    QVERIFY(publish(name + "/2/relay/8/state", "ON", true));
    // The retained states come 2 s after the SUBACK: no settling time after it would do.
    HoldingProxy proxy(m_broker->port(), 2s);
    QVERIFY(proxy.port() != 0);
    startBridge({},
        with(bridgeArguments(), "--broker",
            QStringLiteral("%1:%2").arg(MosquittoBroker::address).arg(proxy.port())));
    QVERIFY(waitForLog("retained relay states read back for 2 card(s)"));
    QCOMPARE(proxy.heldRetained(), 2);
    QVERIFY(waitForRetained(name + "/status", "online"));
    QVERIFY(waitForStates("00100000", "00000001"));
    QVERIFY(publish(name + "/1/relay/3/set", "TOGGLE"));
    QCOMPARE(lineOf(20), relayBurst(1, 'T', 3));
    QVERIFY(waitForStates("00000000", "00000001"));
}

void TestRelayMqttBroker::passwordSources_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<bool>("tls");

    QTest::newRow("systemd credential") << "credential" << false;
    QTest::newRow("config file only its owner reads") << "config" << false;
    QTest::newRow("password file, over TLS") << "password-file" << true;
}

void TestRelayMqttBroker::passwordSources()
{
    QFETCH(QString, source);
    QFETCH(bool, tls);

    m_brokerOptions = {"bridge", "s3cret", tls};
    m_broker = std::make_unique<MosquittoBroker>(m_brokerOptions);
    QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));
    QTemporaryDir directory;
    QStringList extra{"--username", "bridge"};
    if (source == "password-file") {
        extra = loginArguments(directory, "s3cret");
    } else {
        QFile file(directory.filePath(source == "credential" ? "password" : "relay-mqtt.conf"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write(source == "credential" ? "s3cret\n" : "password = s3cret\n") > 0);
        QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
        if (source == "config")
            extra << "--config" << file.fileName();
    }
    if (tls)
        extra << "--cafile" << m_broker->caFile();
    // The bridge takes the environment of the test as it starts.
    if (source == "credential")
        qputenv("CREDENTIALS_DIRECTORY", directory.path().toLocal8Bit());
    startBridge(extra);
    qunsetenv("CREDENTIALS_DIRECTORY");
    QVERIFY(waitForLog("relay-mqtt: online\n"));
    QVERIFY(waitForRetained(name + "/status", "online"));
    QCOMPARE(m_log.count("warning: the password goes to the broker unencrypted"), tls ? 0 : 1);
}

void TestRelayMqttBroker::mutualTls_data()
{
    QTest::addColumn<bool>("caPath");
    QTest::addColumn<bool>("stranger"); // the client certificate of another CA

    QTest::newRow("cafile") << false << false;
    QTest::newRow("capath") << true << false;
    QTest::newRow("stranger's certificate") << false << true;
}

void TestRelayMqttBroker::mutualTls()
{
    QFETCH(bool, caPath);
    QFETCH(bool, stranger);

    m_brokerOptions.requireCertificate = true;
    m_broker = std::make_unique<MosquittoBroker>(m_brokerOptions);
    QVERIFY2(m_broker->setUpError().isEmpty(), qPrintable(m_broker->setUpError()));
    QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));
    startBridge({caPath ? "--capath" : "--cafile", caPath ? m_broker->caPath() : m_broker->caFile(),
        "--certfile", stranger ? m_broker->strangerClientCertFile() : m_broker->clientCertFile(),
        "--keyfile", stranger ? m_broker->strangerClientKeyFile() : m_broker->clientKeyFile()});
    if (stranger) {
        // Turned away at the handshake, again and again, and still running.
        QVERIFY(waitForLog("cannot reach the broker", 2));
        QCOMPARE(m_bridge->state(), QProcess::Running);
        QCOMPARE(m_broker->acceptedConnections(clientIdOf(name)), 0);
        return;
    }
    QVERIFY(waitForRetained(name + "/status", "online"));
    QVERIFY(publish(name + "/1/relay/4/set", "ON"));
    QCOMPARE(lineOf(20), relayBurst(1, 'S', 4));
}

void TestRelayMqttBroker::exitStatuses_data()
{
    QTest::addColumn<QStringList>("arguments"); // after the standard ones; DIR: a folder of files
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    QTest::newRow("--help") << QStringList{"--help"} << 0 << "Exit status";
    QTest::newRow("card 300") << QStringList{"--card", "300"} << 64 << "addresses are 0 to 255";
    QTest::newRow("password others may read")
        << QStringList{"--config", "DIR/readable.conf"} << 64 << "other users may read it";
    QTest::newRow("CA file without a certificate")
        << QStringList{"--cafile", "DIR/not-a-certificate"} << 78 << "holds no certificate";
}

void TestRelayMqttBroker::exitStatuses()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    QTemporaryDir directory;
    QFile config(directory.filePath("readable.conf"));
    QVERIFY(config.open(QIODevice::WriteOnly) && config.write("password = s3cret\n") > 0);
    config.close();
    QVERIFY(config.setPermissions(
        QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
    QFile text(directory.filePath("not-a-certificate"));
    QVERIFY(text.open(QIODevice::WriteOnly) && text.write("not a certificate\n") > 0);
    text.close();
    for (QString &argument : arguments)
        argument.replace("DIR", directory.path());

    // Its port, for --broker; it never runs, as none of these gets as far as connecting.
    m_broker = std::make_unique<MosquittoBroker>();
    QProcess bridge;
    dieWithParent(bridge);
    bridge.start(m_program, bridgeArguments() + arguments);
    const ProcessOutcome outcome = finish(bridge, eventTimeout);
    const QString printed = QString::fromLocal8Bit(outcome.output) + outcome.errors;
    QCOMPARE(outcome.exitCode, exitCode);
    QVERIFY2(printed.contains(message), qPrintable(printed));
}

QTEST_GUILESS_MAIN(TestRelayMqttBroker)
#include "tst_relaymqttbroker.moc"
