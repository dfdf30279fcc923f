// relay-mqtt, the built program, between a real mosquitto of the test's own on 127.0.0.1 and a
// pseudo-terminal standing in for the serial port: what the cards would do with what reaches
// the line (a VirtualCard per address), and what the broker holds.

#include "card/VirtualCard.h"
#include "support/Bytes.h"
#include "support/DiesWithParent.h"
#include "support/MosquittoBroker.h"
#include "support/ProcessOutcome.h"
#include "support/PseudoTerminal.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <map>

using namespace std::chrono_literals;

namespace {

constexpr auto eventTimeout = 10s; // generous: the waits end as soon as the event is seen
constexpr qint64 timeoutMs = 10000;
const QString name = QStringLiteral("test");

// A card's packet as the line carries it, four times: the bytes sum to a multiple of 256.
QByteArray burst(quint8 card, char instruction, char parameter)
{
    const int sum = 13 + card + instruction + parameter;
    return bytes({13, card, instruction, parameter, (256 - sum % 256) % 256}).repeated(4);
}

QByteArray relayBurst(quint8 card, char instruction, int relay)
{
    return burst(card, instruction, char('0' + relay));
}

QString relaysText(const VirtualCard::Relays &relays)
{
    QString text;
    for (const bool on : relays)
        text += on ? u'1' : u'0';
    return text;
}

// The bridge's options to log in as "bridge" with `password`, from a file in `directory`; none
// if the file cannot be written.
QStringList loginArguments(const QTemporaryDir &directory, const QByteArray &password)
{
    QFile file(directory.filePath("password"));
    if (!file.open(QIODevice::WriteOnly) || file.write(password + '\n') != password.size() + 1)
        return {};
    return {"--username", "bridge", "--password-file", file.fileName()};
}

// A command for the table: a topic under NAME and its payload.
using Message = std::pair<QString, QByteArray>;

} // namespace

class TestRelayMqtt : public QObject
{
    Q_OBJECT

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
    void wrongPassword();
    void tls();
    void portMissingLostAndBack();

private:
    void startBridge(const QStringList &extra = {});
    QStringList clientArguments() const;
    ProcessOutcome client(
        const QString &tool, const QStringList &arguments, const QByteArray &input = QByteArray());
    bool publish(const QString &topic, const QByteArray &payload, bool retain = false);
    // Retained messages under `filter`, topic to payload, once `count` are in or after 2 s.
    std::map<QString, QByteArray> retained(const QString &filter, int count);
    bool waitForRetained(const QString &topic, const QByteArray &payload);
    bool waitForStates(const QString &card1, const QString &card2);
    bool waitForLog(const QString &text);
    // At least `count` bytes off the line, and more until it goes quiet, given to the cards too.
    QByteArray lineOf(qsizetype count);

    std::unique_ptr<MosquittoBroker> m_broker;
    MosquittoBroker::Options m_brokerOptions;
    std::unique_ptr<PseudoTerminal> m_pty;
    QString m_device; // the bridge's --device, when it is not the pseudo-terminal itself
    std::unique_ptr<QProcess> m_bridge;
    QString m_log;
    std::map<quint8, VirtualCard> m_cards;
};

void TestRelayMqtt::initTestCase()
{
    QVERIFY(QFile::exists(RELAY_MQTT));
    if (!MosquittoBroker::available())
        QSKIP("needs mosquitto, mosquitto_pub and mosquitto_sub");
}

void TestRelayMqtt::init()
{
    m_brokerOptions = {};
    m_device.clear();
    m_log.clear();
    m_cards.clear();
    m_cards.try_emplace(1, 1);
    m_cards.try_emplace(2, 2);
    m_pty = std::make_unique<PseudoTerminal>();
    QVERIFY(m_pty->isValid());
}

void TestRelayMqtt::cleanup()
{
    if (m_bridge) {
        m_bridge->kill();
        m_bridge->waitForFinished();
    }
    m_bridge.reset();
    m_broker.reset();
    m_pty.reset();
}

void TestRelayMqtt::startBridge(const QStringList &extra)
{
    if (!m_broker) {
        m_broker = std::make_unique<MosquittoBroker>(m_brokerOptions);
        QVERIFY2(m_broker->setUpError().isEmpty(), qPrintable(m_broker->setUpError()));
        QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));
    }
    m_bridge = std::make_unique<QProcess>();
    dieWithParent(*m_bridge);
    connect(m_bridge.get(), &QProcess::readyReadStandardError, this,
        [this] { m_log += QString::fromLocal8Bit(m_bridge->readAllStandardError()); });
    // Always a pseudo-terminal: never a port by number.
    m_bridge->start(RELAY_MQTT,
        QStringList{"--device", m_device.isEmpty() ? m_pty->name() : m_device, "--card", "1",
            "--card", "2", "--broker",
            QStringLiteral("%1:%2").arg(MosquittoBroker::address).arg(m_broker->port()), "--name",
            name}
            + extra);
    QVERIFY(m_bridge->waitForStarted());
}

