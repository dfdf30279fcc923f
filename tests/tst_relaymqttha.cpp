// relay-mqtt, the built program, as Home Assistant and the cards see it: a state after every
// command, stale topics taken back, discovery, interlocks and the holds one line keeps.

#include "relay-mqtt/mqtt/BridgeTopics.h"
#include "support/RelayMqttTest.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <functional>

using namespace std::chrono_literals;

namespace {

// A packet after an idle line is stamped when the test reads it: a test that reads the burst
// before a gap late sees the gap shorter, by readSlack at most. The dead time is long enough to
// tell from none even so.
constexpr auto deadTime = 400ms;
const QByteArray interlocks = "interlock-delay = " + QByteArray::number(qint64(deadTime.count()))
    + "\n[card.1]\ninterlock = 1 2, 5 6 7\n";

// The retained topics of a bridge of this name, these cards and discovery (or none).
QStringList announcedTopics(const QString &base, const QList<int> &cards, bool discovery)
{
    QStringList topics{base + "/status"};
    for (const int card : cards) {
        const QString id = QStringLiteral("homeassistant/%3/%1_%2_%4/config").arg(base).arg(card);
        for (int relay = 1; relay <= 8; ++relay) {
            topics << QStringLiteral("%1/%2/relay/%3/state").arg(base).arg(card).arg(relay);
            if (discovery)
                topics << id.arg("switch").arg(relay);
        }
        if (discovery)
            topics << id.arg("button", "stop") << id.arg("button", "show");
    }
    return topics;
}

// The line free between the end of burst `before` and the start of burst `after`.
LineTime idleBetween(const QList<TimedPacket> &packets, qsizetype before, qsizetype after)
{
    return packets.at(4 * after).at - (packets.at(4 * before).at + 4 * packetTime);
}

} // namespace

class TestRelayMqttHa : public RelayMqttTest
{
    Q_OBJECT

public:
    TestRelayMqttHa() : RelayMqttTest(QStringLiteral(RELAY_MQTT)) { }

private slots:
    void initTestCase() { initTestCaseBase(); }
    void init() { initBase(); }
    void cleanup() { cleanupBase(); }

    void stateAfterEveryCommand();
    void staleTopicsTakenBack_data();
    void staleTopicsTakenBack();
    void discovery();
    void interlocked();
    void holdsTheLineKeeps();

private:
    // Publishes `payloads` on `topic` in order without waiting, so the line is read meanwhile.
    std::unique_ptr<QProcess> publishLater(const QString &topic, const QByteArrayList &payloads)
    {
        auto process = std::make_unique<QProcess>();
        process->start(
            "mosquitto_pub", clientArguments() + QStringList{"-t", topic, "-q", "1", "-l"});
        process->write(payloads.join('\n') + '\n');
        process->waitForBytesWritten();
        process->closeWriteChannel();
        return process;
    }
};

void TestRelayMqttHa::stateAfterEveryCommand()
{
    startBridge();
    QVERIFY(waitForRetained(name + "/status", "online"));
    const QString relay3 = name + "/1/relay/3/";
    QProcess states;
    QVERIFY(watch(states, relay3 + "state", 5));
    // A state for each, however the relay ends up and whether the command is taken or not.
    for (const QByteArray payload : {" tRuE\n", "ON", "Ma\nybe", "False"})
        QVERIFY(publish(relay3 + "set", payload));
    const QByteArray line
        = burstOf({13, 1, 'S', '3', 108}).repeated(2) + burstOf({13, 1, 'C', '3', 124});
    QCOMPARE(lineOf(line.size()).toHex(' '), line.toHex(' '));
    QCOMPARE(finish(states, eventTimeout).output, "OFF\nON\nON\nON\nOFF\n");
    const QString quoted = R"("Ma\x0aybe")";
    QVERIFY(waitForLog(quoted));
    const QStringList lines = m_log.split(u'\n').filter(relay3 + "set");
    QVERIFY2(lines.size() == 1 && lines.constFirst().startsWith("relay-mqtt: ignored " + relay3)
            && lines.constFirst().endsWith(quoted),
        qPrintable(m_log));

    m_pty->hangUp();
    QVERIFY(waitForRetained(name + "/status", "offline"));
    QVERIFY(watch(states, relay3 + "state", 2));
    QVERIFY(publish(relay3 + "set", "ON"));
    QCOMPARE(finish(states, eventTimeout).output, "OFF\nOFF\n");
}

