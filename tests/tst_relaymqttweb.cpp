// relay-mqtt's JSON API and the pages' WebSocket, from Qt's own clients, against the built
// program on a pseudo-terminal: every error status, the login, the socket's rules, a web hold
// nobody renews, MQTT and the web seeing each other's commands, and a flood with pages open.

#include "support/Bytes.h"
#include "support/HostileClient.h"
#include "support/ProcessStatus.h"
#include "support/RawConnection.h"
#include "support/RelayMqttTest.h"
#include "support/WebClient.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QWebSocket>

#include <deque>

using namespace std::chrono_literals;

namespace {

constexpr LineTime burstTime = 4 * packetTime;
constexpr LineTime holdRenewal = 300ms;
// AddressSanitizer keeps freed memory in quarantine on purpose: built with it, as the program
// under test is then too, the program's memory says nothing of its own.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool memoryIsTheProgramsOwn = false;
#elif defined(__has_feature)
constexpr bool memoryIsTheProgramsOwn = !__has_feature(address_sanitizer);
#else
constexpr bool memoryIsTheProgramsOwn = true;
#endif
// The bursts the new cases look for, as the line carries them.
const QByteArray stopCard1 = burstOf({13, 1, 'E', '1', 124});
const QByteArray showCard2 = burstOf({13, 2, 'D', '1', 124});
const QByteArray relay1OnCard1 = burstOf({13, 1, 'S', '1', 110});

// A page's socket and what it was sent.
struct Page
{
    std::unique_ptr<QWebSocket> socket;
    QList<QJsonObject> messages;
    bool closed = false;
};

} // namespace

class TestRelayMqttWeb : public RelayMqttTest
{
    Q_OBJECT

public:
    TestRelayMqttWeb() : RelayMqttTest(QStringLiteral(RELAY_MQTT)) { }

private slots:
    void initTestCase() { initTestCaseBase(); }
    void init() { initBase(); }
    void cleanup()
    {
        m_pages.clear();
        cleanupBase();
    }

    void requests_data();
    void requests();
    void hostileRequests_data();
    void hostileRequests();
    void attackLeavesTheLineAlone();
    void logoutClosesItsPages();
    void throttleAcrossAddresses();
    void holdsAndLostPort();
    void login();
    void socketRules();
    void https();
    void holdNobodyRenews();
    void brokerAndPagesSeeEachOther();
    void floodWithPagesOpen();

private:
    // A page's socket to `path`, from `origin`, with `cookie`; its messages kept.
    Page &openPage(
        const QString &origin, const QString &path = "/api/live", const QByteArray &cookie = {})
    {
        Page &page = m_pages.emplace_back();
        page.socket = std::make_unique<QWebSocket>(origin);
        QWebSocket *socket = page.socket.get();
        connect(socket, &QWebSocket::textMessageReceived, this, [&page](const QString &text) {
            page.messages << QJsonDocument::fromJson(text.toUtf8()).object();
        });
        connect(socket, &QWebSocket::disconnected, this, [&page] { page.closed = true; });
        QNetworkRequest request(QUrl(QString(m_pageUrl).replace("http", "ws") + path));
        if (!cookie.isEmpty())
            request.setRawHeader("Cookie", cookie);
        socket->setSslConfiguration(m_ssl);
        socket->open(request);
        return page;
    }
    // The last message of `type` the page was sent; an empty one if none.
    static QJsonObject lastOf(const Page &page, const QString &type)
    {
        const auto found = std::find_if(page.messages.crbegin(), page.messages.crend(),
            [&type](const QJsonObject &m) { return m.value("type") == type; });
        return found == page.messages.crend() ? QJsonObject() : *found;
    }
    bool sawMessage(const Page &page, const QString &type, qsizetype count = 1)
    {
        return QTest::qWaitFor(
            [&] {
                return std::count_if(page.messages.begin(), page.messages.end(),
                           [&](const QJsonObject &m) { return m.value("type") == type; })
                    >= count;
            },
            int(timeoutMs));
    }

    // One request on a connection of its own, from `from` (an address of 127.0.0.0/8): the
    // status it was answered with.
    int rawStatus(const QByteArray &request, const QHostAddress &from = QHostAddress::LocalHost)
    {
        RawConnection connection(quint16(QUrl(m_pageUrl).port()), from);
        if (!connection.connected())
            return 0;
        connection.send(request);
        return RawConnection::status(connection.answer());
    }
    QByteArray host() const { return "Host: " + QUrl(m_pageUrl).authority().toLatin1() + "\r\n"; }

