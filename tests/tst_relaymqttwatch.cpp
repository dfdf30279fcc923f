// What relay-mqtt tells those who watch it, from the built program on a pseudo-terminal:
// systemd's notifications on a datagram socket of the test's own, the health check's two
// answers, and its Prometheus metrics moving with a command, a refusal and a lost port.

#include "support/RelayMqttTest.h"
#include "support/WebClient.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr auto messageTimeout = 10s;

// A datagram socket bound in a folder of the test's own, as systemd's NOTIFY_SOCKET is.
class NotifySocket
{
public:
    explicit NotifySocket(const QString &path)
        : m_fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray name = QFile::encodeName(path);
        if (m_fd < 0 || std::size_t(name.size()) >= sizeof address.sun_path)
            return;
        std::copy(name.begin(), name.end(), address.sun_path);
        // Each message stamped by the kernel as it arrives, however late the test reads it.
        const int on = 1;
        m_bound = ::bind(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0
            && ::setsockopt(m_fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) == 0;
    }
    ~NotifySocket()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    NotifySocket(const NotifySocket &) = delete;
    NotifySocket &operator=(const NotifySocket &) = delete;

    bool isBound() const { return m_bound; }

    // The next message, and when it arrived (the kernel's real-time clock); none within
    // `timeout`.
    std::optional<std::pair<QByteArray, std::chrono::nanoseconds>> next(
        std::chrono::milliseconds timeout)
    {
        pollfd ready{m_fd, POLLIN, 0};
        if (::poll(&ready, 1, int(timeout.count())) != 1)
            return std::nullopt;
        char buffer[4096];
        iovec data{buffer, sizeof buffer};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
        msghdr message{};
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t size = ::recvmsg(m_fd, &message, 0);
        if (size < 0)
            return std::nullopt;
        std::chrono::nanoseconds arrived{};
        for (cmsghdr *header = CMSG_FIRSTHDR(&message); header;
             header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_TIMESTAMPNS) {
                timespec stamp{};
                std::memcpy(&stamp, CMSG_DATA(header), sizeof stamp);
                arrived
                    = std::chrono::seconds(stamp.tv_sec) + std::chrono::nanoseconds(stamp.tv_nsec);
            }
        }
        return std::pair{QByteArray(buffer, size), arrived};
    }

    // Whether a message from the `from`th in `seen` on has `line` as one of its lines, reading
    // more into `seen` until one has.
    bool waitFor(const QByteArray &line, QByteArrayList *seen, qsizetype from)
    {
        for (qsizetype at = from; at < seen->size(); ++at) {
            if (seen->at(at).split('\n').contains(line))
                return true;
        }
        const auto deadline = std::chrono::steady_clock::now() + messageTimeout;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto message = next(messageTimeout / 100);
            QCoreApplication::processEvents(); // the bridge's log, for a failure to tell
            if (!message)
                continue;
            *seen << message->first;
            if (message->first.split('\n').contains(line))
                return true;
        }
        return false;
    }

private:
    int m_fd;
    bool m_bound = false;
};

// One sample of Prometheus' text format: NAME{LABEL="VALUE",...} NUMBER.
const QRegularExpression sampleLine(QStringLiteral(
    "^([a-zA-Z_:][a-zA-Z0-9_:]*)(\\{(?:[a-zA-Z_][a-zA-Z0-9_]*=\"(?:[^\"\\\\\\n]|\\\\.)*\",?)*\\})? "
    "(-?[0-9]+(?:\\.[0-9]+)?(?:e[+-]?[0-9]+)?)$"));

