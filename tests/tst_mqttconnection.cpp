#include "relay-mqtt/MqttConnection.h"
#include "support/MosquittoBroker.h"
#include "support/ProcessOutcome.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <chrono>
#include <csignal>

using namespace std::chrono_literals;

namespace {

constexpr auto connectTimeout = 15s; // a generous wait: the first retries are 0.5 s to 4 s apart
constexpr int timeoutMs = 15'000;

MqttSettings settingsFor(const MosquittoBroker &broker, const QString &clientId)
{
    MqttSettings settings;
    settings.host = QString::fromLatin1(MosquittoBroker::address);
    settings.port = broker.port();
    settings.clientId = clientId;
    return settings;
}

// mosquitto_pub or mosquitto_sub against the test's broker, waited for.
ProcessOutcome runClient(const MosquittoBroker &broker, const QString &tool,
    const QStringList &arguments, const QByteArray &input = {})
{
    QProcess process;
    process.start(tool, broker.clientArguments() + arguments);
    if (!input.isNull()) {
        process.write(input);
        process.closeWriteChannel();
    }
    return finish(process, 20s);
}

// What the broker keeps retained on `topic`, as another client sees it; empty if nothing.
QByteArray retainedOn(const MosquittoBroker &broker, const QString &topic)
{
    return runClient(broker, QStringLiteral("mosquitto_sub"),
        {QStringLiteral("-t"), topic, QStringLiteral("--retained-only"), QStringLiteral("-C"),
            QStringLiteral("1"), QStringLiteral("-W"), QStringLiteral("2"), QStringLiteral("-N")})
        .output;
}

bool publishFromOutside(
    const MosquittoBroker &broker, const QString &topic, const QByteArray &payload, bool retain)
{
    // -s sends what comes on standard input; an empty message needs -n.
    QStringList arguments = {QStringLiteral("-t"), topic, QStringLiteral("-q"), QStringLiteral("1"),
        payload.isEmpty() ? QStringLiteral("-n") : QStringLiteral("-s")};
    if (retain)
        arguments << QStringLiteral("-r");
    return runClient(broker, QStringLiteral("mosquitto_pub"), arguments, payload).exitCode == 0;
}

} // namespace

class MqttConnectionTest : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void brokerAddress_data();
    void brokerAddress();
    void retryDelay_data();
    void retryDelay();

    void incoming_data();
    void incoming();
    void outgoing_data();
    void outgoing();
    void offlineStatus_data();
    void offlineStatus();
    void brokerAbsentAtStart();
    void brokerRestart();
    void authentication_data();
    void authentication();
    void tls_data();
    void tls();
    void missingCaFile();
};

void MqttConnectionTest::init()
{
    const QByteArray function = QTest::currentTestFunction();
    if (function != "brokerAddress" && function != "retryDelay" && function != "missingCaFile"
        && !MosquittoBroker::available())
        QSKIP("needs /usr/sbin/mosquitto (./scripts/setup installs it)");
}

void MqttConnectionTest::brokerAddress_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");

    QTest::newRow("host alone") << "broker.lan" << true << "broker.lan" << 1883;
    QTest::newRow("host and port") << "broker.lan:8883" << true << "broker.lan" << 8883;
    QTest::newRow("IPv4 and port") << "10.0.0.5:1884" << true << "10.0.0.5" << 1884;
    QTest::newRow("IPv6 in brackets") << "[fd00::5]:1884" << true << "fd00::5" << 1884;
    QTest::newRow("bare IPv6") << "fd00::5" << true << "fd00::5" << 1883;
    QTest::newRow("port 0") << "broker:0" << false << "localhost" << 1883;
    QTest::newRow("port too big") << "broker:65536" << false << "localhost" << 1883;
    QTest::newRow("no host") << ":1883" << false << "localhost" << 1883;
    QTest::newRow("no port after colon") << "broker:" << false << "localhost" << 1883;
    QTest::newRow("unclosed bracket") << "[fd00::5:1884" << false << "localhost" << 1883;
}

void MqttConnectionTest::brokerAddress()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(QString, host);
    QFETCH(int, port);

    MqttSettings settings;
    QCOMPARE(settings.setBroker(text), valid);
    QCOMPARE(settings.host, host);
    QCOMPARE(settings.port, port);
}

void MqttConnectionTest::retryDelay_data()
{
    QTest::addColumn<int>("failures");
    QTest::addColumn<int>("milliseconds");

    QTest::newRow("first") << 1 << 500;
    QTest::newRow("second") << 2 << 1000;
    QTest::newRow("fifth") << 5 << 8000;
    QTest::newRow("sixth, capped") << 6 << 10'000;
    QTest::newRow("hundredth") << 100 << 10'000;
}