    std::deque<Page> m_pages;
    QSslConfiguration m_ssl = QSslConfiguration::defaultConfiguration();
};

void TestRelayMqttWeb::requests_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("header"); // "Name: value", or nothing
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("line"); // the burst a command puts on the line
    const auto row = [](const char *name, const char *path, const QByteArray &body, int status,
                         const QByteArray &line = {}, const QByteArray &header = {}) {
        QTest::newRow(name) << QString(path) << body << header << status << line;
    };
    row("relay on", "/api/cards/1/relays/3", R"({"state":"ON"})", 202,
        burstOf({13, 1, 'S', '3', 108}));
    row("relay toggled", "/api/cards/2/relays/8", R"({"state":"TOGGLE"})", 202,
        burstOf({13, 2, 'T', '8', 101}));
    row("held for a moment", "/api/cards/2/relays/1", R"({"hold_ms":1})", 202,
        burstOf({13, 2, 'P', '1', 112}));
    row("all off", "/api/cards/2/all", R"({"state":"OFF"})", 202, burstOf({13, 2, 'C', '9', 117}));
    row("stop", "/api/cards/1/stop", "", 202, burstOf({13, 1, 'E', '1', 124}));
    row("show", "/api/cards/2/show", "{}", 202, burstOf({13, 2, 'D', '1', 124}));
    row("not JSON", "/api/cards/1/relays/1", "{state: ON}", 400);
    row("no such state", "/api/cards/1/relays/1", R"({"state":"on"})", 400);
    row("all toggled", "/api/cards/1/all", R"({"state":"TOGGLE"})", 400);
    row("state and hold", "/api/cards/1/relays/1", R"({"state":"ON","hold_ms":5})", 400);
    row("hold of no time", "/api/cards/1/relays/1", R"({"hold_ms":0})", 400);
    row("hold of a fraction", "/api/cards/1/relays/1", R"({"hold_ms":1.5})", 400);
    row("hold over an hour", "/api/cards/1/relays/1", R"({"hold_ms":3600001})", 400);
    row("sent as a form", "/api/cards/1/relays/1", R"({"state":"ON"})", 400, {},
        "Content-Type: application/x-www-form-urlencoded");
    row("from another site", "/api/cards/1/relays/1", R"({"state":"ON"})", 403, {},
        "Origin: http://127.0.0.1:1");
    row("from another site, its header in lower case", "/api/cards/1/relays/1", R"({"state":"ON"})",
        403, {}, "origin: http://127.0.0.1:1");
    row("card not bridged", "/api/cards/3/stop", "", 404);
    row("card with a leading zero", "/api/cards/01/stop", "", 404);
    row("relay 9", "/api/cards/1/relays/9", R"({"state":"ON"})", 404);
    row("relay 0", "/api/cards/1/relays/0", R"({"state":"ON"})", 404);
    row("no such command", "/api/cards/1/blink", "{}", 404);
    row("all on, interlocked", "/api/cards/1/all", R"({"state":"ON"})", 409);
    row("body over 4 KiB", "/api/cards/1/relays/1",
        R"({"state":"ON","pad":")" + QByteArray(4100, 'x') + R"("})", 413);
}

void TestRelayMqttWeb::requests()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, header);
    QFETCH(int, status);
    QFETCH(QByteArray, line);
    QTemporaryDir directory;
    startWeb(false, configArguments(directory, "[card.1]\ninterlock = 1 2\n"));
    WebClient client(m_pageUrl);
    WebClient::Headers headers;
    if (!header.isEmpty())
        headers << qMakePair(
            header.split(':').first(), header.mid(header.indexOf(':') + 1).trimmed());
    const WebClient::Answer answer = client.post(path, body, headers);
    QCOMPARE(answer.status, status);
    QVERIFY2(QJsonDocument::fromJson(answer.body).isObject(), answer.body.constData());
    QCOMPARE(answer.header("Content-Type"), QByteArray("application/json"));
    // A refused request leaves the line alone: card 2's show is all that follows.
    const QByteArray marker = burstOf({13, 2, 'D', '1', 124});
    if (line != marker)
        QCOMPARE(client.post("/api/cards/2/show", "{}").status, 202);
    QCOMPARE(lineOf(qsizetype(line.isEmpty() ? 1 : 2) * 20), line + (line == marker ? "" : marker));
}

