// relay-mqtt, the built program, as Home Assistant and the cards see it: the states it answers
// every command with, the retained topics it takes back, its discovery devices and names, the
// interlocks and the holds the line can keep, between a real mosquitto of the test's own on
// 127.0.0.1 and a pseudo-terminal standing in for the serial port.

#include "support/RelayMqttTest.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <functional>

using namespace std::chrono_literals;

namespace {

// A command for the table: a topic under NAME and its payload.
using Message = std::pair<QString, QByteArray>;

// Times on the line, in milliseconds of the test's steady clock.
using LineTime = std::chrono::duration<double, std::milli>;
// 2400 baud, ten bits a byte.
constexpr LineTime packetTime{1000.0 * 5 / 240};
constexpr LineTime burstTime = 4 * packetTime;
// How late the test may read a packet that came after an idle line: it stamps it when it reads
// it, so a busy machine shortens the gaps it measures after one.
constexpr LineTime readSlack = 2 * packetTime;

// A packet off the line and when it starts on the wire: when it arrived, or when the line has
// carried the packets before it, whichever is later. A pseudo-terminal takes a burst at once;
// the line would carry it a packet at a time.
struct TimedPacket
{
    QByteArray bytes;
    LineTime at;
};

// BridgeTopics::idOf, as the record's topic spells the host and the line.
QString idOf(const QString &text)
{
    QString id;
    for (const char byte : text.toUtf8()) {
        const bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z')
            || (byte >= '0' && byte <= '9') || byte == '-';
        if (plain)
            id += QLatin1Char(byte);
        else
            id += QStringLiteral("_%1").arg(uchar(byte), 2, 16, QLatin1Char('0'));
    }
    return id;
}

// The retained topics a bridge of this name, these cards and discovery (or none) announces.
QSet<QString> announcedTopics(const QString &base, const QList<int> &cards, bool discovery)
{
    QSet<QString> topics{base + "/status"};
    for (const int card : cards) {
        const QString id = QStringLiteral("%1_%2").arg(idOf(base)).arg(card);
        for (int relay = 1; relay <= 8; ++relay) {
            topics << QStringLiteral("%1/%2/relay/%3/state").arg(base).arg(card).arg(relay);
            if (discovery)
                topics << QStringLiteral("homeassistant/switch/%1_%2/config").arg(id).arg(relay);
        }
        if (discovery) {
            topics << "homeassistant/button/" + id + "_stop/config"
                   << "homeassistant/button/" + id + "_show/config";
        }
    }
    return topics;
}

QJsonObject json(const QByteArray &payload)
{
    return QJsonDocument::fromJson(payload).object();
}

// The bursts the packets make, one per four identical packets.
QList<QByteArray> burstsOf(const QList<TimedPacket> &packets)
{
    QList<QByteArray> bursts;
    for (qsizetype at = 0; at + 4 <= packets.size(); at += 4) {
        QByteArray burst;
        for (qsizetype i = at; i < at + 4; ++i)
            burst += packets.at(i).bytes;
        bursts << burst;
    }
    return bursts;
}

QByteArray joined(const QList<QByteArray> &bursts)
{
    QByteArray bytes;
    for (const QByteArray &burst : bursts)
        bytes += burst;
    return bytes;
}

// The line free between the end of burst `before` and the start of burst `after`.
LineTime idleBetween(const QList<TimedPacket> &packets, qsizetype before, qsizetype after)
{
    return packets.at(4 * after).at - (packets.at(4 * before).at + burstTime);
}

} // namespace

