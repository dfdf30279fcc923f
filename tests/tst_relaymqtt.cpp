// relay-mqtt, the built program, between a real mosquitto of the test's own on 127.0.0.1 and a
// pseudo-terminal standing in for the serial port: what the cards would do with what reaches
// the line (a VirtualCard per address), and what the broker holds.

#include "sim/HeadlessLog.h"
#include "support/RelayMqttTest.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace std::chrono_literals;

namespace {

// A command for the table: a topic under NAME and its payload.
using Message = std::pair<QString, QByteArray>;
// In place of a topic: the line carries the commands before it before the next is published.
const QString waitForLine = QStringLiteral("(wait)");

} // namespace

class TestRelayMqtt : public RelayMqttTest
{
    Q_OBJECT

public:
    TestRelayMqtt() : RelayMqttTest(QStringLiteral(RELAY_MQTT)) { }

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void startsOnlineWithDiscovery();
    void commands_data();
    void commands();
    void hold();
    void refused_data();
    void refused();
    void stopBehindFlood();
    void terminated();
    void terminatedWhileHolding();
    void killedLeavesWill();
    void brokerAbsentAtStart();
    void brokerRestart();
    void mirrorFromRetainedStates();
    void login_data();
    void login();
    void tls();
    void portMissingLostAndBack();
};

void TestRelayMqtt::initTestCase()
{
    initTestCaseBase();
}

void TestRelayMqtt::init()
{
    initBase();
}

void TestRelayMqtt::cleanup()
{
    cleanupBase();
}

void TestRelayMqtt::startsOnlineWithDiscovery()
{
    startBridge();
    QVERIFY(waitForRetained(name + "/status", "online"));
    QVERIFY(waitForStates("00000000", "00000000"));
    // 8 switches and 2 buttons per card.
    const auto configs = retained("homeassistant/#");
    QCOMPARE(int(configs.size()), 20);
    QSet<QString> ids;
    for (const auto &[topic, payload] : configs) {
        QJsonParseError error;
        const QJsonObject config = QJsonDocument::fromJson(payload, &error).object();
        QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(topic));
        const QString id = config.value("unique_id").toString();
        QVERIFY2(!id.isEmpty() && !ids.contains(id), qPrintable(topic));
        ids << id;
        QCOMPARE(config.value("availability_topic").toString(), name + "/status");
        // Home Assistant shows the state the bridge publishes, not what it assumes itself.
        QVERIFY2(!config.contains("optimistic"), qPrintable(topic));
        QVERIFY2(config.value("device")["name"].toString().endsWith(" (test)"), qPrintable(topic));
    }
    QCOMPARE(m_pty->readAll(300ms), QByteArray());
}

