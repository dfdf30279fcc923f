// relay-mqtt, the built program, against brokers that do not simply let it in: refused logins and
// subscriptions, a shared client id, late retained states, password sources, TLS, exit statuses.

#include "support/DiesWithParent.h"
#include "support/RelayMqttTest.h"

#include <QFile>
#include <QHostAddress>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>

using namespace std::chrono_literals;

namespace {

// The client id a bridge of this name gets on this machine, for names that need no escaping.
QString clientIdOf(const QString &bridgeName)
{
    return QStringLiteral("relay-mqtt-%1@%2").arg(bridgeName, QSysInfo::machineHostName());
}

// The size of the MQTT packet `bytes` starts with, or 0 until all of it is there.
qsizetype packetSize(const QByteArray &bytes)
{
    qsizetype length = 0;
    for (qsizetype at = 1; at < bytes.size() && at <= 4; ++at) {
        length |= qsizetype(bytes.at(at) & 0x7f) << (7 * (at - 1));
        if (!(bytes.at(at) & 0x80))
            return at + 1 + length <= bytes.size() ? at + 1 + length : 0;
    }
    return 0;
}

// Between the bridge and the broker, for one connection: what the broker sends after a SUBACK
// waits 2 s, as from a busy broker. It runs on a thread of its own (see ProxyThread), so it keeps
// its time whatever the test is doing.
class HoldingProxy : public QTcpServer
{
public:
    explicit HoldingProxy(quint16 brokerPort)
    {
        connect(this, &QTcpServer::newConnection, [this, brokerPort] {
            m_client = nextPendingConnection();
            m_broker.connectToHost(QHostAddress::LocalHost, brokerPort);
            m_broker.waitForConnected();
            connect(
                m_client, &QTcpSocket::readyRead, [this] { m_broker.write(m_client->readAll()); });
        });
        connect(&m_broker, &QTcpSocket::readyRead, [this] { forward(false); });
    }

    std::atomic<int> heldRetained = 0; // retained PUBLISHes that came only after a hold

private:
    void forward(bool held)
    {
        m_pending += m_broker.readAll();
        for (qsizetype size; !m_holding && (size = packetSize(m_pending)) > 0;
             m_pending.remove(0, size)) {
            const auto type = quint8(m_pending.at(0));
            heldRetained += held && (type & 0xf1) == 0x31;
            m_client->write(m_pending.first(size));
            if ((type & 0xf0) == 0x90) { // SUBACK
                m_holding = true;
                QTimer::singleShot(2s, this, [this] {
                    m_holding = false;
                    forward(true);
                });
            }
        }
    }

    QTcpSocket m_broker{this}; // a child, so that it moves to the proxy's thread with it
    QTcpSocket *m_client = nullptr;
    QByteArray m_pending;
    bool m_holding = false;
};

class ProxyThread
{
public:
    explicit ProxyThread(quint16 brokerPort) : m_proxy(new HoldingProxy(brokerPort))
    {
        m_proxy->moveToThread(&m_thread);
        m_thread.start();
        QMetaObject::invokeMethod(
            m_proxy, [this] { m_proxy->listen(QHostAddress::LocalHost); },
            Qt::BlockingQueuedConnection);
    }
    ProxyThread(const ProxyThread &) = delete;
    ProxyThread &operator=(const ProxyThread &) = delete;
    ~ProxyThread()
    {
        QMetaObject::invokeMethod(
            m_proxy, [this] { delete m_proxy; }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }

    HoldingProxy &proxy() { return *m_proxy; }

private:
    QThread m_thread;
    HoldingProxy *m_proxy;
};

} // namespace

class TestRelayMqttBroker : public RelayMqttTest
{
    Q_OBJECT

public:
    TestRelayMqttBroker() : RelayMqttTest(QStringLiteral(RELAY_MQTT))
    {
        // Its log goes with the first bridge's.
        dieWithParent(m_other);
        connect(&m_other, &QProcess::readyReadStandardError, this,
            [this] { m_log += QString::fromLocal8Bit(m_other.readAllStandardError()); });
    }

private slots:
    void initTestCase() { initTestCaseBase(); }
    void init() { initBase(); }
    void cleanup()
    {
        m_other.close();
        cleanupBase();
    }