void MqttConnectionTest::retryDelay()
{
    QFETCH(int, failures);
    QFETCH(int, milliseconds);
    QCOMPARE(MqttConnection::retryDelay(failures).count(), milliseconds);
}

void MqttConnectionTest::incoming_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("beforeSubscribing");
    QTest::addColumn<bool>("publishedRetained");
    QTest::addColumn<bool>("retained");

    QTest::newRow("retained, from before") << QByteArray("ON") << true << true << true;
    QTest::newRow("live") << QByteArray("OFF") << false << false << false;
    // The broker stores it, but passes it on as live to those already subscribed.
    QTest::newRow("live, published retained") << QByteArray("ON") << false << true << false;
    QTest::newRow("binary") << QByteArray("a\0b\xff\n", 5) << false << false << false;
    QTest::newRow("empty") << QByteArray("") << false << false << false;
}

void MqttConnectionTest::incoming()
{
    QFETCH(QByteArray, payload);
    QFETCH(bool, beforeSubscribing);
    QFETCH(bool, publishedRetained);
    QFETCH(bool, retained);

    MosquittoBroker broker;
    QVERIFY2(broker.start(), qPrintable(broker.errorString()));
    MqttConnection connection(settingsFor(broker, QStringLiteral("tst-incoming")));
    QSignalSpy connected(&connection, &MqttConnection::connected);
    QSignalSpy subscribed(&connection, &MqttConnection::subscribed);
    QSignalSpy received(&connection, &MqttConnection::messageReceived);
    QVERIFY(connection.connectToBroker());
    QTRY_COMPARE_WITH_TIMEOUT(connected.size(), 1, timeoutMs);

    const QString topic = QStringLiteral("panel/1/relay/3/set");
    if (beforeSubscribing)
        QVERIFY(publishFromOutside(broker, topic, payload, publishedRetained));
    const std::optional<int> mid = connection.subscribe(QStringLiteral("panel/+/relay/+/set"));
    QVERIFY(mid);
    QTRY_COMPARE_WITH_TIMEOUT(subscribed.size(), 1, timeoutMs);
    QCOMPARE(subscribed.at(0).at(0).toInt(), *mid);
    if (!beforeSubscribing)
        QVERIFY(publishFromOutside(broker, topic, payload, publishedRetained));

    QTRY_COMPARE_WITH_TIMEOUT(received.size(), 1, timeoutMs);
    QCOMPARE(received.at(0).at(0).toString(), topic);
    QCOMPARE(received.at(0).at(1).toByteArray(), payload);
    QCOMPARE(received.at(0).at(2).toBool(), retained);
}

void MqttConnectionTest::outgoing_data()
{
    QTest::addColumn<bool>("retain");

    QTest::newRow("retained") << true;
    QTest::newRow("not retained") << false;
}

void MqttConnectionTest::outgoing()
{
    QFETCH(bool, retain);

    MosquittoBroker broker;
    QVERIFY2(broker.start(), qPrintable(broker.errorString()));
    MqttConnection connection(settingsFor(broker, QStringLiteral("tst-outgoing")));
    QSignalSpy connected(&connection, &MqttConnection::connected);
    QSignalSpy published(&connection, &MqttConnection::published);
    QVERIFY(connection.connectToBroker());
    QTRY_COMPARE_WITH_TIMEOUT(connected.size(), 1, timeoutMs);

    // A listener from outside, subscribed (as the broker's log says) before anything is published.
    const QString topic = QStringLiteral("panel/1/relay/3");
    QProcess listener;
    listener.start(QStringLiteral("mosquitto_sub"),
        broker.clientArguments() << QStringLiteral("-i") << QStringLiteral("tst-listener")
                                 << QStringLiteral("-t") << topic << QStringLiteral("-C")
                                 << QStringLiteral("1") << QStringLiteral("-W")
                                 << QStringLiteral("10"));
    QTRY_VERIFY_WITH_TIMEOUT(broker.log().contains("tst-listener 0 " + topic.toUtf8()), timeoutMs);

    const std::optional<int> mid = connection.publish(topic, "ON", 1, retain);
    QVERIFY(mid);
    QTRY_COMPARE_WITH_TIMEOUT(published.size(), 1, timeoutMs);
    QCOMPARE(published.at(0).at(0).toInt(), *mid);
    QTRY_COMPARE_WITH_TIMEOUT(listener.state(), QProcess::NotRunning, timeoutMs);
    QCOMPARE(listener.exitCode(), 0);
    QCOMPARE(listener.readAllStandardOutput(), QByteArray("ON\n"));

    QCOMPARE(retainedOn(broker, topic), retain ? QByteArray("ON") : QByteArray());
}

