// What tst_relaymqtt cannot see from outside the program: the broker address parsing, the waits
// between attempts, the retained flag on what comes in, and a TLS broker of the wrong CA.

#include "relay-mqtt/mqtt/MqttConnection.h"
#include "support/MosquittoBroker.h"
#include "support/ProcessOutcome.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTest>

using namespace std::chrono_literals;

namespace {

constexpr int timeoutMs = 15'000; // generous: the waits end as soon as the event is seen

MqttSettings settingsFor(const MosquittoBroker &broker, const QString &caFile = {})
{
    MqttSettings settings;
    settings.host = QString::fromLatin1(MosquittoBroker::address);
    settings.port = broker.port();
    settings.caFile = caFile;
    return settings;
}

bool publishRetained(const MosquittoBroker &broker, const QString &topic)
{
    QProcess process;
    process.start("mosquitto_pub",
        broker.clientArguments() + QStringList{"-t", topic, "-q", "1", "-r", "-m", "ON"});
    return finish(process, 20s).exitCode == 0;
}

} // namespace

class MqttConnectionTest : public QObject
{
    Q_OBJECT

private slots:
    void brokerAddress_data();
    void brokerAddress();
    void retryDelay_data();
    void retryDelay();
    void retainedFlag_data();
    void retainedFlag();
    void tlsWithAnotherCa();
};

void MqttConnectionTest::brokerAddress_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("host"); // a refused text leaves the defaults
    QTest::addColumn<int>("port");
    QTest::newRow("host alone") << "broker.lan" << true << "broker.lan" << 1883;
    QTest::newRow("host and port") << "broker.lan:8883" << true << "broker.lan" << 8883;
    QTest::newRow("IPv6 in brackets") << "[fd00::5]:1884" << true << "fd00::5" << 1884;
    QTest::newRow("bare IPv6") << "fd00::5" << true << "fd00::5" << 1883;
    QTest::newRow("port 0") << "broker:0" << false << "localhost" << 1883;
    // 65536 would wrap to 0 in 16 bits.
    QTest::newRow("port too big") << "broker:65536" << false << "localhost" << 1883;
    QTest::newRow("no port after colon") << "broker:" << false << "localhost" << 1883;
    QTest::newRow("no host") << ":1883" << false << "localhost" << 1883;
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
    QTest::addColumn<bool>("refused"); // a refused login or a connection that did not last
    QTest::addColumn<int>("milliseconds");
    QTest::newRow("first") << 1 << false << 500;
    QTest::newRow("second, doubled") << 2 << false << 1000;
    QTest::newRow("seventh, capped") << 7 << false << 30'000;
    QTest::newRow("seventh, refused") << 7 << true << 32'000;
    QTest::newRow("eleventh, refused, capped") << 11 << true << 300'000;
    // Doubling that long would overflow.
    QTest::newRow("hundredth") << 100 << false << 30'000;
}

void MqttConnectionTest::retryDelay()
{
    QFETCH(int, failures);
    QFETCH(bool, refused);
    QFETCH(int, milliseconds);
    const auto longest
        = refused ? MqttConnection::longestRefusedDelay : MqttConnection::longestRetryDelay;
    const auto delay = MqttConnection::retryDelay(failures, longest);
    QCOMPARE(delay.count(), milliseconds);
    // The jitter keeps to a quarter either way.
    for (int i = 0; i < 100; ++i) {
        const auto jittered = MqttConnection::withJitter(delay);
        QVERIFY(jittered >= delay * 3 / 4 && jittered <= delay * 5 / 4);
    }
}

void MqttConnectionTest::retainedFlag_data()
{
    QTest::addColumn<bool>("beforeSubscribing");
    // The bridge ignores retained commands: a live one, though kept by the broker, is not one.
    QTest::newRow("retained, from before") << true;
    QTest::newRow("live, published retained") << false;
}

void MqttConnectionTest::retainedFlag()
{
    QFETCH(bool, beforeSubscribing);
    if (!MosquittoBroker::available())
        QSKIP("needs /usr/sbin/mosquitto (./scripts/setup installs it)");
    MosquittoBroker broker;
    QVERIFY2(broker.start(), qPrintable(broker.errorString()));
    MqttConnection connection(settingsFor(broker));
    QSignalSpy subscribed(&connection, &MqttConnection::subscribed);
    QSignalSpy received(&connection, &MqttConnection::messageReceived);
    const QString topic = "panel/1/relay/3/set";
    connect(&connection, &MqttConnection::connected, &connection,
        [&] { QVERIFY(connection.subscribe({"panel/+/relay/+/set"})); });
    if (beforeSubscribing)
        QVERIFY(publishRetained(broker, topic));
    QVERIFY(connection.connectToBroker());
    QTRY_COMPARE_WITH_TIMEOUT(subscribed.size(), 1, timeoutMs);
    if (!beforeSubscribing)
        QVERIFY(publishRetained(broker, topic));
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), 1, timeoutMs);
    QCOMPARE(received.at(0).at(0).toString(), topic);
    QCOMPARE(received.at(0).at(1).toByteArray(), QByteArray("ON"));
    QCOMPARE(received.at(0).at(2).toBool(), beforeSubscribing);
}

void MqttConnectionTest::tlsWithAnotherCa()
{
    if (!MosquittoBroker::available())
        QSKIP("needs /usr/sbin/mosquitto (./scripts/setup installs it)");
    MosquittoBroker broker({.username = {}, .password = {}, .tls = true});
    QVERIFY2(broker.start(), qPrintable(broker.errorString()));
    MqttConnection connection(settingsFor(broker, broker.strangerCaFile()));
    QSignalSpy connected(&connection, &MqttConnection::connected);
    QSignalSpy failed(&connection, &MqttConnection::connectionFailed);
    QVERIFY(connection.connectToBroker());
    QTRY_VERIFY_WITH_TIMEOUT(!failed.isEmpty(), timeoutMs);
    const QString reason = failed.at(0).at(0).toString();
    QVERIFY2(reason.contains("certificate verify failed"), qPrintable(reason));
    QCOMPARE(connected.size(), 0);
}

QTEST_GUILESS_MAIN(MqttConnectionTest)
#include "tst_mqttconnection.moc"