QStringList TestRelayMqtt::clientArguments() const
{
    QStringList arguments = m_broker->clientArguments();
    if (!m_brokerOptions.username.isEmpty())
        arguments << "-u" << m_brokerOptions.username << "-P" << m_brokerOptions.password;
    return arguments;
}

ProcessOutcome TestRelayMqtt::client(
    const QString &tool, const QStringList &arguments, const QByteArray &input)
{
    QProcess process;
    process.start(tool, clientArguments() + arguments);
    if (!input.isNull()) {
        process.write(input);
        process.closeWriteChannel();
    }
    return finish(process, 20s);
}

bool TestRelayMqtt::publish(const QString &topic, const QByteArray &payload, bool retain)
{
    QStringList arguments{"-t", topic, "-q", "1", payload.isEmpty() ? "-n" : "-s"};
    if (retain)
        arguments << "-r";
    return client("mosquitto_pub", arguments, payload).exitCode == 0;
}

std::map<QString, QByteArray> TestRelayMqtt::retained(const QString &filter, int count)
{
    const ProcessOutcome outcome = client("mosquitto_sub",
        {"-t", filter, "--retained-only", "-v", "-C", QString::number(count), "-W", "2"});
    std::map<QString, QByteArray> messages;
    for (const QByteArray &row : outcome.output.split('\n')) {
        const qsizetype space = row.indexOf(' ');
        if (space > 0)
            messages[QString::fromUtf8(row.left(space))] = row.mid(space + 1);
    }
    return messages;
}

bool TestRelayMqtt::waitForRetained(const QString &topic, const QByteArray &payload)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        const auto messages = retained(topic, 1);
        if (messages.contains(topic) && messages.at(topic) == payload)
            return true;
        QTest::qWait(50);
    }
    qWarning() << "no" << payload << "on" << topic << "; the bridge logged:" << m_log;
    return false;
}

bool TestRelayMqtt::waitForStates(const QString &card1, const QString &card2)
{
    QElapsedTimer clock;
    clock.start();
    std::map<QString, QByteArray> expected;
    for (const auto &[card, relays] : {std::pair{1, card1}, std::pair{2, card2}}) {
        for (int relay = 1; relay <= 8; ++relay) {
            expected[QStringLiteral("%1/%2/relay/%3/state").arg(name).arg(card).arg(relay)]
                = relays.at(relay - 1) == u'1' ? "ON" : "OFF";
        }
    }
    std::map<QString, QByteArray> found;
    while (clock.elapsed() < timeoutMs) {
        found = retained(name + "/+/relay/+/state", 16);
        if (found == expected)
            return true;
        QTest::qWait(50);
    }
    for (const auto &[topic, payload] : found)
        qWarning() << topic << payload << "expected" << expected[topic];
    return false;
}

bool TestRelayMqtt::waitForLog(const QString &text)
{
    QElapsedTimer clock;
    clock.start();
    while (!m_log.contains(text) && clock.elapsed() < timeoutMs)
        QTest::qWait(20);
    if (!m_log.contains(text))
        qWarning() << "not logged:" << text << "; the bridge logged:" << m_log;
    return m_log.contains(text);
}

QByteArray TestRelayMqtt::lineOf(qsizetype count)
{
    QByteArray bytes = m_pty->read(count, eventTimeout);
    bytes += m_pty->readAll(300ms);
    for (qsizetype at = 0; at + 5 <= bytes.size(); at += 5) {
        for (auto &[address, card] : m_cards)
            card.receive(QByteArrayView(bytes).sliced(at, 5));
    }
    return bytes;
}

void TestRelayMqtt::startsOnlineWithDiscovery()
{
    startBridge();
    QVERIFY(waitForRetained(name + "/status", "online"));
    QVERIFY(waitForStates("00000000", "00000000"));
    // 8 switches and 2 buttons per card.
    const auto configs = retained("homeassistant/#", 20);
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
        if (topic.startsWith("homeassistant/switch/"))
            QVERIFY2(config.value("optimistic").toBool(), qPrintable(topic));
    }
    QCOMPARE(m_pty->readAll(300ms), QByteArray());
}