void TestRelayMqttHa::staleTopicsTakenBack_data()
{
    QTest::addColumn<QString>("secondName");
    QTest::addColumn<QList<int>>("secondCards");
    QTest::addColumn<bool>("secondDiscovery");

    QTest::newRow("nothing changed") << name << QList<int>{1, 2} << true;
    QTest::newRow("card 2 taken out") << name << QList<int>{1} << true;
    QTest::newRow("renamed") << "other" << QList<int>{1, 2} << true;
    QTest::newRow("no discovery") << name << QList<int>{1, 2} << false;
}

void TestRelayMqttHa::staleTopicsTakenBack()
{
    QFETCH(QString, secondName);
    QFETCH(QList<int>, secondCards);
    QFETCH(bool, secondDiscovery);

    startBridge();
    QVERIFY(waitForRetained(name + "/status", "online"));
    QVERIFY(publish("homeassistant/status", "online")); // Home Assistant's birth, by default
    QVERIFY(waitForLog("Home Assistant is online"));
    const QString record = QStringLiteral("relay-mqtt/%1/%2/announced")
                               .arg(BridgeTopics::idOf(QSysInfo::machineHostName()),
                                   BridgeTopics::idOf(m_pty->name()));
    QCOMPARE(stopBridge(SIGTERM).exitCode, 0);

    QStringList second{
        "--device", m_pty->name(), "--broker", brokerAddress(), "--name", secondName};
    for (const int card : secondCards)
        second << "--card" << QString::number(card);
    if (!secondDiscovery)
        second << "--no-discovery";
    startBridge({}, second);
    QVERIFY(waitForRetained(secondName + "/status", "online"));
    // Taken back and announced before online: all the broker keeps.
    QStringList expected = announcedTopics(secondName, secondCards, secondDiscovery) << record;
    expected.sort();
    QStringList found;
    for (const auto &[topic, payload] : retained("#"))
        found << topic;
    QCOMPARE(found, expected);
    QVERIFY(waitForLog("relay-mqtt: online", 2));
    QCOMPARE(m_log.contains("no longer configured taken off the broker"),
        secondName != name || secondCards.size() != 2 || !secondDiscovery);
}

void TestRelayMqttHa::discovery()
{
    QTemporaryDir directory;
    // Card 3 by its group in the config file alone. What the configs hold is tst_bridgeoptions'
    // business; here, that the names reach them and that all go out.
    startBridge(configArguments(directory, "[card.3]\nname = Workbench\nrelay.3 = Pump\n")
        << "--discovery-prefix"
        << "custom"
        << "--ha-status-topic"
        << "hass/status");
    QVERIFY(waitForRetained(name + "/status", "online"));
    const auto found = retained("custom/#");
    QCOMPARE(int(found.size()), 30);
    const auto entity = [&found](const QString &topic) {
        return QJsonDocument::fromJson(found.at(topic)).object();
    };
    const QJsonObject pump = entity("custom/switch/test_3_3/config");
    QCOMPARE(pump.value("name").toString(), "Pump");
    QCOMPARE(pump.value("device").toObject().value("name").toString(), "Workbench (test)");
    QCOMPARE(entity("custom/switch/test_3_4/config").value("name").toString(), "Relay 4");
    // Home Assistant shows the state published after each command, not one it assumes.
    QVERIFY(!pump.contains("optimistic"));
    QVERIFY(!pump.value("device").toObject().value("sw_version").toString().isEmpty());
    const QJsonObject show = entity("custom/button/test_1_show/config");
    QCOMPARE(show.value("device").toObject().value("name"), "Card 1 (test)");
    QCOMPARE(show.value("device_class"), "identify");
    // Home Assistant's birth has the configs published again: on its own topic, not the prefix's.
    const QString topic = "custom/switch/test_2_5/config";
    QVERIFY(publish(topic, {}, true));
    QVERIFY(publish("custom/status", "online"));
    // Messages are taken in order: an answer would precede this command's state.
    QVERIFY(publish(name + "/1/relay/8/set", "ON"));
    QVERIFY(waitForRetained(name + "/1/relay/8/state", "ON"));
    QVERIFY(!retained(topic).contains(topic));
    QVERIFY(publish("hass/status", "online"));
    QVERIFY(waitForRetained(topic, found.at(topic)));
    // With the port lost, commands are refused: the refusals name the card and the relay.
    m_pty->hangUp();
    QVERIFY(waitForRetained(name + "/status", "offline"));
    for (const int relay : {3, 4})
        QVERIFY(publish(QStringLiteral("%1/3/relay/%2/set").arg(name).arg(relay), "ON"));
    QVERIFY(waitForLog("refused card 3 relay 3 ON (Workbench, Pump): "));
    QVERIFY(waitForLog("refused card 3 relay 4 ON (Workbench): "));
}

