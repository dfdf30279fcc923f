#include "RelayMqttTest.h"

#include "DiesWithParent.h"

#include <QFile>
#include <QRegularExpression>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <csignal>

using namespace std::chrono_literals;

const QString RelayMqttTest::name = QStringLiteral("test");

namespace {

// `text` in `file` of `directory`, readable by its owner alone: its path, or none.
QString writePrivate(const QTemporaryDir &directory, const QString &file, const QByteArray &text)
{
    QFile written(directory.filePath(file));
    if (!written.open(QIODevice::WriteOnly) || written.write(text) != text.size()
        || !written.setPermissions(QFile::ReadOwner | QFile::WriteOwner))
        return {};
    return written.fileName();
}

} // namespace

QByteArrayList burstsOf(const QList<TimedPacket> &packets)
{
    QByteArrayList bursts;
    for (qsizetype at = 0; at + 4 <= packets.size(); at += 4) {
        bursts << packets.at(at).bytes + packets.at(at + 1).bytes + packets.at(at + 2).bytes
                + packets.at(at + 3).bytes;
    }
    return bursts;
}

std::optional<LineTime> firstGap(const QList<TimedPacket> &packets, quint8 card, int relay)
{
    const auto holds = [&](const TimedPacket &packet) {
        return packet.bytes.size() == 5 && quint8(packet.bytes.at(1)) == card
            && packet.bytes.at(2) == 'P' && packet.bytes.at(3) == char('0' + relay);
    };
    const auto first = std::find_if(packets.begin(), packets.end(), holds);
    const auto last = std::find_if(packets.rbegin(), packets.rend(), holds);
    if (first == packets.end())
        return LineTime{};
    LineTime now{};
    VirtualCard listener(
        card, [&now] { return std::chrono::duration_cast<std::chrono::milliseconds>(now); });
    for (auto packet = packets.begin(); packet != last.base(); ++packet) {
        // Still held the moment the packet is whole, before it can renew the hold...
        now = packet->at + packetTime;
        listener.update();
        const bool held = listener.relays().at(relay - 1);
        if (packet > first && !held)
            return packet->at - first->at;
        // ...and held once the hold's first packet is in.
        listener.receive(packet->bytes);
        if (packet == first && !listener.relays().at(relay - 1))
            return LineTime{};
    }
    return std::nullopt;
}

QString holdFault(const QList<TimedPacket> &packets, quint8 card, int relay, const QByteArray &held,
    std::chrono::milliseconds length)
{
    const QByteArrayList bursts = burstsOf(packets);
    if (bursts.isEmpty() || bursts.size() * 4 != packets.size()
        || bursts != QByteArrayList(bursts.size(), held))
        return QStringLiteral("not the held relay's bursts alone: %1 packets").arg(packets.size());
    const auto most = qsizetype(std::ceil(LineTime(length) / (4 * packetTime)));
    if (bursts.size() > most)
        return QStringLiteral("%1 bursts, more than the line carries").arg(bursts.size());
    if (const std::optional<LineTime> gap = firstGap(packets, card, relay))
        return QStringLiteral("the card let go %1 ms into the hold").arg(gap->count());
    const LineTime heldFor
        = packets.constLast().at + packetTime + VirtualCard::holdTime - packets.constFirst().at;
    if (heldFor < length)
        return QStringLiteral("held for %1 ms").arg(heldFor.count());
    return {};
}

RelayMqttTest::RelayMqttTest(QString program, QObject *parent)
    : QObject(parent), m_program(std::move(program))
{ }

qsizetype RelayMqttTest::refusalsIn(const QString &log)
{
    static const QRegularExpression counted(R"(relay-mqtt: (\d+) more command\(s\) refused)");
    qsizetype count = log.count(QStringLiteral("relay-mqtt: refused "));
    for (const QRegularExpressionMatch &match : counted.globalMatch(log))
        count += match.captured(1).toInt();
    return count;
}

QStringList RelayMqttTest::loginArguments(
    const QTemporaryDir &directory, const QByteArray &password)
{
    const QString file = writePrivate(directory, "password", password + '\n');
    if (file.isEmpty())
        return {};
    return {"--username", "bridge", "--password-file", file};
}

QStringList RelayMqttTest::webLoginArguments(
    const QTemporaryDir &directory, const QByteArray &password, const QByteArray &token)
{
    QStringList arguments{
        "--http-password-file", writePrivate(directory, "web-password", password + '\n')};
    if (!token.isEmpty())
        arguments << "--http-token-file" << writePrivate(directory, "web-token", token + '\n');
    return arguments.contains(QString()) ? QStringList() : arguments;
}

QStringList RelayMqttTest::configArguments(const QTemporaryDir &directory, const QByteArray &text)
{
    return {"--config", writePrivate(directory, "relay-mqtt.conf", text)};
}

void RelayMqttTest::initTestCaseBase()
{
    QVERIFY(QFile::exists(m_program));
    if (!MosquittoBroker::available())
        QSKIP("needs mosquitto, mosquitto_pub and mosquitto_sub");
}