class TestRelayMqttHa : public RelayMqttTest
{
    Q_OBJECT

public:
    TestRelayMqttHa() : RelayMqttTest(QStringLiteral(RELAY_MQTT)) { }

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void stateAfterEveryCommand_data();
    void stateAfterEveryCommand();
    void staleTopicsTakenBack_data();
    void staleTopicsTakenBack();
    void devicesToldApart_data();
    void devicesToldApart();
    void haStatusRepublishes_data();
    void haStatusRepublishes();
    void setPayloads_data();
    void setPayloads();
    void namesFromConfig();
    void interlockOffFirst_data();
    void interlockOffFirst();
    void interlockHoldWaitsForLetGo();
    void interlockAllOn_data();
    void interlockAllOn();
    void holdsTheLineKeeps();

private:
    // The options to read `text` as the config file, written where only its owner may read it;
    // none if it cannot be written.
    static QStringList configArguments(const QTemporaryDir &directory, const QByteArray &text);
    QString recordTopic() const;
    QString broker() const;
    // A subscriber to `topic` for `count` messages, once the retained one has come: whatever is
    // published after this cannot pass it by.
    std::unique_ptr<QProcess> watch(const QString &topic, int count);
    // Publishes each of `payloads` on `topic`, in order, without waiting for the broker, so the
    // line is read while the bridge acts on them.
    std::unique_ptr<QProcess> publishLater(const QString &topic, const QByteArrayList &payloads);
    // Packets off the line as they come, until `enough` says so and then the line is quiet for
    // `quiet` (not at all for zero).
    QList<TimedPacket> readTimed(const std::function<bool(const QList<TimedPacket> &)> &enough,
        std::chrono::milliseconds quiet = 300ms);
    QList<TimedPacket> readBursts(qsizetype count, std::chrono::milliseconds quiet = 300ms);
    bool waitForTopic(const QString &topic);
    bool waitForRetainedTopics(const QString &filter, const QSet<QString> &expected);
    std::map<QString, QByteArray> configs(int count = 20);
};

void TestRelayMqttHa::initTestCase()
{
    initTestCaseBase();
}

void TestRelayMqttHa::init()
{
    initBase();
}

void TestRelayMqttHa::cleanup()
{
    cleanupBase();
}

QStringList TestRelayMqttHa::configArguments(const QTemporaryDir &directory, const QByteArray &text)
{
    QFile file(directory.filePath("relay-mqtt.conf"));
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size()
        || !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner))
        return {};
    return {"--config", file.fileName()};
}

QString TestRelayMqttHa::recordTopic() const
{
    return QStringLiteral("relay-mqtt/%1/%2/announced")
        .arg(idOf(QSysInfo::machineHostName()), idOf(m_pty->name()));
}

QString TestRelayMqttHa::broker() const
{
    return QStringLiteral("%1:%2").arg(MosquittoBroker::address).arg(m_broker->port());
}

std::unique_ptr<QProcess> TestRelayMqttHa::watch(const QString &topic, int count)
{
    auto process = std::make_unique<QProcess>();
    process->start("mosquitto_sub",
        clientArguments() + QStringList{"-t", topic, "-C", QString::number(count)});
    QElapsedTimer clock;
    clock.start();
    while (!process->canReadLine() && clock.elapsed() < timeoutMs)
        process->waitForReadyRead(100);
    return process;
}

std::unique_ptr<QProcess> TestRelayMqttHa::publishLater(
    const QString &topic, const QByteArrayList &payloads)
{
    auto process = std::make_unique<QProcess>();
    process->start("mosquitto_pub", clientArguments() + QStringList{"-t", topic, "-q", "1", "-l"});
    process->write(payloads.join('\n') + '\n');
    process->waitForBytesWritten();
    process->closeWriteChannel();
    return process;
}

QList<TimedPacket> TestRelayMqttHa::readTimed(
    const std::function<bool(const QList<TimedPacket> &)> &enough, std::chrono::milliseconds quiet)
{
    QList<TimedPacket> packets;
    QByteArray pending;
    LineTime lineFree{};
    for (;;) {
        const bool done = enough(packets);
        if (done && quiet == 0ms)
            return packets;
        const QByteArray chunk = m_pty->read(1, done ? quiet : eventTimeout);
        if (chunk.isEmpty())
            return packets;
        const LineTime arrived = std::chrono::steady_clock::now().time_since_epoch();
        pending += chunk;
        for (; pending.size() >= 5; pending.remove(0, 5)) {
            const LineTime at = std::max(lineFree, arrived);
            packets << TimedPacket{pending.first(5), at};
            lineFree = at + packetTime;
        }
    }
}

QList<TimedPacket> TestRelayMqttHa::readBursts(qsizetype count, std::chrono::milliseconds quiet)
{
    return readTimed(
        [count](const QList<TimedPacket> &packets) { return packets.size() >= 4 * count; }, quiet);
}