void TestRelayMqttWeb::holdsAndLostPort()
{
    startWeb(false);
    WebClient client(m_pageUrl);
    // The line keeps two holds at once: the third is refused, whoever asks.
    QCOMPARE(client.post("/api/cards/1/relays/1", R"({"hold_ms":5000})").status, 202);
    QCOMPARE(client.post("/api/cards/1/relays/2", R"({"hold_ms":5000})").status, 202);
    const WebClient::Answer third = client.post("/api/cards/2/relays/3", R"({"hold_ms":5000})");
    QCOMPARE(third.status, 409);
    QVERIFY2(third.body.contains("held already"), third.body.constData());
    QCOMPARE(client.post("/api/cards/1/stop", "").status, 202);

    m_pty->hangUp();
    QVERIFY(waitForLog("was lost"));
    QCOMPARE(client.post("/api/cards/1/relays/1", R"({"state":"ON"})").status, 503);
    const QJsonObject cards = QJsonDocument::fromJson(client.get("/api/cards").body).object();
    QCOMPARE(cards.value("port").toString(), QString("lost"));
    QCOMPARE(cards.value("broker").toString(), QString("none"));
}

void TestRelayMqttWeb::login()
{
    QTemporaryDir directory;
    // Reachable from the network: nothing without a login.
    startWeb(false,
        QStringList{"--http", "0.0.0.0:0"} + webLoginArguments(directory, "sesame", "t0ken"));
    WebClient client(m_pageUrl);
    QCOMPARE(client.get("/api/cards").status, 401);
    QCOMPARE(client.post("/api/cards/1/stop", "").status, 401);
    QCOMPARE(client.get("/api/cards", {{"Authorization", "Bearer t0ken"}}).status, 200);
    QCOMPARE(client.get("/api/cards", {{"Authorization", "Bearer t0ke"}}).status, 401);
    QCOMPARE(client.get("/api/cards", {{"Authorization", "Basic t0ken"}}).status, 401);

    QCOMPARE(client.post("/api/login", R"({"password":"Sesame"})").status, 401);
    const WebClient::Answer in = client.post("/api/login", R"({"password":"sesame"})");
    QCOMPARE(in.status, 204);
    const QByteArray setCookie = in.header("Set-Cookie");
    for (const char *attribute : {"HttpOnly", "SameSite=Strict", "Max-Age=43200", "Path=/"})
        QVERIFY2(setCookie.contains(attribute), setCookie.constData());
    QVERIFY2(!setCookie.contains("Secure"), setCookie.constData());
    const QByteArray cookie = setCookie.split(';').first();
    QCOMPARE(client.get("/api/cards", {{"Cookie", cookie}}).status, 200);
    QCOMPARE(client.post("/api/cards/1/relays/5", R"({"state":"ON"})", {{"Cookie", cookie}}).status,
        202);
    QCOMPARE(lineOf(20), burstOf({13, 1, 'S', '5', 106}));
    QCOMPARE(client.post("/api/logout", "{}", {{"Cookie", cookie}}).status, 204);
    QCOMPARE(client.get("/api/cards", {{"Cookie", cookie}}).status, 401);

    // Failed logins from one address: a few are let through, then it waits.
    int refused = 0;
    WebClient::Answer answer;
    while (refused < 10
        && (answer = client.post("/api/login", R"({"password":"guess"})")).status == 401)
        ++refused;
    QCOMPARE(answer.status, 429);
    QCOMPARE(refused, 4); // three free, the fourth makes it wait
    QCOMPARE(answer.header("Retry-After"), QByteArray("1"));
    QCOMPARE(client.post("/api/login", R"({"password":"sesame"})").status, 429);

    // HEAD answers with headers alone: the next answer on the connection is read as one.
    RawConnection connection(quint16(QUrl(m_pageUrl).port()));
    QVERIFY(connection.connected());
    connection.send(
        "HEAD / HTTP/1.1\r\n" + host() + "\r\nGET /api/cards HTTP/1.1\r\n" + host() + "\r\n");
    QVERIFY(connection.answer().startsWith("HTTP/1.1 200 "));
    QCOMPARE(RawConnection::status(connection.answer()), 401);

    // Secrets stay out of the log; every answer carries the page's protections.
    QVERIFY(!m_log.contains("sesame") && !m_log.contains("guess") && !m_log.contains("t0ken"));
    const WebClient::Answer page = client.get("/");
    QCOMPARE(page.status, 200);
    QVERIFY(page.header("Content-Security-Policy").contains("frame-ancestors 'none'"));
    QVERIFY(!page.header("Content-Security-Policy").contains("unsafe-inline"));
    QCOMPARE(page.header("X-Content-Type-Options"), QByteArray("nosniff"));
    QVERIFY(page.header("Access-Control-Allow-Origin").isNull());
}