// The samples of a scrape, "name{labels}" to value, if it parses as Prometheus' text format:
// each metric's HELP and TYPE before its samples, counters named ..._total.
std::optional<std::map<QString, double>> parseMetrics(const QByteArray &text, QString *problem)
{
    std::map<QString, double> samples;
    std::map<QString, QString> types;
    QString helped;
    for (const QByteArray &row : text.split('\n')) {
        const QString line = QString::fromUtf8(row);
        if (line.isEmpty())
            continue;
        if (line.startsWith(u"# HELP ")) {
            helped = line.section(u' ', 2, 2);
            continue;
        }
        if (line.startsWith(u"# TYPE ")) {
            const QString name = line.section(u' ', 2, 2);
            const QString type = line.section(u' ', 3);
            if (name != helped || (type != u"counter" && type != u"gauge")
                || (type == u"counter") != name.endsWith(u"_total")) {
                *problem = line;
                return std::nullopt;
            }
            types[name] = type;
            continue;
        }
        const QRegularExpressionMatch match = sampleLine.match(line);
        if (!match.hasMatch() || !types.contains(match.captured(1))) {
            *problem = line;
            return std::nullopt;
        }
        if (!samples
                 .try_emplace(match.captured(1) + match.captured(2), match.captured(3).toDouble())
                 .second) {
            *problem = QStringLiteral("twice: ") + line;
            return std::nullopt;
        }
    }
    return samples;
}

} // namespace

class TestRelayMqttWatch : public RelayMqttTest
{
    Q_OBJECT

public:
    TestRelayMqttWatch() : RelayMqttTest(QStringLiteral(RELAY_MQTT)) { }

private slots:
    void initTestCase() { initTestCaseBase(); }
    void init() { initBase(); }
    void cleanup() { cleanupBase(); }

    void notifiesSystemd();
    void healthCheck();
    void metricsMove();

private:
    std::map<QString, double> scrape(const WebClient::Headers &headers = {});
};

void TestRelayMqttWatch::notifiesSystemd()
{
    QTemporaryDir directory;
    NotifySocket systemd(directory.filePath("notify"));
    QVERIFY(systemd.isBound());
    // The port by a name of the test's own, which the second pseudo-terminal takes over once
    // the first one is gone: the port comes back.
    const QString device = directory.filePath("ttyRelay");
    QVERIFY(QFile::link(m_pty->name(), device));
    m_device = device;
    constexpr auto watchdogTime = 2000ms;
    m_environment = {{"NOTIFY_SOCKET", directory.filePath("notify")},
        {"WATCHDOG_USEC", QString::number(std::chrono::microseconds(watchdogTime).count())}};
    startBridge({},
        {"--device", device, "--card", "1", "--card", "2", "--no-broker", "--http", "127.0.0.1:0"});

    QByteArrayList seen;
    const QByteArray online = "STATUS=online: 2 cards, no broker, 0 pages open";
    QVERIFY2(systemd.waitFor("READY=1", &seen, 0), qPrintable(m_log));
    // Ready as soon as all was tried, with the status in the same message or soon after.
    QVERIFY2(systemd.waitFor(online, &seen, seen.size() - 1), seen.join(" | ").constData());
    m_pty->hangUp();
    QVERIFY2(systemd.waitFor("STATUS=port lost: " + device.toUtf8(), &seen, seen.size()),
        seen.join(" | ").constData());
    PseudoTerminal second;
    QVERIFY(QFile::remove(device) && QFile::link(second.name(), device));
    QVERIFY2(systemd.waitFor(online, &seen, seen.size()), seen.join(" | ").constData());

    // WATCHDOG=1 at half the time systemd allows, never letting it run out, nor much sooner.
    std::vector<std::chrono::nanoseconds> pings;
    while (pings.size() < 4) {
        const auto message = systemd.next(2 * watchdogTime);
        QVERIFY2(message, "no WATCHDOG=1 within twice the watchdog's time");
        if (message->first == "WATCHDOG=1")
            pings.push_back(message->second);
    }
    for (std::size_t i = 1; i < pings.size(); ++i) {
        const auto interval = pings.at(i) - pings.at(i - 1);
        QVERIFY2(interval >= watchdogTime / 4 && interval < watchdogTime,
            qPrintable(QString::number(
                std::chrono::duration_cast<std::chrono::milliseconds>(interval).count())));
    }

    QCOMPARE(stopBridge(SIGTERM).exitCode, 0);
    QVERIFY(systemd.waitFor("STOPPING=1", &seen, seen.size()));
}