void TestRelayMqtt::commands_data()
{
    QTest::addColumn<QList<Message>>("messages");
    QTest::addColumn<QByteArray>("expectedLine");
    QTest::addColumn<QString>("card1");
    QTest::addColumn<QString>("card2");

    QTest::newRow("set ON") << QList<Message>{{"1/relay/3/set", "ON"}} << relayBurst(1, 'S', 3)
                            << "00100000"
                            << "00000000";
    QTest::newRow("set with blanks and case")
        << QList<Message>{{"2/relay/8/set", " on \n"}, {"2/relay/1/set", "oN"}}
        << relayBurst(2, 'S', 8) + relayBurst(2, 'S', 1) << "00000000"
        << "10000001";
    QTest::newRow("1 then 0 then Off") << QList<Message>{{"1/relay/2/set", "1"},
        {"1/relay/5/set", "1"}, {"1/relay/2/set", "0"}, {"1/relay/5/set", "Off"}}
                                       << relayBurst(1, 'S', 2) + relayBurst(1, 'S', 5)
            + relayBurst(1, 'C', 2) + relayBurst(1, 'C', 5)
                                       << "00000000"
                                       << "00000000";
    QTest::newRow("TOGGLE") << QList<Message>{{"1/relay/4/set", "TOGGLE"},
        {"1/relay/4/set", "toggle"}, {"1/relay/6/set", " Toggle"}}
                            << relayBurst(1, 'T', 4) + relayBurst(1, 'T', 4) + relayBurst(1, 'T', 6)
                            << "00000100"
                            << "00000000";
    QTest::newRow("all on, one off")
        << QList<Message>{{"2/all/set", "ON"}, {"2/relay/7/set", "OFF"}}
        << burst(2, 'S', '9') + relayBurst(2, 'C', 7) << "00000000"
        << "11111101";
    QTest::newRow("all off") << QList<Message>{{"1/relay/1/set", "ON"}, {"1/all/set", "off"}}
                             << relayBurst(1, 'S', 1) + burst(1, 'C', '9') << "00000000"
                             << "00000000";
    QTest::newRow("stop") << QList<Message>{{"1/relay/1/set", "ON"}, {"2/relay/1/set", "ON"},
        {"1/stop", ""}} << relayBurst(1, 'S', 1) + relayBurst(2, 'S', 1) + burst(1, 'E', '1')
                          << "00000000"
                          << "10000000";
    QTest::newRow("show") << QList<Message>{{"1/relay/8/set", "ON"}, {"1/show", "whatever"}}
                          << relayBurst(1, 'S', 8) + burst(1, 'D', '1') << "00000001"
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
    for (const auto &[topic, payload] : messages)
        QVERIFY(publish(name + u'/' + topic, payload));
    QCOMPARE(lineOf(expectedLine.size()).toHex(' '), expectedLine.toHex(' '));
    QCOMPARE(relaysText(m_cards.at(1).relays()), card1);
    QCOMPARE(relaysText(m_cards.at(2).relays()), card2);
    QVERIFY(waitForStates(card1, card2));
}

void TestRelayMqtt::hold()
{
    startBridge();
    QVERIFY(waitForRetained(name + "/status", "online"));
    QProcess watch;
    watch.start("mosquitto_sub",
        clientArguments() + QStringList{"-t", name + "/1/relay/7/state", "-C", "3"});
    QVERIFY(watch.waitForStarted());
    QVERIFY(publish(name + "/1/relay/7/hold", "250"));
    const QByteArray held = lineOf(20);
    // 250 ms at 83.3 ms a burst.
    QVERIFY2(held.size() >= 60, held.toHex(' ').constData());
    QCOMPARE(held, relayBurst(1, 'P', 7).repeated(held.size() / 20));
    QVERIFY(m_cards.at(1).relays().at(6));
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
    QCOMPARE(lineOf(20).toHex(' '), relayBurst(1, 'S', 6).toHex(' '));
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
    while (!bytes.contains(burst(1, 'E', '1')) || m_cards.at(2).commandCount() < 5) {
        const QByteArray more = lineOf(20);
        QVERIFY2(!more.isEmpty(), bytes.toHex(' ').constData());
        bytes += more;
    }
    QCOMPARE(bytes.size() % 20, 0);
    const qsizetype stopAt = bytes.indexOf(burst(1, 'E', '1'));
    QCOMPARE(stopAt % 20, 0);
    for (qsizetype at = stopAt + 20; at < bytes.size(); at += 20)
        QVERIFY2(bytes.at(at + 1) != 1, "a command for card 1 after its emergency stop");
    QCOMPARE(relaysText(m_cards.at(1).relays()), QString("00000000"));
    // Card 2's five toggles all arrived, behind the flood or not.
    QCOMPARE(m_cards.at(2).commandCount(), 5);
    QCOMPARE(relaysText(m_cards.at(2).relays()), QString("01000000"));
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
    QVERIFY(bytes.startsWith(relayBurst(1, 'T', 1)));
    QCOMPARE(::kill(static_cast<pid_t>(m_bridge->processId()), SIGTERM), 0);
    const ProcessOutcome outcome = finish(*m_bridge, eventTimeout);
    m_log += outcome.errors;
    QVERIFY2(outcome.exitCode == 0, qPrintable(m_log));
    bytes += m_pty->readAll(300ms);
    // Whole bursts only: the line carried all that was written before DTR dropped.
    QVERIFY2(bytes.size() % 20 == 0, bytes.toHex(' ').constData());
    QCOMPARE(bytes, relayBurst(1, 'T', 1).repeated(bytes.size() / 20));
    QVERIFY(waitForRetained(name + "/status", "offline"));
}