void TestRelayMqttWeb::socketRules()
{
    QTemporaryDir directory;
    startWeb(false, webLoginArguments(directory, "sesame"));
    WebClient client(m_pageUrl);
    QCOMPARE(client.get("/api/live").status, 426);
    const QByteArray cookie = client.post("/api/login", R"({"password":"sesame"})")
                                  .header("Set-Cookie")
                                  .split(';')
                                  .first();

    Page &allowed = openPage(m_pageUrl, "/api/live", cookie);
    Page &otherSite = openPage("http://127.0.0.1:1", "/api/live", cookie);
    Page &noLogin = openPage(m_pageUrl);
    Page &otherPath = openPage(m_pageUrl, "/api/cards", cookie);
    QVERIFY(sawMessage(allowed, "cards"));
    QCOMPARE(allowed.messages.constFirst().value("cards").toArray().size(), 2);
    for (Page *refused : {&otherSite, &noLogin, &otherPath}) {
        QVERIFY(QTest::qWaitFor([refused] { return refused->closed; }, int(timeoutMs)));
        QCOMPARE(refused->messages.size(), 0);
    }
    QVERIFY(!allowed.closed);

    // The page's commands over its socket are read as the API reads them.
    allowed.socket->sendTextMessage(R"({"type":"command","path":"3/stop","body":{}})");
    allowed.socket->sendTextMessage(
        R"({"type":"command","path":"1/relays/6","body":{"state":"ON"}})");
    QVERIFY(sawMessage(allowed, "refused"));
    QVERIFY(sawMessage(allowed, "relays"));
    const auto refused = std::find_if(allowed.messages.cbegin(), allowed.messages.cend(),
        [](const QJsonObject &m) { return m.value("type") == "refused"; });
    QCOMPARE(refused->value("status").toInt(), 404);
    QCOMPARE(lineOf(20), burstOf({13, 1, 'S', '6', 105}));
}

void TestRelayMqttWeb::https()
{
    QTemporaryDir directory;
    const QString cert = directory.filePath("web.crt");
    const QString key = directory.filePath("web.key");
    QProcess openssl;
    openssl.start("openssl",
        {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
            "-days", "1", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
            "-keyout", key, "-out", cert});
    QCOMPARE(finish(openssl, eventTimeout).exitCode, 0);
    startWeb(false,
        QStringList{"--http-cert", cert, "--http-key", key, "--http-host", "relays.example.org"}
            + webLoginArguments(directory, "sesame"));
    QVERIFY2(m_pageUrl.startsWith("https://"), qPrintable(m_pageUrl));
    m_ssl.setCaCertificates(QSslCertificate::fromPath(cert));
    WebClient client(m_pageUrl);
    client.setSsl(m_ssl);

    // The session cookie is never sent over plain HTTP; plain HTTP gets no page at all.
    const WebClient::Answer in = client.post("/api/login", R"({"password":"sesame"})");
    QCOMPARE(in.status, 204);
    QVERIFY2(in.header("Set-Cookie").contains("; Secure"), in.header("Set-Cookie").constData());
    // HTTPS for good under the page's own name; never under the machine's, for the sake of
    // its other services.
    QVERIFY(in.header("Strict-Transport-Security").isNull());
    QCOMPARE(client.get("/", {{"Host", "relays.example.org"}}).header("Strict-Transport-Security"),
        QByteArray("max-age=31536000"));
    const QByteArray cookie = in.header("Set-Cookie").split(';').first();
    Page &page = openPage(m_pageUrl, "/api/live", cookie);
    QVERIFY(sawMessage(page, "cards"));
    QCOMPARE(client.post("/api/cards/2/relays/2", R"({"state":"ON"})", {{"Cookie", cookie}}).status,
        202);
    QCOMPARE(lineOf(20), burstOf({13, 2, 'S', '2', 108}));
    QVERIFY(sawMessage(page, "relays"));
    WebClient plain(QString(m_pageUrl).replace("https:", "http:"));
    QCOMPARE(plain.get("/").status, 0);
}