void MqttConnectionTest::offlineStatus_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<QByteArray>("brokerSays");

    // Killed: the broker publishes the will itself.
    QTest::newRow("killed") << int(SIGKILL)
                            << QByteArray("Client tst-status closed its connection");
    // Terminated: the program says goodbye, and the will is not needed.
    QTest::newRow("terminated") << int(SIGTERM) << QByteArray("Client tst-status disconnected.");
}

void MqttConnectionTest::offlineStatus()
{
    QFETCH(int, signal);
    QFETCH(QByteArray, brokerSays);

    MosquittoBroker broker;
    QVERIFY2(broker.start(), qPrintable(broker.errorString()));
    const QString status = QStringLiteral("panel/status");
    QProcess helper;
    helper.start(QStringLiteral(MQTT_CLIENT_HELPER),
        {QString::number(broker.port()), QStringLiteral("tst-status"), status});
    QVERIFY(helper.waitForStarted());
    QByteArray said;
    QTRY_VERIFY_WITH_TIMEOUT(
        (said += helper.readAllStandardOutput()).contains("online"), timeoutMs);
    QCOMPARE(retainedOn(broker, status), QByteArray("online"));

    ::kill(static_cast<pid_t>(helper.processId()), signal);
    QVERIFY(helper.waitForFinished(timeoutMs));
    if (signal == SIGTERM) {
        QCOMPARE(helper.exitStatus(), QProcess::NormalExit);
        QCOMPARE(helper.exitCode(), 0);
    }
    QTRY_VERIFY2_WITH_TIMEOUT(
        broker.log().contains(brokerSays), broker.log().constData(), timeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(retainedOn(broker, status), QByteArray("offline"), timeoutMs);
}

void MqttConnectionTest::brokerAbsentAtStart()
{
    MosquittoBroker broker;
    QVERIFY2(broker.setUpError().isEmpty(), qPrintable(broker.setUpError()));
    MqttConnection connection(settingsFor(broker, QStringLiteral("tst-absent")));
    QSignalSpy connected(&connection, &MqttConnection::connected);
    QSignalSpy disconnected(&connection, &MqttConnection::disconnected);
    QSignalSpy failed(&connection, &MqttConnection::connectionFailed);
    QVERIFY(connection.connectToBroker());

    QTRY_VERIFY_WITH_TIMEOUT(failed.size() >= 3, timeoutMs);
    QCOMPARE(connected.size(), 0);
    QVERIFY2(failed.at(0).at(0).toString().contains(QStringLiteral("refused")),
        qPrintable(failed.at(0).at(0).toString()));
    auto waited = [&](qsizetype index) {
        return failed.at(index).at(1).value<std::chrono::milliseconds>();
    };
    for (qsizetype i = 1; i < failed.size(); ++i)
        QVERIFY(waited(i - 1) <= waited(i) && waited(i) <= MqttConnection::longestRetryDelay);

    QVERIFY2(broker.start(), qPrintable(broker.errorString()));
    QTRY_COMPARE_WITH_TIMEOUT(connected.size(), 1, timeoutMs);

    // Away again after a good connection: the waits start over from the shortest.
    failed.clear();
    broker.stop();
    QTRY_COMPARE_WITH_TIMEOUT(disconnected.size(), 1, timeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(!failed.isEmpty(), timeoutMs);
    QCOMPARE(waited(0), MqttConnection::firstRetryDelay);
    QVERIFY2(broker.start(), qPrintable(broker.errorString()));
    QTRY_COMPARE_WITH_TIMEOUT(connected.size(), 2, timeoutMs);
}

void MqttConnectionTest::brokerRestart()
{
    MosquittoBroker broker;
    QVERIFY2(broker.start(), qPrintable(broker.errorString()));
    MqttConnection connection(settingsFor(broker, QStringLiteral("tst-restart")));
    QSignalSpy disconnected(&connection, &MqttConnection::disconnected);
    QSignalSpy subscribed(&connection, &MqttConnection::subscribed);
    QSignalSpy received(&connection, &MqttConnection::messageReceived);
    const QString topic = QStringLiteral("panel/1/relay/1/set");
    // As the bridge does: subscribe on every connection.
    connect(&connection, &MqttConnection::connected, &connection,
        [&] { QVERIFY(connection.subscribe(topic)); });
    QVERIFY(connection.connectToBroker());
    QTRY_COMPARE_WITH_TIMEOUT(subscribed.size(), 1, timeoutMs);

    QVERIFY2(broker.restart(), qPrintable(broker.errorString()));
    QTRY_COMPARE_WITH_TIMEOUT(disconnected.size(), 1, timeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(subscribed.size(), 2, connectTimeout.count() * 1000);
    QVERIFY(connection.isConnected());
    QVERIFY(publishFromOutside(broker, topic, "ON", false));
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), 1, timeoutMs);
    QCOMPARE(received.at(0).at(1).toByteArray(), QByteArray("ON"));
}

void MqttConnectionTest::authentication_data()
{
    QTest::addColumn<QString>("username");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("right password") << "bridge"
                                    << "s3cret" << true;
    QTest::newRow("wrong password") << "bridge"
                                    << "guess" << false;
    QTest::newRow("unknown user") << "intruder"
                                  << "s3cret" << false;
    QTest::newRow("no user") << ""
                             << "" << false;
}

void MqttConnectionTest::authentication()
{
    QFETCH(QString, username);
    QFETCH(QString, password);
    QFETCH(bool, accepted);

    MosquittoBroker broker({QStringLiteral("bridge"), QStringLiteral("s3cret")});
    QVERIFY2(broker.start(), qPrintable(broker.errorString()));
    MqttSettings settings = settingsFor(broker, QStringLiteral("tst-login"));
    settings.username = username;
    settings.password = password;
    MqttConnection connection(settings);
    QSignalSpy connected(&connection, &MqttConnection::connected);
    QSignalSpy refused(&connection, &MqttConnection::authenticationRefused);
    QVERIFY(connection.connectToBroker());

    if (accepted) {
        QTRY_COMPARE_WITH_TIMEOUT(connected.size(), 1, timeoutMs);
        QCOMPARE(refused.size(), 0);
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(refused.size(), 1, timeoutMs);
    const QString message = refused.at(0).at(0).toString();
    QVERIFY2(message.contains(QStringLiteral("refused")) && message.contains(username)
            && message.contains(QStringLiteral("not authorised")),
        qPrintable(message));
    QCOMPARE(connection.errorString(), message);
    // Longer than the first two retries would take: the broker must see no second attempt.
    QTest::qWait(3000);
    QCOMPARE(connected.size(), 0);
    QCOMPARE(broker.log().count("not authorised"), 1);
}

void MqttConnectionTest::tls_data()
{
    QTest::addColumn<bool>("rightCa");

    QTest::newRow("the broker's CA") << true;
    QTest::newRow("another CA") << false;
}

void MqttConnectionTest::missingCaFile()
{
    MqttSettings settings;
    settings.caFile = QStringLiteral("/nonexistent/mqtt-ca.crt");
    MqttConnection connection(settings);
    QSignalSpy attempts(&connection, &MqttConnection::connecting);
    QVERIFY(!connection.connectToBroker());
    QVERIFY2(
        connection.errorString().contains(settings.caFile), qPrintable(connection.errorString()));
    QCOMPARE(attempts.size(), 0);
}

void MqttConnectionTest::tls()
{
    QFETCH(bool, rightCa);

    MosquittoBroker broker({.username = {}, .password = {}, .tls = true});
    QVERIFY2(broker.start(), qPrintable(broker.errorString()));
    MqttSettings settings = settingsFor(broker, QStringLiteral("tst-tls"));
    settings.caFile = rightCa ? broker.caFile() : broker.strangerCaFile();
    MqttConnection connection(settings);
    QSignalSpy connected(&connection, &MqttConnection::connected);
    QSignalSpy failed(&connection, &MqttConnection::connectionFailed);
    QVERIFY(connection.connectToBroker());

    if (rightCa) {
        QTRY_COMPARE_WITH_TIMEOUT(connected.size(), 1, timeoutMs);
        const std::optional<int> mid
            = connection.publish(QStringLiteral("panel/status"), "online", 1, true);
        QVERIFY(mid);
        QTRY_COMPARE_WITH_TIMEOUT(
            retainedOn(broker, QStringLiteral("panel/status")), QByteArray("online"), timeoutMs);
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(!failed.isEmpty(), timeoutMs);
    const QString reason = failed.at(0).at(0).toString();
    QVERIFY2(reason.contains(QStringLiteral("certificate verify failed")), qPrintable(reason));
    QCOMPARE(connected.size(), 0);
}

QTEST_GUILESS_MAIN(MqttConnectionTest)
#include "tst_mqttconnection.moc"