void TestRelayMqttHa::interlocked()
{
    QTemporaryDir directory;
    startBridge(configArguments(directory, interlocks));
    QVERIFY(waitForRetained(name + "/status", "online"));
    // A topic, its payloads, the bursts on the line, and the one after the dead time (-1: none).
    const std::tuple<QString, QByteArrayList, QByteArrayList, int> steps[]
        = {{"1/relay/1/set", {"ON"},
               QByteArrayList{burstOf({13, 1, 'C', '2', 125}), burstOf({13, 1, 'S', '1', 110})}, 1},
            {"1/relay/6/set", {"ON"},
                QByteArrayList{burstOf({13, 1, 'C', '5', 122}), burstOf({13, 1, 'C', '7', 120}),
                    burstOf({13, 1, 'S', '6', 105})},
                2},
            // The second TOGGLE turns it off: nothing to turn off first.
            {"1/relay/2/set", {"TOGGLE", "TOGGLE"},
                QByteArrayList{burstOf({13, 1, 'C', '1', 126}), burstOf({13, 1, 'T', '2', 108}),
                    burstOf({13, 1, 'T', '2', 108})},
                1},
            {"2/relay/1/set", {"ON"}, QByteArrayList{burstOf({13, 2, 'S', '1', 109})}, -1},
            {"2/all/set", {"ON"}, QByteArrayList{burstOf({13, 2, 'S', '9', 101})}, -1},
            {"1/all/set", {"ON"}, {}, -1},
            {"1/relay/8/set", {"ON"}, QByteArrayList{burstOf({13, 1, 'S', '8', 103})}, -1}};
    for (const auto &[topic, payloads, expected, onBurst] : steps) {
        const auto publisher = publishLater(name + u'/' + topic, payloads);
        const qsizetype packetCount = 4 * expected.size();
        const QList<TimedPacket> packets = readTimed(
            [&](const QList<TimedPacket> &read) { return read.size() >= packetCount; }, 300ms);
        QCOMPARE(finish(*publisher, eventTimeout).exitCode, 0);
        QCOMPARE(burstsOf(packets), expected);
        if (onBurst > 0) {
            const LineTime idle = idleBetween(packets, onBurst - 1, onBurst);
            QVERIFY2(idle >= deadTime - readSlack, qPrintable(QString::number(idle.count())));
        }
    }
    QVERIFY(waitForLog("refused card 1 all ON: the card has interlocked relays"));
}

void TestRelayMqttHa::holdsTheLineKeeps()
{
    startBridge();
    QVERIFY(waitForRetained(name + "/status", "online"));
    // Card 2's toggles wait in the queue first, so they take their turns all through the holds.
    constexpr int toggles = 25;
    const auto queued = publishLater(name + "/2/relay/4/set", QByteArrayList(toggles, "TOGGLE"));
    QCOMPARE(finish(*queued, eventTimeout).exitCode, 0);
    for (const int relay : {1, 2})
        QVERIFY(publish(QStringLiteral("%1/1/relay/%2/hold").arg(name).arg(relay), "2000"));
    const QByteArray toggle = burstOf({13, 2, 'T', '4', 105});
    const QList<TimedPacket> packets = readTimed(
        [&](const QList<TimedPacket> &read) { return burstsOf(read).count(toggle) >= toggles; },
        500ms);
    const QByteArrayList bursts = burstsOf(packets);
    QCOMPARE(bursts.size() * 4, packets.size());
    QCOMPARE(bursts.count(toggle), toggles);

    // The card, its clock at the end of each packet on the line, holds both relays throughout,
    // and the queue had its turns meanwhile.
    for (const auto &[relay, held] : {std::pair{1, burstOf({13, 1, 'P', '1', 113})},
             std::pair{2, burstOf({13, 1, 'P', '2', 112})}}) {
        const qsizetype first = bursts.indexOf(held);
        const qsizetype last = bursts.lastIndexOf(held);
        QVERIFY2(first >= 0 && last > first && bursts.mid(first, last - first).contains(toggle),
            qPrintable(QString::number(relay)));
        const std::optional<LineTime> gap = firstGap(packets, 1, relay);
        QVERIFY2(!gap,
            qPrintable(QStringLiteral("relay %1 let go %2 ms into its hold")
                           .arg(relay)
                           .arg(gap.value_or(LineTime{}).count())));
    }
    QVERIFY(waitForStates("00000000", "00010000"));
}

QTEST_GUILESS_MAIN(TestRelayMqttHa)
#include "tst_relaymqttha.moc"