bool TestRelayMqttHa::waitForTopic(const QString &topic)
{
    QElapsedTimer clock;
    clock.start();
    while (!retained(topic, 1).contains(topic)) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QTest::qWait(50);
    }
    return true;
}

bool TestRelayMqttHa::waitForRetainedTopics(const QString &filter, const QSet<QString> &expected)
{
    QElapsedTimer clock;
    clock.start();
    QSet<QString> found;
    while (clock.elapsed() < timeoutMs) {
        // One more than expected: all the broker holds comes in before the 2 s are up.
        found.clear();
        for (const auto &[topic, payload] : retained(filter, int(expected.size()) + 1))
            found << topic;
        if (found == expected)
            return true;
    }
    qWarning() << "missing" << (expected - found) << "left behind" << (found - expected)
               << "; the bridge logged:" << m_log;
    return false;
}

std::map<QString, QByteArray> TestRelayMqttHa::configs(int count)
{
    return retained("homeassistant/#", count);
}

void TestRelayMqttHa::stateAfterEveryCommand_data()
{
    QTest::addColumn<QList<Message>>("messages");
    QTest::addColumn<bool>("portLost");
    QTest::addColumn<QByteArray>("seen"); // the retained state first

    QTest::newRow("set ON twice") << QList<Message>{{"1/relay/3/set", "ON"},
        {"1/relay/3/set", "ON"}} << false
                                  << QByteArray("OFF\nON\nON\n");
    QTest::newRow("OFF while off")
        << QList<Message>{{"1/relay/3/set", "OFF"}} << false << QByteArray("OFF\nOFF\n");
    QTest::newRow("MAYBE refused")
        << QList<Message>{{"1/relay/3/set", "MAYBE"}} << false << QByteArray("OFF\nOFF\n");
    QTest::newRow("port lost") << QList<Message>{{"1/relay/3/set", "ON"}} << true
                               << QByteArray("OFF\nOFF\n");
    QTest::newRow("hold beyond the limit") << QList<Message>{{"1/relay/1/hold", "60000"},
        {"1/relay/2/hold", "60000"}, {"1/relay/3/hold", "60000"}}
                                           << false << QByteArray("OFF\nOFF\n");
}

void TestRelayMqttHa::stateAfterEveryCommand()
{
    QFETCH(QList<Message>, messages);
    QFETCH(bool, portLost);
    QFETCH(QByteArray, seen);

    startBridge();
    QVERIFY(waitForRetained(name + "/status", "online"));
    QVERIFY(waitForStates("00000000", "00000000"));
    // The switch shows what the state topic says, not what it was asked.
    const QString switchTopic = "homeassistant/switch/test_1_3/config";
    const auto switchConfig = retained(switchTopic, 1);
    QVERIFY(switchConfig.contains(switchTopic));
    QVERIFY(!json(switchConfig.at(switchTopic)).contains("optimistic"));
    if (portLost) {
        m_pty->hangUp();
        QVERIFY(waitForRetained(name + "/status", "offline"));
    }
    const auto states = watch(name + "/1/relay/3/state", int(seen.count('\n')));
    for (const auto &[topic, payload] : messages)
        QVERIFY(publish(name + u'/' + topic, payload));
    QCOMPARE(finish(*states, eventTimeout).output, seen);
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
    // The record goes out last of all the bridge announces.
    QVERIFY(waitForTopic(recordTopic()));
    QCOMPARE(stopBridge(SIGTERM).exitCode, 0);

    QStringList second{"--device", m_pty->name(), "--broker", broker(), "--name", secondName};
    for (const int card : secondCards)
        second << "--card" << QString::number(card);
    if (!secondDiscovery)
        second << "--no-discovery";
    startBridge({}, second);
    // What it took back went before its status, its configs before its states.
    QVERIFY(waitForRetained(secondName + "/status", "online"));
    QVERIFY(waitForRetained(
        QStringLiteral("%1/%2/relay/8/state").arg(secondName).arg(secondCards.constLast()), "OFF"));
    QVERIFY(waitForRetainedTopics("#",
        announcedTopics(secondName, secondCards, secondDiscovery) + QSet<QString>{recordTopic()}));
    const bool changed = secondName != name || secondCards.size() != 2 || !secondDiscovery;
    // Whatever it took back, it said so before it said it is online.
    QVERIFY(waitForLog("relay-mqtt: online", 2));
    QCOMPARE(m_log.contains("no longer configured taken off the broker"), changed);
}