void TestRelayMqttWatch::healthCheck()
{
    startWeb(false);
    WebClient client(m_pageUrl);
    WebClient::Answer answer = client.get("/api/health");
    QCOMPARE(answer.status, 200);
    QJsonObject body = QJsonDocument::fromJson(answer.body).object();
    QCOMPARE(body.value("port").toString(), QString("up"));
    QCOMPARE(body.value("broker").toString(), QString("none"));

    m_pty->hangUp();
    QVERIFY(waitForLog("was lost"));
    answer = client.get("/api/health");
    QCOMPARE(answer.status, 503);
    body = QJsonDocument::fromJson(answer.body).object();
    QCOMPARE(body.value("port").toString(), QString("down"));
    QVERIFY2(body.value("reason").toString().startsWith("port lost: "), answer.body.constData());
}

std::map<QString, double> TestRelayMqttWatch::scrape(const WebClient::Headers &headers)
{
    const WebClient::Answer answer = WebClient(m_pageUrl).get("/metrics", headers);
    if (answer.status != 200
        || !answer.header("Content-Type").startsWith("text/plain; version=0.0.4")) {
        qWarning() << "scrape answered" << answer.status << answer.body;
        return {};
    }
    QString problem;
    const std::optional<std::map<QString, double>> samples = parseMetrics(answer.body, &problem);
    if (!samples)
        qWarning() << "not Prometheus' text format:" << problem;
    return samples.value_or(std::map<QString, double>{});
}

void TestRelayMqttWatch::metricsMove()
{
    // With a password, so a login counts, and a token, which a scraper sends as a bearer.
    QTemporaryDir directory;
    startWeb(true, webLoginArguments(directory, "sesame", "scraper"));
    QVERIFY(waitForRetained(name + "/status", "online"));
    const WebClient::Headers bearer{{"Authorization", "Bearer scraper"}};
    QCOMPARE(WebClient(m_pageUrl).get("/metrics").status, 401);
    const std::map<QString, double> before = scrape(bearer);
    QVERIFY(!before.empty());
    QCOMPARE(before.at("relay_mqtt_port_up"), 1.0);
    QVERIFY(before.at("process_start_time_seconds") > 1.7e9);
    QCOMPARE(before.at("relay_mqtt_broker_connected"), 1.0);

    const auto moved = [&](const std::map<QString, double> &after, const QString &sample) {
        return after.at(sample) - before.at(sample);
    };
    WebClient client(m_pageUrl);
    QCOMPARE(client.get("/metrics", {{"Authorization", "Bearer wrong"}}).status, 401);
    QCOMPARE(client.post("/api/cards/1/relays/2", R"({"state":"ON"})", bearer).status, 202);
    QCOMPARE(lineOf(20), burstOf({13, 1, 'S', '2', 109}));
    QCOMPARE(client.post("/api/cards/1/relays/2", R"({"state":"MAYBE"})", bearer).status, 400);
    QVERIFY(publish(name + "/2/relay/3/set", "ON"));
    QCOMPARE(lineOf(20), burstOf({13, 2, 'S', '3', 107}));
    std::map<QString, double> after = scrape(bearer);
    QVERIFY(!after.empty());
    QCOMPARE(moved(after, R"(relay_mqtt_bursts_written_total{card="1"})"), 1.0);
    QCOMPARE(moved(after, R"(relay_mqtt_bursts_written_total{card="2"})"), 1.0);
    QCOMPARE(moved(after, R"(relay_mqtt_commands_taken_total{front_end="web"})"), 1.0);
    QCOMPARE(moved(after, R"(relay_mqtt_commands_taken_total{front_end="mqtt"})"), 1.0);
    QCOMPARE(
        moved(after, R"(relay_mqtt_commands_refused_total{front_end="web",cause="bad_input"})"),
        1.0);
    // The wrong token was a failed login.
    QCOMPARE(moved(after, "relay_mqtt_failed_logins_total"), 1.0);

    m_pty->hangUp();
    QVERIFY(waitForLog("was lost"));
    QCOMPARE(client.post("/api/cards/2/show", "", bearer).status, 503);
    after = scrape(bearer);
    QVERIFY(!after.empty());
    QCOMPARE(after.at("relay_mqtt_port_up"), 0.0);
    QCOMPARE(
        moved(after, R"(relay_mqtt_commands_refused_total{front_end="web",cause="port_closed"})"),
        1.0);
}

QTEST_GUILESS_MAIN(TestRelayMqttWatch)
#include "tst_relaymqttwatch.moc"