    void refusedLoginThenMutualTls();
    void sameClientIdBacksOff();
    void distinctClientIds();
    void refusedSubscription();
    void readBackWaitsForRetainedStates();
    void exitStatuses();

private:
    // A second bridge beside the first, on a pseudo-terminal of its own.
    void startOther(const QString &bridgeName, const QStringList &extra = {})
    {
        // The last of an option's values counts.
        m_other.start(m_program,
            bridgeArguments() + QStringList{"--device", m_otherPty.name(), "--name", bridgeName}
                + extra);
        QVERIFY(m_otherPty.isValid() && m_other.waitForStarted());
    }

    PseudoTerminal m_otherPty;
    QProcess m_other;
};

void TestRelayMqttBroker::refusedLoginThenMutualTls()
{
    // Certificates of the broker's CA, and a password for a user the test adds only later.
    m_brokerOptions = {"someone", "x", true, true};
    QVERIFY(startBroker());
    QTemporaryDir directory;
    const QStringList login = loginArguments(directory, "s3cret");
    const QStringList certificate{
        "--certfile", m_broker->clientCertFile(), "--keyfile", m_broker->clientKeyFile()};
    startBridge(login + certificate + QStringList{"--cafile", m_broker->caFile()});
    // The pauses logged after each refused login that gave a reason, in seconds.
    const auto refusalPauses = [this] {
        static const QRegularExpression refusal(
            R"(refused the login of user "bridge": \S.*; offline, next try in ([0-9.]+) s\n)");
        QList<double> pauses;
        for (const QRegularExpressionMatch &match : refusal.globalMatch(m_log))
            pauses << match.captured(1).toDouble();
        return pauses;
    };
    QVERIFY(waitForLog("refused the login of user \"bridge\"", 3));
    const QList<double> pauses = refusalPauses();
    // Doubling from 0.5 s, a quarter either way, to one decimal.
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
    // One line, with its reason, for each login the broker turned away.
    QCOMPARE(refusalPauses().size(), m_broker->log().count("disconnected, not authorised."));
    QVERIFY(publish(name + "/2/relay/5/set", "ON"));
    QCOMPARE(lineOf(20), burstOf({13, 2, 'S', '5', 105}));
    // Over TLS, the password goes out with no warning.
    QVERIFY2(!m_log.contains("unencrypted"), qPrintable(m_log));

    stopBridge(SIGKILL);
    startBridge(login + certificate + QStringList{"--capath", m_broker->caPath()});
    QVERIFY(waitForLog("relay-mqtt: online\n", 2));
    QVERIFY(publish(name + "/1/relay/4/set", "ON"));
    QCOMPARE(lineOf(20), burstOf({13, 1, 'S', '4', 107}));
}

void TestRelayMqttBroker::sameClientIdBacksOff()
{
    startBridge();
    startOther(name);
    // Each takes the other's connection over in turn, and says why it may have lost its own.
    const QString takenOver = "may be connected, taking the connection over";
    QVERIFY(waitForLog("another client with the client id " + clientIdOf(name) + ' ', 1));
    QVERIFY(waitForLog(takenOver, 5));
    // The pauses grow, doubling from 0.5 s, a quarter either way: starting afresh after each
    // short session, every one would be 0.5 s.
    static const QRegularExpression pause(R"(next try in ([0-9.]+) s \(the connection lasted)");
    double longest = 0;
    for (const QRegularExpressionMatch &match : pause.globalMatch(m_log))
        longest = std::max(longest, match.captured(1).toDouble());
    QVERIFY2(longest >= 1.5, qPrintable(m_log));
    QCOMPARE(m_bridge->state(), QProcess::Running);
    QCOMPARE(m_other.state(), QProcess::Running);
}

void TestRelayMqttBroker::distinctClientIds()
{
    m_brokerOptions = {"bridge", "s3cret", false};
    QVERIFY(startBroker());
    // Both names are "a" and "b" joined by a character a client id cannot keep as it is. One has
    // its password from a systemd credential, the other from a config file only its owner reads.
    QTemporaryDir directory;
    qputenv("CREDENTIALS_DIRECTORY", directory.path().toLocal8Bit());
    startBridge(QStringList{"--name", "a.b"} + loginArguments(directory, "s3cret").first(2));
    qunsetenv("CREDENTIALS_DIRECTORY");
    startOther("a_b",
        QStringList{"--username", "bridge"} + configArguments(directory, "password = s3cret\n"));
    QVERIFY(waitForLog("relay-mqtt: online\n", 2));
    QCOMPARE(m_log.count("warning: the password goes to the broker unencrypted"), 2);
    static const QRegularExpression connected(R"(connected to \S+ as (\S+)\n)");
    QStringList ids;
    for (const QRegularExpressionMatch &match : connected.globalMatch(m_log))
        ids << match.captured(1);
    QVERIFY2(ids.size() == 2 && ids.at(0) != ids.at(1), qPrintable(m_log));
    // A client that took another's session over would be in the broker's log before its online.
    QVERIFY(!m_broker->log().contains("already connected, closing old connection"));
    QCOMPARE(m_broker->acceptedConnections(ids.at(0)), 1);
    QCOMPARE(m_broker->acceptedConnections(ids.at(1)), 1);
}

void TestRelayMqttBroker::refusedSubscription()
{
    if (!MosquittoBroker::dynamicSecurityAvailable())
        QSKIP("needs mosquitto's dynamic security plugin");
    // Two of the bridge's three command filters.
    m_brokerOptions.deniedSubscriptions = {"test/1/relay/+/set", "test/2/relay/+/set"};
    QVERIFY(startBroker());
    QProcess statuses; // every status the bridge gives, from before it starts
    QVERIFY(watch(statuses, name + "/status"));
    startBridge({"--card", "3"});
    QVERIFY(waitForLog("the broker refused the subscription to test/1/relay/+/set, "
                       "test/2/relay/+/set: no command can reach the bridge"));
    QVERIFY(waitForRetained(name + "/status", "offline"));
    QVERIFY(publish(name + "/1/relay/3/set", "ON"));
    QCOMPARE(m_pty->readAll(500ms), QByteArray());
    statuses.terminate();
    const QByteArrayList seen = finish(statuses, eventTimeout).output.split('\n');
    QVERIFY2(seen.contains("offline") && !seen.contains("online"), seen.join(' ').constData());

    QVERIFY2(m_broker->allowSubscriptions(), qPrintable(m_broker->errorString()));
    QVERIFY(waitForRetained(name + "/status", "online"));
    QVERIFY(publish(name + "/1/relay/3/set", "ON"));
    QCOMPARE(lineOf(20), burstOf({13, 1, 'S', '3', 108}));
}

void TestRelayMqttBroker::readBackWaitsForRetainedStates()
{
    QVERIFY(startBroker());
    QVERIFY(publish(name + "/1/relay/3/state", "ON", true));
    QVERIFY(publish(name + "/2/relay/8/state", "ON", true));
    // The retained states come 2 s after the SUBACK: no settling time after it would do.
    ProxyThread proxy(m_broker->port());
    startBridge({"--broker", "127.0.0.1:" + QString::number(proxy.proxy().serverPort())});
    QVERIFY(waitForLog("retained relay states read back for 2 card(s)"));
    QCOMPARE(proxy.proxy().heldRetained, 2);
    QVERIFY(waitForRetained(name + "/status", "online"));
    QVERIFY(waitForStates("00100000", "00000001"));
    QVERIFY(publish(name + "/1/relay/3/set", "TOGGLE"));
    QCOMPARE(lineOf(20), burstOf({13, 1, 'T', '3', 107}));
    QVERIFY(waitForStates("00000000", "00000001"));
}

void TestRelayMqttBroker::exitStatuses()
{
    QTemporaryDir directory;
    const QString readable = configArguments(directory, "password = s3cret\n").constLast();
    QVERIFY(QFile::setPermissions(
        readable, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
    // Its port, for --broker; it never runs, as none of these gets as far as connecting.
    m_broker = std::make_unique<MosquittoBroker>();
    const std::tuple<QStringList, int, QString> runs[]
        = {{{"--help"}, 0, "Exit status"}, {{"--card", "300"}, 64, "addresses are 0 to 255"},
            {{"--config", readable}, 64, "other users may read it"},
            {{"--cafile", readable}, 78, "holds no certificate"}};
    for (const auto &[arguments, exitCode, message] : runs) {
        m_log.clear();
        startBridge(arguments);
        const ProcessOutcome outcome = finish(*m_bridge, eventTimeout);
        const QString printed = QString::fromLocal8Bit(outcome.output) + m_log + outcome.errors;
        QCOMPARE(outcome.exitCode, exitCode);
        QVERIFY2(printed.contains(message), qPrintable(printed));
    }
}

QTEST_GUILESS_MAIN(TestRelayMqttBroker)
#include "tst_relaymqttbroker.moc"