void TestRelayMqttHa::devicesToldApart_data()
{
    QTest::addColumn<QByteArray>("config"); // empty: none
    QTest::addColumn<QString>("card1Device");

    QTest::newRow("default") << QByteArray() << "Card 1 (test)";
    QTest::newRow("named card") << QByteArray("[card.1]\nname = Workbench\n") << "Workbench (test)";
}

void TestRelayMqttHa::devicesToldApart()
{
    QFETCH(QByteArray, config);
    QFETCH(QString, card1Device);

    QProcess version;
    version.start(m_program, {"--version"});
    const QByteArray versionText = finish(version, eventTimeout).output.trimmed();
    QVERIFY(versionText.startsWith("relay-mqtt "));

    QTemporaryDir directory;
    const QStringList extra = config.isEmpty() ? QStringList() : configArguments(directory, config);
    QCOMPARE(extra.isEmpty(), config.isEmpty());
    startBridge(extra);
    QVERIFY(waitForRetained(name + "/status", "online"));
    const auto found = configs();
    QCOMPARE(int(found.size()), 20);
    for (const auto &[topic, payload] : found) {
        const QJsonObject entity = json(payload);
        const QJsonObject device = entity.value("device").toObject();
        const bool ofCard1 = entity.value("unique_id").toString().startsWith("test_1_");
        QCOMPARE(device.value("name").toString(), ofCard1 ? card1Device : "Card 2 (test)");
        QCOMPARE("relay-mqtt " + device.value("sw_version").toString().toUtf8(), versionText);
        // No web page to point at yet.
        QVERIFY2(!entity.contains("configuration_url") && !device.contains("configuration_url"),
            qPrintable(topic));
        if (topic.endsWith("_show/config")) {
            QCOMPARE(entity.value("name").toString(), "Show address");
            QCOMPARE(entity.value("device_class").toString(), "identify");
        }
    }
}

void TestRelayMqttHa::haStatusRepublishes_data()
{
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QString>("birthTopic");
    QTest::addColumn<bool>("republished");

    const QStringList custom{"--discovery-prefix", "custom", "--ha-status-topic", "hass/status"};
    QTest::newRow("default") << QStringList() << "homeassistant"
                             << "homeassistant/status" << true;
    QTest::newRow("own status topic") << custom << "custom"
                                      << "hass/status" << true;
    QTest::newRow("prefix's status") << custom << "custom"
                                     << "custom/status" << false;
}

void TestRelayMqttHa::haStatusRepublishes()
{
    QFETCH(QStringList, extra);
    QFETCH(QString, prefix);
    QFETCH(QString, birthTopic);
    QFETCH(bool, republished);

    startBridge(extra);
    QVERIFY(waitForRetained(name + "/status", "online"));
    const QString topic = prefix + "/switch/test_2_5/config";
    const auto before = retained(topic, 1);
    QVERIFY(before.contains(topic));
    QVERIFY(publish(topic, {}, true));
    QVERIFY(publish(birthTopic, "online"));
    if (republished) {
        QVERIFY(waitForRetained(topic, before.at(topic)));
        QVERIFY(waitForLog("Home Assistant is online"));
        return;
    }
    // The bridge gets its messages in the order they were published: once this command is
    // carried out, an answer to the birth would have gone out before it.
    QVERIFY(publish(name + "/1/relay/1/set", "ON"));
    QCOMPARE(lineOf(20), relayBurst(1, 'S', 1));
    QVERIFY(waitForRetained(name + "/1/relay/1/state", "ON"));
    QVERIFY(retained(topic, 1).empty());
    QVERIFY2(!m_log.contains("Home Assistant is online"), qPrintable(m_log));
}