void TestRelayMqttWeb::holdNobodyRenews()
{
    startWeb(false);
    Page &page = openPage(m_pageUrl);
    QVERIFY(sawMessage(page, "cards"));
    const QByteArray held = burstOf({13, 1, 'P', '6', 108});
    const LineTime asked = std::chrono::steady_clock::now().time_since_epoch();
    page.socket->sendTextMessage(R"({"type":"hold","card":1,"relay":6})");
    // Out now: reading the line below keeps the event loop from sending it later.
    QVERIFY(page.socket->flush());
    // The page falls silent, as a phone put to sleep: relay-mqtt lets go by itself. The line
    // is read as it comes, so each burst is timed as it arrives.
    const QList<TimedPacket> packets = readTimed(
        [&](const QList<TimedPacket> &read) { return burstsOf(read).contains(held); }, 600ms);
    QVERIFY(sawMessage(page, "relays", 2)); // on, then let go
    // The page hears why its hold ended, for its button to let go too.
    QVERIFY(sawMessage(page, "holdEnded"));
    QVERIFY(lastOf(page, "holdEnded").value("reason").toString().contains("renewal"));
    const QByteArrayList bursts = burstsOf(packets);
    QVERIFY(!bursts.isEmpty());
    QCOMPARE(bursts.count(held), bursts.size());
    const LineTime last = packets.at(4 * (bursts.size() - 1)).at;
    QVERIFY2(last - asked <= holdRenewal + burstTime + readSlack,
        qPrintable(QString::number((last - asked).count())));

    // A renewal of a hold that a stop has ended does not start it again.
    page.socket->sendTextMessage(R"({"type":"hold","card":1,"relay":7})");
    QVERIFY(sawMessage(page, "relays", 3));
    WebClient client(m_pageUrl);
    QCOMPARE(client.post("/api/cards/1/stop", "").status, 202);
    QVERIFY(sawMessage(page, "relays", 4));
    QVERIFY(sawMessage(page, "holdEnded", 2));
    QCOMPARE(lastOf(page, "holdEnded").value("reason").toString(), QString("the emergency stop"));
    page.socket->sendTextMessage(R"({"type":"renew","card":1,"relay":7})");
    QCOMPARE(client.post("/api/cards/2/show", "{}").status, 202);
    const QByteArrayList after = burstsOf(readTimed(
        [](const QList<TimedPacket> &read) {
            return burstsOf(read).contains(burstOf({13, 2, 'D', '1', 124}));
        },
        0ms));
    const qsizetype stop = after.indexOf(burstOf({13, 1, 'E', '1', 124}));
    QVERIFY(stop >= 0);
    QCOMPARE(after.mid(stop + 1), QByteArrayList{burstOf({13, 2, 'D', '1', 124})});
}

void TestRelayMqttWeb::brokerAndPagesSeeEachOther()
{
    startWeb(true);
    QVERIFY(waitForRetained(name + "/status", "online"));
    Page &page = openPage(m_pageUrl);
    QVERIFY(sawMessage(page, "cards"));
    const auto lastChange = [&page] {
        const QJsonObject last = page.messages.constLast();
        return last.value("changes").toArray().first().toObject();
    };
    // MQTT's command reaches the page; the API's reaches MQTT.
    QVERIFY(publish(name + "/2/relay/7/set", "ON"));
    QVERIFY(sawMessage(page, "relays"));
    QCOMPARE(lastChange(), (QJsonObject{{"card", 2}, {"relay", 7}, {"state", "ON"}}));
    WebClient client(m_pageUrl);
    QCOMPARE(client.post("/api/cards/2/relays/7", R"({"state":"OFF"})").status, 202);
    QVERIFY(waitForRetained(name + "/2/relay/7/state", "OFF"));
    QVERIFY(sawMessage(page, "relays", 2));
    QCOMPARE(lastChange(), (QJsonObject{{"card", 2}, {"relay", 7}, {"state", "OFF"}}));
    QCOMPARE(QJsonDocument::fromJson(client.get("/api/cards").body).object().value("broker"),
        QJsonValue("online"));

    // Home Assistant links each card's device to the page.
    const auto configs = retained("homeassistant/switch/" + name + "_1_1/config");
    QCOMPARE(configs.size(), std::size_t(1));
    const QJsonObject device
        = QJsonDocument::fromJson(configs.begin()->second).object().value("device").toObject();
    QVERIFY2(device.value("configuration_url").toString().endsWith(m_pageUrl.section(':', 2) + "/"),
        qPrintable(device.value("configuration_url").toString()));
}

