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
// before a gap late sees the gap shorter, and this much is allowed for. The dead time is long
// enough to tell from none even so.
constexpr LineTime readSlack = 200ms;
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

// The bursts to `card` of commands such as "C2 S1": the instruction, then the relay (9: all).
QByteArrayList burstsFor(quint8 card, const QString &commands)
{
    QByteArrayList bursts;
    for (const QString &command : commands.split(u' '))
        bursts << RelayMqttTest::relayBurst(card, command.at(0).toLatin1(), command.mid(1).toInt());
    return bursts;
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
    QVERIFY(watch(states, relay3 + "state", 6));
    // A state for each, however the relay ends up and whether the command is taken or not.
    for (const QByteArray payload : {" tRuE\n", "ON", "Ma\nybe", "False"})
        QVERIFY(publish(relay3 + "set", payload));
    const QByteArray line = relayBurst(1, 'S', 3).repeated(2) + relayBurst(1, 'C', 3);
    QCOMPARE(lineOf(line.size()).toHex(' '), line.toHex(' '));
    // Two holds are all one line keeps.
    for (const QString relay : {"1", "2", "3"})
        QVERIFY(publish(name + "/1/relay/" + relay + "/hold", "60000"));
    QCOMPARE(finish(states, eventTimeout).output, "OFF\nON\nON\nON\nOFF\nOFF\n");
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
    // Taken back and announced before online: one more than expected, to see all there is.
    QStringList expected = announcedTopics(secondName, secondCards, secondDiscovery) << record;
    expected.sort();
    QStringList found;
    for (const auto &[topic, payload] : retained("#", int(expected.size()) + 1))
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
    const auto found = retained("custom/#", 30);
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
    QVERIFY(retained(topic, 1).empty());
    QVERIFY(publish("hass/status", "online"));
    QVERIFY(waitForRetained(topic, found.at(topic)));
    // Two holds are all one line keeps: the refusals name the card and the relay.
    for (const int relay : {1, 2, 3, 4})
        QVERIFY(publish(QStringLiteral("%1/3/relay/%2/hold").arg(name).arg(relay), "60000"));
    QVERIFY(waitForLog("refused card 3 relay 3 held 60000 ms (Workbench, Pump): "));
    QVERIFY(waitForLog("refused card 3 relay 4 held 60000 ms (Workbench): "));
}

void TestRelayMqttHa::interlocked()
{
    QTemporaryDir directory;
    startBridge(configArguments(directory, interlocks));
    QVERIFY(waitForRetained(name + "/status", "online"));
    // A topic, its payloads, the bursts on the line, and the one after the dead time (-1: none).
    const std::tuple<QString, QByteArrayList, QByteArrayList, int> steps[]
        = {{"1/relay/1/set", {"ON"}, burstsFor(1, "C2 S1"), 1},
            {"1/relay/6/set", {"ON"}, burstsFor(1, "C5 C7 S6"), 2},
            // The second TOGGLE turns it off: nothing to turn off first.
            {"1/relay/2/set", {"TOGGLE", "TOGGLE"}, burstsFor(1, "C1 T2 T2"), 1},
            {"2/relay/1/set", {"ON"}, burstsFor(2, "S1"), -1},
            {"2/all/set", {"ON"}, burstsFor(2, "S9"), -1}, {"1/all/set", {"ON"}, {}, -1},
            {"1/relay/8/set", {"ON"}, burstsFor(1, "S8"), -1}};
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
    for (const int relay : {1, 2, 3})
        QVERIFY(publish(QStringLiteral("%1/1/relay/%2/hold").arg(name).arg(relay), "2000"));
    const QByteArray toggle = relayBurst(2, 'T', 4);
    const QList<TimedPacket> packets = readTimed(
        [&](const QList<TimedPacket> &read) { return burstsOf(read).count(toggle) >= toggles; },
        500ms);
    const QByteArrayList bursts = burstsOf(packets);
    QCOMPARE(bursts.size() * 4, packets.size());
    QCOMPARE(bursts.count(toggle), toggles);
    QCOMPARE(bursts.count(relayBurst(1, 'P', 3)), 0);
    QVERIFY(waitForLog("refused card 1 relay 3 held 2000 ms: "));
    QVERIFY(waitForLog("held already"));

    // The card, its clock at the end of each packet on the line, holds both relays throughout,
    // and the queue had its turns meanwhile.
    LineTime now{};
    VirtualCard card(
        1, [&now] { return std::chrono::duration_cast<std::chrono::milliseconds>(now); });
    for (qsizetype at = 0; at < packets.size(); ++at) {
        now = packets.at(at).at + packetTime;
        card.receive(packets.at(at).bytes);
        for (const int relay : {1, 2}) {
            const QByteArray held = relayBurst(1, 'P', relay);
            const qsizetype first = bursts.indexOf(held);
            const qsizetype last = bursts.lastIndexOf(held);
            QVERIFY2(first >= 0 && last > first && bursts.mid(first, last - first).contains(toggle),
                qPrintable(QString::number(relay)));
            QVERIFY2(at / 4 < first || at / 4 > last || card.relays().at(relay - 1),
                qPrintable(QStringLiteral("relay %1 let go at packet %2").arg(relay).arg(at)));
        }
    }
    QVERIFY(waitForStates("00000000", "00010000"));
}

QTEST_GUILESS_MAIN(TestRelayMqttHa)
#include "tst_relaymqttha.moc"