void RelayMqttTest::initBase()
{
    m_brokerOptions = {};
    m_withBroker = true;
    m_pageUrl.clear();
    m_device.clear();
    m_launcher.clear();
    m_environment.clear();
    m_log.clear();
    m_cards.clear();
    m_cards.try_emplace(1, 1);
    m_cards.try_emplace(2, 2);
    m_pty = std::make_unique<PseudoTerminal>();
    QVERIFY(m_pty->isValid());
    // The line's local socket goes in a folder of the test's own, never the system's.
    m_runtime = std::make_unique<QTemporaryDir>();
    QVERIFY(m_runtime->isValid());
}

QString RelayMqttTest::runtimeFolder() const
{
    return m_runtime->path() + QStringLiteral("/relay-mqtt");
}

void RelayMqttTest::cleanupBase()
{
    if (m_bridge) {
        m_bridge->kill();
        m_bridge->waitForFinished();
    }
    m_bridge.reset();
    m_broker.reset();
    m_pty.reset();
}

QStringList RelayMqttTest::bridgeArguments() const
{
    // Always a pseudo-terminal: never a port by number.
    return {"--device", m_device.isEmpty() ? m_pty->name() : m_device, "--card", "1", "--card", "2",
        "--broker", brokerAddress(), "--name", name};
}

QString RelayMqttTest::brokerAddress() const
{
    return QStringLiteral("%1:%2").arg(MosquittoBroker::address).arg(m_broker->port());
}

bool RelayMqttTest::startBroker()
{
    if (m_broker)
        return true;
    m_broker = std::make_unique<MosquittoBroker>(m_brokerOptions);
    if (m_broker->start())
        return true;
    qWarning() << "the broker did not start:" << m_broker->errorString();
    return false;
}

void RelayMqttTest::startBridge(const QStringList &extra, const QStringList &replace)
{
    if (m_withBroker)
        QVERIFY(startBroker());
    m_bridge = std::make_unique<QProcess>();
    dieWithParent(*m_bridge);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("RUNTIME_DIRECTORY"), runtimeFolder());
    // systemd's, if the tests run under it, is never the bridge's.
    for (const char *key : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"})
        environment.remove(QString::fromLatin1(key));
    for (const auto &[key, value] : m_environment)
        environment.insert(key, value);
    m_bridge->setProcessEnvironment(environment);
    connect(m_bridge.get(), &QProcess::readyReadStandardError, this,
        [this] { m_log += QString::fromLocal8Bit(m_bridge->readAllStandardError()); });
    const QStringList arguments = (replace.isEmpty() ? bridgeArguments() : replace) + extra;
    if (m_launcher.isEmpty())
        m_bridge->start(m_program, arguments);
    else
        m_bridge->start(
            m_launcher.constFirst(), m_launcher.mid(1) + QStringList(m_program) + arguments);
    QVERIFY(m_bridge->waitForStarted());
}

QStringList RelayMqttTest::clientArguments() const
{
    QStringList arguments = m_broker->clientArguments();
    if (!m_brokerOptions.username.isEmpty())
        arguments << "-u" << m_brokerOptions.username << "-P" << m_brokerOptions.password;
    return arguments;
}