void TestRelayMqtt::commands_data()
{
    QTest::addColumn<QList<Message>>("messages");
    QTest::addColumn<QByteArray>("expectedLine");
    QTest::addColumn<QString>("card1");
    QTest::addColumn<QString>("card2");

    QTest::newRow("set ON") << QList<Message>{{"1/relay/3/set", "ON"}}
                            << burstOf({13, 1, 'S', '3', 108}) << "00100000"
                            << "00000000";
    QTest::newRow("set with blanks and case")
        << QList<Message>{{"2/relay/8/set", " on \n"}, {"2/relay/1/set", "oN"}}
        << burstOf({13, 2, 'S', '8', 102}) + burstOf({13, 2, 'S', '1', 109}) << "00000000"
        << "10000001";
    QTest::newRow("1 then 0 then Off")
        << QList<Message>{{"1/relay/2/set", "1"}, {"1/relay/5/set", "1"}, {"1/relay/2/set", "0"},
               {"1/relay/5/set", "Off"}}
        << burstOf({13, 1, 'S', '2', 109}) + burstOf({13, 1, 'S', '5', 106})
            + burstOf({13, 1, 'C', '2', 125}) + burstOf({13, 1, 'C', '5', 122})
        << "00000000"
        << "00000000";
    QTest::newRow("TOGGLE") << QList<Message>{{"1/relay/4/set", "TOGGLE"},
        {"1/relay/4/set", "toggle"}, {"1/relay/6/set", " Toggle"}}
                            << burstOf({13, 1, 'T', '4', 106}) + burstOf({13, 1, 'T', '4', 106})
            + burstOf({13, 1, 'T', '6', 104})
                            << "00000100"
                            << "00000000";
    QTest::newRow("all on, one off")
        << QList<Message>{{"2/all/set", "ON"}, {"2/relay/7/set", "OFF"}}
        << burstOf({13, 2, 'S', '9', 101}) + burstOf({13, 2, 'C', '7', 119}) << "00000000"
        << "11111101";
    QTest::newRow("all off") << QList<Message>{{"1/relay/1/set", "ON"}, {"1/all/set", "off"}}
                             << burstOf({13, 1, 'S', '1', 110}) + burstOf({13, 1, 'C', '9', 118})
                             << "00000000"
                             << "00000000";
    // Card 2's ON on the line before the stop comes: a stop jumps whatever still waits.
    QTest::newRow("stop") << QList<Message>{{"1/relay/1/set", "ON"}, {"2/relay/1/set", "ON"},
        {waitForLine, ""}, {"1/stop", ""}}
                          << burstOf({13, 1, 'S', '1', 110}) + burstOf({13, 2, 'S', '1', 109})
            + burstOf({13, 1, 'E', '1', 124})
                          << "00000000"
                          << "10000000";
    QTest::newRow("show") << QList<Message>{{"1/relay/8/set", "ON"}, {"1/show", "whatever"}}
                          << burstOf({13, 1, 'S', '8', 103}) + burstOf({13, 1, 'D', '1', 125})
                          << "00000001"
                          << "00000000";
}

void TestRelayMqtt::commands()
{
    QFETCH(QList<Message>, messages);
    QFETCH(QByteArray, expectedLine);
    QFETCH(QString, card1);
    QFETCH(QString, card2);

    startBridge();
    QVERIFY(waitForRetained(name + "/status", "online"));
    QByteArray line;
    qsizetype published = 0;
    for (const auto &[topic, payload] : messages) {
        if (topic == waitForLine) {
            line += lineOf(published * 20 - line.size());
            continue;
        }
        QVERIFY(publish(name + u'/' + topic, payload));
        ++published;
    }
    line += lineOf(expectedLine.size() - line.size());
    QCOMPARE(line.toHex(' '), expectedLine.toHex(' '));
    QCOMPARE(HeadlessLog::relayString(m_cards.at(1).relays()), card1);
    QCOMPARE(HeadlessLog::relayString(m_cards.at(2).relays()), card2);
    QVERIFY(waitForStates(card1, card2));
}

void TestRelayMqtt::hold()
{
    startBridge();
    QVERIFY(waitForRetained(name + "/status", "online"));
    QProcess watch;
    watch.start("mosquitto_sub",
        clientArguments() + QStringList{"-t", name + "/1/relay/7/state", "-C", "3"});
    // Subscribed once the retained OFF is in.
    QVERIFY(watch.waitForReadyRead(int(timeoutMs)));
    QVERIFY(publish(name + "/1/relay/7/hold", "1000"));
    // Until the line has been quiet for longer than a card keeps a relay held.
    const QList<TimedPacket> packets
        = readTimed([](const QList<TimedPacket> &read) { return !read.isEmpty(); }, 400ms);
    // A second's bursts at the line's pace, the card holding the relay all through.
    const QString fault = holdFault(packets, 1, 7, burstOf({13, 1, 'P', '7', 107}), 1s);
    QVERIFY2(fault.isEmpty(), qPrintable(fault));
    const ProcessOutcome seen = finish(watch, eventTimeout);
    QCOMPARE(seen.output, QByteArray("OFF\nON\nOFF\n"));
    QVERIFY(waitForStates("00000000", "00000000"));
}