void TestRelayMqttWeb::floodWithPagesOpen()
{
    // As many as one address may keep open (32 connections) beside the client's own six.
    constexpr int pageCount = 24;
    constexpr int requestCount = 2000;
    startWeb(false);
    for (int i = 0; i < pageCount; ++i)
        openPage(m_pageUrl);
    for (const Page &page : m_pages)
        QVERIFY(sawMessage(page, "cards"));
    const qint64 pid = m_bridge->processId();
    const qint64 before = statusKiB(pid, "VmHWM:");
    QElapsedTimer flooding;
    flooding.start();

    // Cards 1 and 2 by turns; once those are answered, card 2 alone with card 1's stop in the
    // middle of it.
    WebClient client(m_pageUrl);
    std::vector<std::unique_ptr<QNetworkReply>> replies;
    const auto toggle = [&](int card, int i) {
        replies.emplace_back(
            client.send(QStringLiteral("/api/cards/%1/relays/%2").arg(card).arg(1 + i % 8),
                R"({"state":"TOGGLE"})"));
    };
    const auto answered = [&] {
        return std::all_of(
            replies.begin(), replies.end(), [](const auto &r) { return r->isFinished(); });
    };
    QList<TimedPacket> beforeStop;
    for (int i = 0; i < requestCount / 2; ++i)
        toggle(1 + i % 2, i);
    QVERIFY(QTest::qWaitFor(
        [&] {
            beforeStop += drainTimed();
            return answered();
        },
        int(timeoutMs) * 3));
    QNetworkReply *stop = nullptr;
    for (int i = requestCount / 2; i < requestCount; ++i) {
        if (i == requestCount * 3 / 4)
            replies.emplace_back(stop = client.send("/api/cards/1/stop", ""));
        toggle(2, i);
    }
    QVERIFY(QTest::qWaitFor(
        [&] {
            beforeStop += drainTimed();
            return stop->isFinished();
        },
        int(timeoutMs)));
    QCOMPARE(WebClient::answerOf(*stop).status, 202);
    // Drained as the stop was answered: the stop is among the next two bursts at the latest.
    beforeStop += drainTimed();
    QVERIFY(QTest::qWaitFor(answered, int(timeoutMs) * 3));
    const QList<TimedPacket> afterStop = readTimed([](const auto &) { return true; }, 500ms);

    QMap<int, int> statuses;
    for (const auto &reply : replies)
        ++statuses[WebClient::answerOf(*reply).status];
    QCOMPARE(statuses.keys(), (QList<int>{202, 429}));
    QCOMPARE(statuses.value(202) + statuses.value(429), requestCount + 1);
    // Every refusal is in the log, but most as a count: a line a second, and the first alone.
    const auto logged = [this] {
        return refusalsIn(m_log);
    };
    QVERIFY2(QTest::qWaitFor([&] { return logged() == statuses.value(429); }, int(timeoutMs)),
        qPrintable(QStringLiteral("%1 of %2").arg(logged()).arg(statuses.value(429))));
    const qsizetype lines = m_log.count(QStringLiteral("relay-mqtt: refused "))
        + m_log.count(QStringLiteral(" more command(s) refused"));
    QVERIFY2(lines <= 2 * (flooding.elapsed() / 1000 + 2), qPrintable(QString::number(lines)));
    const QByteArrayList early = burstsOf(beforeStop);
    const QByteArrayList late = burstsOf(afterStop);
    const QByteArray stopBurst = burstOf({13, 1, 'E', '1', 124});
    const bool stoppedEarly = early.contains(stopBurst);
    QVERIFY2(stoppedEarly || late.indexOf(stopBurst) <= 1,
        qPrintable(QString::number(late.indexOf(stopBurst))));
    const QByteArrayList fromStop = stoppedEarly ? early.mid(early.indexOf(stopBurst)) + late
                                                 : late.mid(late.indexOf(stopBurst));
    for (qsizetype at = 1; at < fromStop.size(); ++at)
        QVERIFY2(fromStop.at(at).at(1) == 2, qPrintable(QString::number(at)));

    // The pages were all kept, and the memory it took stays bounded.
    for (const Page &page : m_pages)
        QVERIFY(!page.closed);
    const qint64 after = statusKiB(pid, "VmHWM:");
    qInfo() << "peak memory before" << before << "KiB, after" << after << "KiB";
    QVERIFY2(!memoryIsTheProgramsOwn || after - before < qint64{32} * 1024,
        qPrintable(QString::number(after - before)));
}