void TestRelayMqttHa::setPayloads_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("expectedLine");
    QTest::addColumn<QString>("quoted"); // in the refusal; empty if taken

    QTest::newRow("true") << QByteArray("true") << relayBurst(1, 'S', 3) << QString();
    QTest::newRow("TRUE") << QByteArray("TRUE") << relayBurst(1, 'S', 3) << QString();
    QTest::newRow("tRuE") << QByteArray(" tRuE\n") << relayBurst(1, 'S', 3) << QString();
    QTest::newRow("false") << QByteArray("false") << relayBurst(1, 'C', 3) << QString();
    QTest::newRow("False") << QByteArray("False") << relayBurst(1, 'C', 3) << QString();
    QTest::newRow("Maybe") << QByteArray("Maybe") << QByteArray() << "\"Maybe\"";
    QTest::newRow("yes") << QByteArray("yes") << QByteArray() << "\"yes\"";
    QTest::newRow("newline") << QByteArray("Ma\nybe") << QByteArray() << "\"Ma\\x0aybe\"";
}

void TestRelayMqttHa::setPayloads()
{
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, expectedLine);
    QFETCH(QString, quoted);

    startBridge();
    QVERIFY(waitForRetained(name + "/status", "online"));
    QVERIFY(publish(name + "/1/relay/3/set", payload));
    if (!quoted.isEmpty()) {
        QVERIFY(waitForLog(quoted));
        const QStringList lines = m_log.split(u'\n').filter("test/1/relay/3/set");
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.constFirst().startsWith("relay-mqtt: ignored test/1/relay/3/set"),
            qPrintable(m_log));
        QVERIFY2(lines.constFirst().endsWith(quoted), qPrintable(m_log));
    }
    // Still running, and what came first sent no more than its own burst.
    QVERIFY(publish(name + "/1/relay/6/set", "ON"));
    const QByteArray expected = expectedLine + relayBurst(1, 'S', 6);
    QCOMPARE(lineOf(expected.size()).toHex(' '), expected.toHex(' '));
}

void TestRelayMqttHa::namesFromConfig()
{
    QTemporaryDir directory;
    const QStringList config
        = configArguments(directory, "[card.1]\nname = Workbench\nrelay.3 = Pump\n");
    QVERIFY(!config.isEmpty());
    // No --card: the card's group is enough to bridge it.
    m_broker = std::make_unique<MosquittoBroker>();
    QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));
    startBridge(
        {}, config + QStringList{"--device", m_pty->name(), "--name", name, "--broker", broker()});
    QVERIFY(waitForRetained(name + "/status", "online"));
    const auto found = configs(10);
    QCOMPARE(int(found.size()), 10);
    for (int relay = 1; relay <= 8; ++relay) {
        const QString relayTopic = QStringLiteral("test/1/relay/%1").arg(relay);
        const QString topic = QStringLiteral("homeassistant/switch/test_1_%1/config").arg(relay);
        QVERIFY2(found.contains(topic), qPrintable(topic));
        const QJsonObject entity = json(found.at(topic));
        QCOMPARE(entity.value("name").toString(),
            relay == 3 ? QString("Pump") : QStringLiteral("Relay %1").arg(relay));
        QCOMPARE(entity.value("device").toObject().value("name").toString(), "Workbench (test)");
        QCOMPARE(entity.value("command_topic").toString(), relayTopic + "/set");
        QCOMPARE(entity.value("state_topic").toString(), relayTopic + "/state");
    }
    // Two holds are all the line keeps: the third and fourth are refused, by name.
    for (const int relay : {1, 2, 3, 4})
        QVERIFY(publish(QStringLiteral("%1/1/relay/%2/hold").arg(name).arg(relay), "60000"));
    QVERIFY(waitForLog("refused card 1 relay 3 held 60000 ms (Workbench, Pump): "));
    QVERIFY(waitForLog("refused card 1 relay 4 held 60000 ms (Workbench): "));
}

void TestRelayMqttHa::interlockOffFirst_data()
{
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QByteArrayList>("payloads");
    QTest::addColumn<QByteArray>("expectedLine");
    QTest::addColumn<int>("onBurst"); // the burst that turns the relay on

    QTest::newRow("ON") << "1/relay/1/set" << QByteArrayList{"ON"}
                        << relayBurst(1, 'C', 2) + relayBurst(1, 'S', 1) << 1;
    QTest::newRow("ON in a group of three")
        << "1/relay/6/set" << QByteArrayList{"ON"}
        << relayBurst(1, 'C', 5) + relayBurst(1, 'C', 7) + relayBurst(1, 'S', 6) << 2;
    QTest::newRow("TOGGLE from OFF") << "1/relay/2/set" << QByteArrayList{"TOGGLE"}
                                     << relayBurst(1, 'C', 1) + relayBurst(1, 'T', 2) << 1;
    // The second TOGGLE turns it off: nothing to turn off first.
    QTest::newRow("TOGGLE back to OFF")
        << "1/relay/2/set" << QByteArrayList{"TOGGLE", "TOGGLE"}
        << relayBurst(1, 'C', 1) + relayBurst(1, 'T', 2) + relayBurst(1, 'T', 2) << 1;
    QTest::newRow("card 2 has no interlocks")
        << "2/relay/1/set" << QByteArrayList{"ON"} << relayBurst(2, 'S', 1) << -1;
}