void TestRelayMqtt::refused_data()
{
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("retainedBeforeStart");
    QTest::addColumn<QString>("logged"); // empty: the bridge does not even subscribe to it

    QTest::newRow("bad payload") << "1/relay/1/set" << QByteArray("MAYBE") << false << "ignored";
    QTest::newRow("relay 9") << "1/relay/9/set" << QByteArray("ON") << false << "no relay 9";
    QTest::newRow("all TOGGLE") << "2/all/set" << QByteArray("TOGGLE") << false << "ignored";
    QTest::newRow("hold for ever")
        << "1/relay/1/hold" << QByteArray("999999999") << false << "ignored";
    QTest::newRow("300 bytes") << "1/relay/1/set" << QByteArray(300, 'N') << false << "longer";
    QTest::newRow("unknown card 3") << "3/relay/1/set" << QByteArray("ON") << false << QString();
    QTest::newRow("retained ON") << "1/relay/2/set" << QByteArray("ON") << true << "retained";
}

void TestRelayMqtt::refused()
{
    QFETCH(QString, topic);
    QFETCH(QByteArray, payload);
    QFETCH(bool, retainedBeforeStart);
    QFETCH(QString, logged);

    if (retainedBeforeStart) {
        m_broker = std::make_unique<MosquittoBroker>();
        QVERIFY(m_broker->start());
        QVERIFY(publish(name + u'/' + topic, payload, true));
    }
    startBridge();
    QVERIFY(waitForRetained(name + "/status", "online"));
    if (!retainedBeforeStart)
        QVERIFY(publish(name + u'/' + topic, payload));
    if (!logged.isEmpty()) {
        QVERIFY(waitForLog("relay-mqtt: ignored " + name + u'/' + topic));
        QVERIFY(waitForLog(logged));
    }
    // Still running, and what came first sent nothing.
    QVERIFY(publish(name + "/1/relay/6/set", "ON"));
    QCOMPARE(lineOf(20).toHex(' '), burstOf({13, 1, 'S', '6', 105}).toHex(' '));
    QVERIFY(waitForStates("00000100", "00000000"));
    QCOMPARE(m_bridge->state(), QProcess::Running);
}

void TestRelayMqtt::stopBehindFlood()
{
    startBridge();
    QVERIFY(waitForRetained(name + "/status", "online"));
    // -l: a message for every line, all from one client, in order.
    const auto flood = [this](const QString &topic, const QByteArray &payload, int count) {
        return client("mosquitto_pub", {"-t", name + u'/' + topic, "-q", "1", "-l"},
                   QByteArray(payload + '\n').repeated(count))
                   .exitCode
            == 0;
    };
    QVERIFY(flood("1/relay/1/set", "TOGGLE", 20));
    QVERIFY(flood("2/relay/2/set", "TOGGLE", 5));
    QVERIFY(flood("1/relay/3/set", "TOGGLE", 20));
    QVERIFY(publish(name + "/1/stop", ""));

    QByteArray bytes = lineOf(20);
    while (!bytes.contains(burstOf({13, 1, 'E', '1', 124})) || m_cards.at(2).commandCount() < 5) {
        const QByteArray more = lineOf(20);
        QVERIFY2(!more.isEmpty(), bytes.toHex(' ').constData());
        bytes += more;
    }
    QCOMPARE(bytes.size() % 20, 0);
    const qsizetype stopAt = bytes.indexOf(burstOf({13, 1, 'E', '1', 124}));
    QCOMPARE(stopAt % 20, 0);
    for (qsizetype at = stopAt + 20; at < bytes.size(); at += 20)
        QVERIFY2(bytes.at(at + 1) != 1, "a command for card 1 after its emergency stop");
    QCOMPARE(HeadlessLog::relayString(m_cards.at(1).relays()), QString("00000000"));
    // Card 2's five toggles all arrived, behind the flood or not.
    QCOMPARE(m_cards.at(2).commandCount(), 5);
    QCOMPARE(HeadlessLog::relayString(m_cards.at(2).relays()), QString("01000000"));
    QVERIFY(waitForLog("commands are already waiting"));
    QVERIFY(waitForStates("00000000", "01000000"));
}