void TestRelayMqttWeb::hostileRequests_data()
{
    QTest::addColumn<QByteArray>("request"); // HOST stands for this server's HOST:PORT
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("line"); // the burst it puts on the line
    const QByteArray machine = QSysInfo::machineHostName().toLatin1();
    const QByteArray on = "Content-Type: application/json\r\nContent-Length: 14\r\n\r\n"
                          R"({"state":"ON"})";
    const QByteArray upgrade = "Connection: Upgrade\r\nUpgrade: websocket\r\n"
                               "Sec-WebSocket-Version: 13\r\n"
                               "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
    const auto row
        = [](const char *name, const QByteArray &request, int status, const QByteArray &line = {}) {
              QTest::newRow(name) << request << status << line;
          };
    // A web site whose name now leads here (DNS rebinding) sends its own name, and its origin.
    row("a foreign name, GET", "GET /api/cards HTTP/1.1\r\nHost: rebound.example:8080\r\n\r\n",
        421);
    row("a foreign name, POST",
        "POST /api/cards/1/relays/1 HTTP/1.1\r\nHost: rebound.example:8080\r\n"
        "Origin: http://rebound.example:8080\r\n"
            + on,
        421);
    row("a foreign name, WebSocket",
        "GET /api/live HTTP/1.1\r\nHost: rebound.example:8080\r\n" + upgrade, 421);
    row("localhost", "GET /api/cards HTTP/1.1\r\nHost: localhost:8080\r\n\r\n", 200);
    row("the machine's name", "GET /api/cards HTTP/1.1\r\nHost: " + machine + "\r\n\r\n", 200);
    row("the machine's name in .local",
        "GET /api/cards HTTP/1.1\r\nHost: " + machine + ".local\r\n\r\n", 200);
    // Behind a reverse proxy that serves it over HTTPS.
    row("a name of http-host, POST from its HTTPS origin",
        "POST /api/cards/1/relays/1 HTTP/1.1\r\nHost: relays.example.org\r\n"
        "Origin: https://relays.example.org\r\n"
            + on,
        202, relay1OnCard1);
    row("a head over 8 KiB", "GET / HTTP/1.1\r\nHOST" + QByteArray(9000, 'a'), 431);
    row("a body over 4 KiB",
        "POST /api/cards/1/relays/1 HTTP/1.1\r\nHOST"
        "Content-Type: application/json\r\nContent-Length: 4097\r\n\r\n{",
        413);
    row("a chunked body over 4 KiB",
        "POST /api/cards/1/relays/1 HTTP/1.1\r\nHOST"
        "Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n1001\r\n{",
        413);
    row("half an upgrade", "GET /api/live HTTP/1.1\r\nHOSTUpgrade: websocket\r\n\r\n", 400);
    row("a key twice",
        "POST /api/cards/1/relays/1 HTTP/1.1\r\nHOSTContent-Type: application/json\r\n"
        "Content-Length: 28\r\n\r\n"
        R"({"state":"OFF","state":"ON"})",
        400);
    row("an encoded slash",
        "POST /api/cards/1%2Fstop HTTP/1.1\r\nHOSTContent-Type: application/json\r\n"
        "Content-Length: 2\r\n\r\n{}",
        404);
}

void TestRelayMqttWeb::hostileRequests()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    QFETCH(QByteArray, line);
    startWeb(false, {"--http-host", "relays.example.org"});
    QVERIFY(m_log.contains("warning: the page has no password"));
    QCOMPARE(rawStatus(QByteArray(request).replace("HOST", host())), status);
    // Whatever was refused left the line alone: card 2's show is all that follows.
    QCOMPARE(WebClient(m_pageUrl).post("/api/cards/2/show", "{}").status, 202);
    QCOMPARE(lineOf(line.size() + showCard2.size()), line + showCard2);
}

void TestRelayMqttWeb::attackLeavesTheLineAlone()
{
    startWeb(false);
    const qint64 pid = m_bridge->processId();
    const qint64 before = statusKiB(pid, "VmHWM:");
    HostileClient attack(quint16(QUrl(m_pageUrl).port()),
        {HostileClient::Attack::HugeBody, HostileClient::Attack::EndlessHeader});
    // Under way: each attacker has been turned away and come back a few times.
    QVERIFY(QTest::qWaitFor([&] { return attack.connections() >= 20; }, int(timeoutMs)));

    // An emergency stop from another client meanwhile reaches the line in two burst times.
    WebClient client(m_pageUrl);
    drainTimed();
    const LineTime sent = std::chrono::steady_clock::now().time_since_epoch();
    std::unique_ptr<QNetworkReply> stop(client.send("/api/cards/1/stop", ""));
    // The event loop sends the request; the line is read meanwhile, each packet timed as read.
    QList<TimedPacket> packets;
    QVERIFY(QTest::qWaitFor(
        [&] {
            packets += drainTimed();
            return burstsOf(packets).contains(stopCard1);
        },
        int(timeoutMs)));
    QCOMPARE(burstsOf(packets), QByteArrayList{stopCard1});
    const LineTime delay = packets.constFirst().at - sent;
    QVERIFY2(delay <= 2 * burstTime + readSlack, qPrintable(QString::number(delay.count())));
    QVERIFY(QTest::qWaitFor([&] { return stop->isFinished(); }, int(timeoutMs)));
    QCOMPARE(WebClient::answerOf(*stop).status, 202);

    attack.stop();
    const qint64 after = statusKiB(pid, "VmHWM:");
    qInfo() << attack.connections() << "attacks," << attack.bytesSent() / 1024
            << "KiB written; the stop after" << delay.count() << "ms; peak memory before" << before
            << "KiB, after" << after << "KiB";
    QVERIFY2(!memoryIsTheProgramsOwn || after - before < qint64{8} * 1024,
        qPrintable(QString::number(after - before)));
}