void TestRelayMqttHa::interlockOffFirst()
{
    QFETCH(QString, topic);
    QFETCH(QByteArrayList, payloads);
    QFETCH(QByteArray, expectedLine);
    QFETCH(int, onBurst);

    QTemporaryDir directory;
    const QStringList extra
        = configArguments(directory, "interlock-delay = 150\n[card.1]\ninterlock = 1 2, 5 6 7\n");
    QVERIFY(!extra.isEmpty());
    startBridge(extra);
    QVERIFY(waitForRetained(name + "/status", "online"));
    const auto publisher = publishLater(name + u'/' + topic, payloads);
    const QList<TimedPacket> packets = readBursts(expectedLine.size() / 20);
    QCOMPARE(finish(*publisher, eventTimeout).exitCode, 0);
    QCOMPARE(joined(burstsOf(packets)).toHex(' '), expectedLine.toHex(' '));
    if (onBurst > 0) {
        const LineTime idle = idleBetween(packets, onBurst - 1, onBurst);
        QVERIFY2(idle >= 150ms - readSlack, qPrintable(QString::number(idle.count())));
    }
}

void TestRelayMqttHa::interlockHoldWaitsForLetGo()
{
    QTemporaryDir directory;
    const QStringList extra
        = configArguments(directory, "interlock-delay = 150\n[card.1]\ninterlock = 1 2, 5 6 7\n");
    QVERIFY(!extra.isEmpty());
    startBridge(extra);
    QVERIFY(waitForRetained(name + "/status", "online"));
    const QByteArray held6 = relayBurst(1, 'P', 6);
    const QByteArray held5 = relayBurst(1, 'P', 5);
    // Relay 5 is asked for once relay 6 is held, the line read all along.
    std::unique_ptr<QProcess> hold6 = publishLater(name + "/1/relay/6/hold", {"60000"});
    std::unique_ptr<QProcess> hold5;
    const QList<TimedPacket> packets = readTimed(
        [&](const QList<TimedPacket> &read) {
            const QList<QByteArray> bursts = burstsOf(read);
            if (!hold5 && bursts.contains(held6))
                hold5 = publishLater(name + "/1/relay/5/hold", {"60000"});
            return bursts.contains(held5);
        },
        0ms);
    QVERIFY(hold5);
    QCOMPARE(finish(*hold6, eventTimeout).exitCode, 0);
    QCOMPARE(finish(*hold5, eventTimeout).exitCode, 0);
    const QList<QByteArray> bursts = burstsOf(packets);
    const qsizetype lastHeld6 = bursts.lastIndexOf(held6);
    const qsizetype firstHeld5 = bursts.indexOf(held5);
    QCOMPARE(bursts.mid(lastHeld6 + 1),
        (QList<QByteArray>{relayBurst(1, 'C', 6), relayBurst(1, 'C', 7), held5}));
    // Relay 6 is interlocked too: its own partners went off before its hold.
    QCOMPARE(bursts.first(2), (QList<QByteArray>{relayBurst(1, 'C', 5), relayBurst(1, 'C', 7)}));
    QCOMPARE(bursts.mid(2, lastHeld6 - 1), QList<QByteArray>(lastHeld6 - 1, held6));
    // The card lets go of relay 6 a hold time after its last packet; the dead time follows.
    const LineTime idle = idleBetween(packets, lastHeld6, firstHeld5);
    QVERIFY2(idle >= VirtualCard::holdTime + 150ms - readSlack,
        qPrintable(QString::number(idle.count())));
}