void TestRelayMqtt::terminated()
{
    startBridge();
    QVERIFY(waitForRetained(name + "/status", "online"));
    QVERIFY(client("mosquitto_pub", {"-t", name + "/1/relay/1/set", "-q", "1", "-l"},
                QByteArray("TOGGLE\n").repeated(6))
                .exitCode
        == 0);
    QByteArray bytes = m_pty->read(20, eventTimeout);
    QVERIFY(bytes.startsWith(burstOf({13, 1, 'T', '1', 109})));
    QCOMPARE(::kill(static_cast<pid_t>(m_bridge->processId()), SIGTERM), 0);
    const ProcessOutcome outcome = finish(*m_bridge, eventTimeout);
    m_log += outcome.errors;
    QVERIFY2(outcome.exitCode == 0, qPrintable(m_log));
    bytes += m_pty->readAll(300ms);
    // Whole bursts only: the line carried all that was written before DTR dropped.
    QVERIFY2(bytes.size() % 20 == 0, bytes.toHex(' ').constData());
    QCOMPARE(bytes, burstOf({13, 1, 'T', '1', 109}).repeated(bytes.size() / 20));
    QVERIFY(waitForRetained(name + "/status", "offline"));
}

void TestRelayMqtt::terminatedWhileHolding()
{
    startBridge();
    QVERIFY(waitForRetained(name + "/status", "online"));
    QVERIFY(publish(name + "/2/relay/3/hold", "3600000"));
    QCOMPARE(m_pty->read(20, eventTimeout), burstOf({13, 2, 'P', '3', 110}));
    QVERIFY(waitForStates("00000000", "00100000"));
    QCOMPARE(::kill(static_cast<pid_t>(m_bridge->processId()), SIGTERM), 0);
    const ProcessOutcome outcome = finish(*m_bridge, eventTimeout);
    m_log += outcome.errors;
    QVERIFY2(outcome.exitCode == 0, qPrintable(m_log));
    // The bursts stopped, so the card let go: no ON may stay behind on the broker.
    QVERIFY(waitForStates("00000000", "00000000"));
    QVERIFY(waitForRetained(name + "/status", "offline"));
}

void TestRelayMqtt::killedLeavesWill()
{
    startBridge();
    QVERIFY(waitForRetained(name + "/status", "online"));
    m_bridge->kill();
    QVERIFY(m_bridge->waitForFinished());
    QVERIFY(waitForRetained(name + "/status", "offline"));
}

void TestRelayMqtt::brokerAbsentAtStart()
{
    m_broker = std::make_unique<MosquittoBroker>();
    startBridge();
    QVERIFY(waitForLog("cannot reach the broker"));
    QCOMPARE(m_bridge->state(), QProcess::Running);
    QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));
    QVERIFY(waitForRetained(name + "/status", "online"));
    QVERIFY(publish(name + "/1/relay/2/set", "ON"));
    QCOMPARE(lineOf(20), burstOf({13, 1, 'S', '2', 109}));
}

void TestRelayMqtt::brokerRestart()
{
    startBridge();
    QVERIFY(waitForRetained(name + "/status", "online"));
    QVERIFY(publish(name + "/2/relay/4/set", "ON"));
    QCOMPARE(lineOf(20), burstOf({13, 2, 'S', '4', 106}));
    QVERIFY(waitForStates("00000000", "00010000"));

    m_broker->stop();
    QVERIFY(waitForLog("disconnected from the broker"));
    // Without persistence the broker comes back empty: all it holds, the bridge published again.
    QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));
    QVERIFY(waitForRetained(name + "/status", "online"));
    QVERIFY(waitForStates("00000000", "00010000"));
    QVERIFY(publish(name + "/1/relay/5/set", "ON"));
    QCOMPARE(lineOf(20), burstOf({13, 1, 'S', '5', 106}));
    QVERIFY(waitForStates("00001000", "00010000"));
}