void TestRelayMqttWeb::logoutClosesItsPages()
{
    QTemporaryDir directory;
    startWeb(false, webLoginArguments(directory, "sesame"));
    WebClient client(m_pageUrl);
    const auto logIn = [&client] {
        return client.post("/api/login", R"({"password":"sesame"})")
            .header("Set-Cookie")
            .split(';')
            .first();
    };
    const QByteArray cookie = logIn();
    const QByteArray otherCookie = logIn();
    Page &page = openPage(m_pageUrl, "/api/live", cookie);
    Page &other = openPage(m_pageUrl, "/api/live", otherCookie);
    QVERIFY(sawMessage(page, "cards") && sawMessage(other, "cards"));
    QCOMPARE(page.messages.constFirst().value("login"), QJsonValue(true));

    QCOMPARE(client.post("/api/logout", "{}", {{"Cookie", cookie}}).status, 204);
    QVERIFY(QTest::qWaitFor([&page] { return page.closed; }, int(timeoutMs)));
    QCOMPARE(page.socket->closeCode(), QWebSocketProtocol::CloseCodePolicyViolated);
    QCOMPARE(page.socket->closeReason(), QString("logged out"));
    // The other session's page stays, and still switches.
    other.socket->sendTextMessage(
        R"({"type":"command","path":"1/relays/1","body":{"state":"ON"}})");
    // Out now: reading the line below keeps the event loop from sending it later.
    QVERIFY(other.socket->flush());
    QCOMPARE(lineOf(relay1OnCard1.size()), relay1OnCard1);
    QVERIFY(!other.closed);
}

void TestRelayMqttWeb::throttleAcrossAddresses()
{
    QTemporaryDir directory;
    startWeb(false, webLoginArguments(directory, "sesame", "t0ken"));
    const auto login = [this](const char *password) {
        const QByteArray body = QByteArray(R"({"password":")") + password + "\"}";
        return "POST /api/login HTTP/1.1\r\n" + host()
            + "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size())
            + "\r\n\r\n" + body;
    };
    const auto withToken = [this](const char *token) {
        return "GET /api/cards HTTP/1.1\r\n" + host() + "Authorization: bearer " + token
            + "\r\n\r\n";
    };
    // Wrong passwords and wrong tokens count alike: three free, the fourth makes it wait.
    const QHostAddress guesser("127.0.0.2");
    QCOMPARE(rawStatus(login("guess"), guesser), 401);
    QCOMPARE(rawStatus(withToken("guess"), guesser), 401);
    QCOMPARE(rawStatus(login("guess"), guesser), 401);
    QCOMPARE(rawStatus(withToken("guess"), guesser), 401);
    QCOMPARE(rawStatus(withToken("t0ken"), guesser), 429);
    // Another address is let in with the token, its scheme's name in any case.
    QCOMPARE(rawStatus(withToken("t0ken"), QHostAddress("127.0.0.3")), 200);

    // A guesser with many addresses meets the ceiling for everyone: soon an address that never
    // guessed before must wait too.
    int fresh = 0;
    int status = 401;
    while (status == 401 && fresh < 200) {
        ++fresh;
        status
            = rawStatus(withToken("guess"), QHostAddress(QStringLiteral("127.0.1.%1").arg(fresh)));
    }
    QCOMPARE(status, 429);
    QVERIFY2(fresh > 1, qPrintable(QString::number(fresh)));
    // Wrong tokens are logged as failed logins are, the secrets never.
    QVERIFY(m_log.contains("wrong token to the web page from 127.0.1.1"));
    QVERIFY(!m_log.contains("guess") && !m_log.contains("t0ken"));
}

QTEST_GUILESS_MAIN(TestRelayMqttWeb)
#include "tst_relaymqttweb.moc"