void TestRelayMqtt::terminatedWhileHolding()
{
    startBridge();
    QVERIFY(waitForRetained(name + "/status", "online"));
    QVERIFY(publish(name + "/2/relay/3/hold", "3600000"));
    QCOMPARE(m_pty->read(20, eventTimeout), relayBurst(2, 'P', 3));
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
    QCOMPARE(lineOf(20), relayBurst(1, 'S', 2));
}

void TestRelayMqtt::brokerRestart()
{
    startBridge();
    QVERIFY(waitForRetained(name + "/status", "online"));
    QVERIFY(publish(name + "/2/relay/4/set", "ON"));
    QCOMPARE(lineOf(20), relayBurst(2, 'S', 4));
    QVERIFY(waitForStates("00000000", "00010000"));

    m_broker->stop();
    QVERIFY(waitForLog("disconnected from the broker"));
    // Without persistence the broker comes back empty: all it holds, the bridge published again.
    QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));
    QVERIFY(waitForRetained(name + "/status", "online"));
    QVERIFY(waitForStates("00000000", "00010000"));
    QVERIFY(publish(name + "/1/relay/5/set", "ON"));
    QCOMPARE(lineOf(20), relayBurst(1, 'S', 5));
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
    QCOMPARE(lineOf(20), relayBurst(1, 'T', 3));
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
    QCOMPARE(lineOf(20), relayBurst(1, 'S', 2));
}

void TestRelayMqtt::wrongPassword()
{
    m_brokerOptions = {"bridge", "right", false};
    QTemporaryDir directory;
    const QStringList login = loginArguments(directory, "wrong");
    QVERIFY(!login.isEmpty());
    startBridge(login);
    const ProcessOutcome outcome = finish(*m_bridge, eventTimeout);
    m_log += outcome.errors;
    QCOMPARE(outcome.exitCode, 77);
    QVERIFY2(m_log.contains("refused the login of user \"bridge\""), qPrintable(m_log));
    // One attempt: no loop of them.
    QCOMPARE(m_log.count("refused"), 1);
    QCOMPARE(m_pty->readAll(100ms), QByteArray());
}

void TestRelayMqtt::tls()
{
    m_brokerOptions.tls = true;
    m_broker = std::make_unique<MosquittoBroker>(m_brokerOptions);
    QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));
    startBridge({"--cafile", m_broker->caFile()});
    QVERIFY(waitForRetained(name + "/status", "online"));
    QVERIFY(publish(name + "/2/all/set", "ON"));
    QCOMPARE(lineOf(20), burst(2, 'S', '9'));
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
    QCOMPARE(lineOf(20), relayBurst(1, 'S', 1));

    m_pty->hangUp();
    QVERIFY(waitForRetained(name + "/status", "offline"));
    QVERIFY(waitForLog("was lost"));
    QCOMPARE(m_bridge->state(), QProcess::Running);
    m_pty = std::make_unique<PseudoTerminal>();
    QVERIFY(QFile::remove(m_device));
    QVERIFY(QFile::link(m_pty->name(), m_device));
    QVERIFY(waitForRetained(name + "/status", "online"));
    QVERIFY(publish(name + "/2/relay/8/set", "ON"));
    QCOMPARE(lineOf(20), relayBurst(2, 'S', 8));
    QVERIFY(waitForStates("10000000", "00000001"));
}

QTEST_GUILESS_MAIN(TestRelayMqtt)
#include "tst_relaymqtt.moc"