void TestRelayMqtt::mirrorFromRetainedStates()
{
    m_broker = std::make_unique<MosquittoBroker>();
    QVERIFY(m_broker->start());
    QVERIFY(publish(name + "/1/relay/3/state", "ON", true));
    QVERIFY(publish(name + "/2/relay/8/state", "ON", true));
    startBridge();
    QVERIFY(waitForRetained(name + "/status", "online"));
    QVERIFY(waitForStates("00100000", "00000001"));
    QVERIFY(publish(name + "/1/relay/3/set", "TOGGLE"));
    QCOMPARE(lineOf(20), burstOf({13, 1, 'T', '3', 107}));
    QVERIFY(waitForStates("00000000", "00000001"));
}

void TestRelayMqtt::login_data()
{
    QTest::addColumn<bool>("tls");
    QTest::newRow("password") << false;
    QTest::newRow("password over TLS") << true;
}

void TestRelayMqtt::login()
{
    QFETCH(bool, tls);
    m_brokerOptions = {"bridge", "s3cret word", tls};
    QTemporaryDir directory;
    QStringList extra = loginArguments(directory, "s3cret word");
    QVERIFY(!extra.isEmpty());
    m_broker = std::make_unique<MosquittoBroker>(m_brokerOptions);
    QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));
    if (tls)
        extra << "--cafile" << m_broker->caFile();
    startBridge(extra);
    QVERIFY(waitForRetained(name + "/status", "online"));
    QVERIFY(publish(name + "/1/relay/2/set", "ON"));
    QCOMPARE(lineOf(20), burstOf({13, 1, 'S', '2', 109}));
}

void TestRelayMqtt::tls()
{
    m_brokerOptions.tls = true;
    m_broker = std::make_unique<MosquittoBroker>(m_brokerOptions);
    QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));
    startBridge({"--cafile", m_broker->caFile()});
    QVERIFY(waitForRetained(name + "/status", "online"));
    QVERIFY(publish(name + "/2/all/set", "ON"));
    QCOMPARE(lineOf(20), burstOf({13, 2, 'S', '9', 101}));
    QVERIFY(waitForStates("00000000", "11111111"));
}

void TestRelayMqtt::portMissingLostAndBack()
{
    // A link the test points at a line, as udev's /dev/serial/by-id names come and go with the
    // adapter.
    QTemporaryDir directory;
    m_device = directory.filePath("line");
    startBridge();
    QVERIFY(waitForRetained(name + "/status", "offline"));
    QVERIFY(waitForLog("could not be opened"));
    QVERIFY(QFile::link(m_pty->name(), m_device));
    QVERIFY(waitForRetained(name + "/status", "online"));
    QVERIFY(publish(name + "/1/relay/1/set", "ON"));
    QCOMPARE(lineOf(20), burstOf({13, 1, 'S', '1', 110}));

    m_pty->hangUp();
    QVERIFY(waitForRetained(name + "/status", "offline"));
    QVERIFY(waitForLog("was lost"));
    QCOMPARE(m_bridge->state(), QProcess::Running);
    m_pty = std::make_unique<PseudoTerminal>();
    QVERIFY(QFile::remove(m_device));
    QVERIFY(QFile::link(m_pty->name(), m_device));
    QVERIFY(waitForRetained(name + "/status", "online"));
    QVERIFY(publish(name + "/2/relay/8/set", "ON"));
    QCOMPARE(lineOf(20), burstOf({13, 2, 'S', '8', 102}));
    QVERIFY(waitForStates("10000000", "00000001"));
}

QTEST_GUILESS_MAIN(TestRelayMqtt)
#include "tst_relaymqtt.moc"