ProcessOutcome RelayMqttTest::client(
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

bool RelayMqttTest::publish(const QString &topic, const QByteArray &payload, bool retain)
{
    QStringList arguments{"-t", topic, "-q", "1", payload.isEmpty() ? "-n" : "-s"};
    if (retain)
        arguments << "-r";
    return client("mosquitto_pub", arguments, payload).exitCode == 0;
}

bool RelayMqttTest::watch(QProcess &process, const QString &topic, int count)
{
    // mosquitto logs "CLIENT QOS TOPIC" for each subscription.
    const QByteArray subscribed = " watch 1 " + topic.toUtf8() + '\n';
    const qsizetype before = m_broker->log().count(subscribed);
    QStringList arguments = clientArguments() + QStringList{"-i", "watch", "-q", "1", "-t", topic};
    if (count > 0)
        arguments << "-C" << QString::number(count);
    dieWithParent(process);
    process.start("mosquitto_sub", arguments);
    return QTest::qWaitFor(
        [&] { return m_broker->log().count(subscribed) > before; }, int(timeoutMs));
}

std::map<QString, QByteArray> RelayMqttTest::retained(const QString &filter)
{
    // mosquitto_sub --retained-only ends at the first message that is not retained: a marker
    // published once its subscriptions are in follows every retained message they brought.
    const QString marker = QStringLiteral("relaypanel-test/end-of-retained");
    const QByteArray subscribed = " retained 0 " + marker.toUtf8() + '\n';
    const qsizetype before = m_broker->log().count(subscribed);
    QProcess subscriber;
    dieWithParent(subscriber);
    subscriber.start("mosquitto_sub",
        clientArguments()
            + QStringList{"-i", "retained", "-t", filter, "-t", marker, "--retained-only", "-v"});
    if (!QTest::qWaitFor([&] { return m_broker->log().count(subscribed) > before; }, int(timeoutMs))
        || !publish(marker, "end")) {
        subscriber.kill();
        subscriber.waitForFinished();
        qWarning() << "the broker's retained messages under" << filter << "could not be read";
        return {};
    }
    const ProcessOutcome outcome = finish(subscriber, eventTimeout);
    std::map<QString, QByteArray> messages;
    for (const QByteArray &row : outcome.output.split('\n')) {
        const qsizetype space = row.indexOf(' ');
        if (space > 0)
            messages[QString::fromUtf8(row.left(space))] = row.mid(space + 1);
    }
    return messages;
}

bool RelayMqttTest::waitForRetained(const QString &topic, const QByteArray &payload)
{
    // Each look asks the broker afresh, and lets the bridge's log in meanwhile.
    if (QTest::qWaitFor(
            [&] {
                const auto messages = retained(topic);
                return messages.contains(topic) && messages.at(topic) == payload;
            },
            int(timeoutMs)))
        return true;
    qWarning() << "no" << payload << "on" << topic << "; the bridge logged:" << m_log;
    return false;
}

bool RelayMqttTest::waitForStates(const QString &card1, const QString &card2)
{
    std::map<QString, QByteArray> expected;
    for (const auto &[card, relays] : {std::pair{1, card1}, std::pair{2, card2}}) {
        for (int relay = 1; relay <= 8; ++relay) {
            expected[QStringLiteral("%1/%2/relay/%3/state").arg(name).arg(card).arg(relay)]
                = relays.at(relay - 1) == u'1' ? "ON" : "OFF";
        }
    }
    std::map<QString, QByteArray> found;
    if (QTest::qWaitFor([&] { return (found = retained(name + "/+/relay/+/state")) == expected; },
            int(timeoutMs)))
        return true;
    for (const auto &[topic, payload] : found)
        qWarning() << topic << payload << "expected" << expected[topic];
    return false;
}

bool RelayMqttTest::waitForLog(const QString &text, int times)
{
    if (QTest::qWaitFor([&] { return m_log.count(text) >= times; }, int(timeoutMs)))
        return true;
    qWarning() << "not logged" << times << "times:" << text << "; the bridge logged:" << m_log;
    return false;
}

QByteArray RelayMqttTest::lineOf(qsizetype count)
{
    QByteArray bytes = m_pty->read(count, eventTimeout);
    bytes += m_pty->readAll(300ms);
    for (qsizetype at = 0; at + 5 <= bytes.size(); at += 5) {
        for (auto &[address, card] : m_cards)
            card.receive(QByteArrayView(bytes).sliced(at, 5));
    }
    return bytes;
}

QList<TimedPacket> RelayMqttTest::readTimed(
    const std::function<bool(const QList<TimedPacket> &)> &enough, std::chrono::milliseconds quiet)
{
    QList<TimedPacket> packets;
    QByteArray pending;
    LineTime lineFree{};
    for (bool done = false; !(done = enough(packets)) || quiet > 0ms;) {
        const QByteArray chunk = m_pty->read(1, done ? quiet : eventTimeout);
        if (chunk.isEmpty())
            break;
        const LineTime arrived = std::chrono::steady_clock::now().time_since_epoch();
        const qsizetype found = (pending.size() + chunk.size()) / 5;
        // The last whole burst among the packets found starts as they are read.
        const qsizetype newest = found > 0 ? (found - 1) / 4 * 4 : 0;
        pending += chunk;
        for (qsizetype at = 0; at < found; ++at, pending.remove(0, 5)) {
            packets << TimedPacket{
                pending.first(5), std::max(lineFree, arrived + double(at - newest) * packetTime)};
            lineFree = packets.constLast().at + packetTime;
        }
    }
    return packets;
}

QList<TimedPacket> RelayMqttTest::drainTimed()
{
    // What was written is in the pseudo-terminal already: the first look that finds nothing
    // ends it.
    return readTimed([](const QList<TimedPacket> &) { return true; }, 1ms);
}

void RelayMqttTest::startWeb(bool withBroker, const QStringList &extra)
{
    m_withBroker = withBroker;
    if (withBroker)
        QVERIFY(startBroker());
    const QStringList web{"--http", "127.0.0.1:0"};
    startBridge(extra,
        withBroker
            ? bridgeArguments() + web
            : QStringList{"--device", m_pty->name(), "--card", "1", "--card", "2", "--no-broker"}
                + web);
    // "web page at SCHEME://HOST:PORT/": the test reaches it on 127.0.0.1 whatever it listens
    // on.
    const QString said = QStringLiteral("web page at ");
    QVERIFY(waitForLog(said));
    const qsizetype start = m_log.indexOf(said) + said.size();
    const qsizetype slash = m_log.indexOf(u'/', m_log.indexOf(QStringLiteral("://"), start) + 3);
    const qsizetype colon = m_log.lastIndexOf(u':', slash);
    m_pageUrl = m_log.mid(start, m_log.indexOf(u':', start) - start)
        + QStringLiteral("://127.0.0.1") + m_log.mid(colon, slash - colon);
}

ProcessOutcome RelayMqttTest::stopBridge(int signal)
{
    ::kill(static_cast<pid_t>(m_bridge->processId()), signal);
    ProcessOutcome outcome = finish(*m_bridge, eventTimeout);
    m_log += outcome.errors;
    return outcome;
}