void TestRelayMqttHa::interlockAllOn_data()
{
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QByteArray>("expectedLine");
    QTest::addColumn<QString>("logged");

    QTest::newRow("card 1 ON refused")
        << "1/all/set" << QByteArray() << "refused card 1 all ON: the card has interlocked relays";
    QTest::newRow("card 2 ON") << "2/all/set" << burst(2, 'S', '9') << QString();
}

void TestRelayMqttHa::interlockAllOn()
{
    QFETCH(QString, topic);
    QFETCH(QByteArray, expectedLine);
    QFETCH(QString, logged);

    QTemporaryDir directory;
    const QStringList extra
        = configArguments(directory, "interlock-delay = 150\n[card.1]\ninterlock = 1 2, 5 6 7\n");
    QVERIFY(!extra.isEmpty());
    startBridge(extra);
    QVERIFY(waitForRetained(name + "/status", "online"));
    QVERIFY(publish(name + u'/' + topic, "ON"));
    if (!logged.isEmpty())
        QVERIFY(waitForLog(logged));
    QVERIFY(publish(name + "/1/relay/8/set", "ON"));
    const QByteArray expected = expectedLine + relayBurst(1, 'S', 8);
    QCOMPARE(lineOf(expected.size()).toHex(' '), expected.toHex(' '));
}

void TestRelayMqttHa::holdsTheLineKeeps()
{
    startBridge();
    QVERIFY(waitForRetained(name + "/status", "online"));
    // Card 2's toggles wait in the queue first, so they take their turns all through the holds.
    constexpr int toggles = 25;
    QVERIFY(client("mosquitto_pub", {"-t", name + "/2/relay/4/set", "-q", "1", "-l"},
                QByteArray("TOGGLE\n").repeated(toggles))
                .exitCode
        == 0);
    for (const int relay : {1, 2, 3})
        QVERIFY(publish(QStringLiteral("%1/1/relay/%2/hold").arg(name).arg(relay), "2000"));
    const QByteArray toggle = relayBurst(2, 'T', 4);
    const QList<TimedPacket> packets = readTimed(
        [&](const QList<TimedPacket> &read) { return burstsOf(read).count(toggle) >= toggles; },
        500ms);
    const QList<QByteArray> bursts = burstsOf(packets);
    QCOMPARE(bursts.size() * 4, packets.size());
    QCOMPARE(bursts.count(toggle), toggles);
    QCOMPARE(bursts.count(relayBurst(1, 'P', 3)), 0);
    QVERIFY(waitForLog("refused card 1 relay 3 held 2000 ms: "));
    QVERIFY(waitForLog("held already"));

    // The card, its clock at each packet's end on the line.
    LineTime now{};
    VirtualCard card(
        1, [&now] { return std::chrono::duration_cast<std::chrono::milliseconds>(now); });
    for (const int relay : {1, 2}) {
        const QByteArray held = relayBurst(1, 'P', relay);
        const qsizetype first = bursts.indexOf(held);
        const qsizetype last = bursts.lastIndexOf(held);
        QVERIFY2(first >= 0 && last > first, qPrintable(QString::number(relay)));
        // The queue had its turns within the hold.
        QVERIFY(bursts.mid(first, last - first).contains(toggle));
        // In the line's order: a round is the two holds and the queue.
        for (qsizetype at = first, next; at < last; at = next) {
            next = bursts.indexOf(held, at + 1);
            QVERIFY2(next - at <= 3,
                qPrintable(
                    QStringLiteral("relay %1: bursts %2 and %3").arg(relay).arg(at).arg(next)));
        }
    }
    for (qsizetype at = 0; at < packets.size(); ++at) {
        now = packets.at(at).at + packetTime;
        card.receive(packets.at(at).bytes);
        for (const int relay : {1, 2}) {
            const QByteArray held = relayBurst(1, 'P', relay);
            const qsizetype burst = at / 4;
            if (burst >= bursts.indexOf(held) && burst <= bursts.lastIndexOf(held)) {
                QVERIFY2(card.relays().at(relay - 1),
                    qPrintable(QStringLiteral("relay %1 let go at packet %2").arg(relay).arg(at)));
            }
        }
    }
    QVERIFY(waitForStates("00000000", "00010000"));
}

QTEST_GUILESS_MAIN(TestRelayMqttHa)
#include "tst_relaymqttha.moc"
