// relay-mqtt's web page in a real Chromium (playwright-core), against the built program on a
// pseudo-terminal: what a click and a held button put on the line, what other pages and MQTT
// clients see, the login, what other sites cannot do, and what axe-core finds.

#include "support/BrowserRemote.h"
#include "support/Bytes.h"
#include "support/RelayMqttTest.h"
#include "support/WebClient.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;

namespace {

constexpr LineTime burstTime = 4 * packetTime;
// How long the page keeps a hold without renewing it, as relay-mqtt lets go of it.
constexpr LineTime holdRenewal = 300ms;

LineTime now()
{
    return std::chrono::steady_clock::now().time_since_epoch();
}

} // namespace

class TestRelayMqttPage : public RelayMqttTest
{
    Q_OBJECT

public:
    TestRelayMqttPage() : RelayMqttTest(QStringLiteral(RELAY_MQTT)) { }

private slots:
    void initTestCase()
    {
        initTestCaseBase();
        QVERIFY2(QFile::exists(QStringLiteral(WEB_TESTS "/node_modules/playwright-core")),
            "run ./scripts/setup: it installs the browser tests' tooling");
    }
    void init()
    {
        initBase();
        m_browser = std::make_unique<BrowserRemote>(QStringLiteral(WEB_TESTS "/browser.mjs"));
    }
    void cleanup()
    {
        m_browser.reset();
        cleanupBase();
    }

    void switchSeenEverywhere();
    void holdFollowsTheButton();
    void closedTabLetsGo();
    void holdEndedElsewhere();
    void loginOffLoopback();
    void otherSitesCannot();
    void accessibleOnPhoneAndDesktop_data();
    void accessibleOnPhoneAndDesktop();

private:
    bool open(const QString &page, QJsonObject options = {})
    {
        options.insert("page", page);
        options.insert("url", m_pageUrl + "/");
        return m_browser->run("open", options);
    }
    QJsonObject relaySwitch(const QString &page, int relay) const
    {
        return BrowserRemote::control(
            page, "Card 1", "switch", QStringLiteral("Relay %1").arg(relay));
    }
    static QJsonObject checked(QJsonObject control, bool on)
    {
        control.insert("checked", on);
        return control;
    }
    // Sends card 2's show through the API and reads the line until its burst: whatever the
    // line carried before is in the packets returned.
    QList<TimedPacket> readUpToMarker()
    {
        WebClient client(m_pageUrl);
        if (client.post("/api/cards/2/show", "{}").status != 202)
            return {};
        const QByteArray marker = burstOf({13, 2, 'D', '1', 124});
        return readTimed(
            [&](const QList<TimedPacket> &read) { return burstsOf(read).contains(marker); }, 0ms);
    }

    std::unique_ptr<BrowserRemote> m_browser;
};

void TestRelayMqttPage::switchSeenEverywhere()
{
    startWeb(true);
    QVERIFY(waitForRetained(name + "/status", "online"));
    QProcess mqtt;
    QVERIFY(watch(mqtt, name + "/1/relay/2/state"));
    QByteArray seen;
    const auto mqttSays = [&](const QByteArray &state) {
        return QTest::qWaitFor(
            [&] { return (seen += mqtt.readAllStandardOutput()).endsWith(state + '\n'); },
            int(timeoutMs));
    };
    QVERIFY(open("a") && open("b"));

    // Each page asks for the opposite of what it shows; the other page and MQTT follow.
    for (const auto &[page, other, on, burst] :
        {std::tuple{"a", "b", true, burstOf({13, 1, 'S', '2', 109})},
            std::tuple{"b", "a", false, burstOf({13, 1, 'C', '2', 125})}}) {
        QVERIFY(m_browser->run("waitFor", checked(relaySwitch(page, 2), !on)));
        QVERIFY(m_browser->run("click", relaySwitch(page, 2)));
        QCOMPARE(lineOf(20), burst);
        QVERIFY(m_browser->run("waitFor", checked(relaySwitch(other, 2), on)));
        QVERIFY2(mqttSays(on ? "ON" : "OFF"), seen.constData());
    }
    mqtt.kill();
    mqtt.waitForFinished();
}

void TestRelayMqttPage::holdFollowsTheButton()
{
    startWeb(false);
    QVERIFY(open("a"));
    const QJsonObject hold = BrowserRemote::control("a", "Card 1", "button", "Hold Relay 1");
    const QByteArray held = burstOf({13, 1, 'P', '1', 113});
    QVERIFY(m_browser->run("down", hold));

    // A second of the button down, counted from the hold's first burst.
    const QList<TimedPacket> whileDown = readTimed(
        [&](const QList<TimedPacket> &read) {
            const qsizetype first = burstsOf(read).indexOf(held);
            return first >= 0 && read.constLast().at - read.at(4 * first).at >= 1s;
        },
        0ms);
    QVERIFY(m_browser->run("up", hold));
    const QList<TimedPacket> afterUp = drainTimed();
    // Once the page shows the relay let go, relay-mqtt has the release: the line is drained.
    QVERIFY(m_browser->run("waitFor", checked(relaySwitch("a", 1), false)));
    const QList<TimedPacket> untilLetGo = drainTimed();
    const QList<TimedPacket> afterLetGo = readUpToMarker();

    // The bursts came at the line's pace: the card, its clock at each packet, held the relay
    // from the first burst to the last.
    const QList<TimedPacket> packets = whileDown + afterUp + untilLetGo;
    const QByteArrayList bursts = burstsOf(packets);
    QCOMPARE(bursts.count(held), bursts.size());
    QVERIFY2(
        bursts.size() >= int(1s / (2 * burstTime)), qPrintable(QString::number(bursts.size())));
    const std::optional<LineTime> gap = firstGap(packets, 1, 1);
    QVERIFY2(
        !gap, qPrintable(QStringLiteral("let go at %1 ms").arg(gap.value_or(LineTime{}).count())));
    // Nothing after one burst from the release, and nothing at all once it was taken.
    QVERIFY2(burstsOf(afterUp + untilLetGo).count(held) <= 1,
        qPrintable(QString::number(burstsOf(afterUp + untilLetGo).count(held))));
    QCOMPARE(burstsOf(afterLetGo).count(held), 0);
}

void TestRelayMqttPage::closedTabLetsGo()
{
    startWeb(false);
    QVERIFY(open("a"));
    const QByteArray held = burstOf({13, 1, 'P', '3', 111});
    QVERIFY(
        m_browser->run("down", BrowserRemote::control("a", "Card 1", "button", "Hold Relay 3")));
    readTimed([&](const QList<TimedPacket> &read) { return burstsOf(read).contains(held); }, 0ms);
    QVERIFY(m_browser->run("close", {{"page", "a"}}));
    const LineTime closed = now();
    const QList<TimedPacket> after = readUpToMarker();
    const QByteArrayList bursts = burstsOf(after);
    const qsizetype last = bursts.lastIndexOf(held);
    const LineTime lastAfterClose = last < 0 ? LineTime{} : after.at(4 * last).at - closed;
    QVERIFY2(lastAfterClose <= holdRenewal + burstTime + readSlack,
        qPrintable(
            QStringLiteral("a burst %1 ms after the tab closed").arg(lastAfterClose.count())));
}

void TestRelayMqttPage::holdEndedElsewhere()
{
    startWeb(false);
    QVERIFY(open("a"));
    const QJsonObject hold = BrowserRemote::control("a", "Card 1", "button", "Hold Relay 2");
    QVERIFY(m_browser->run("down", hold));
    const QByteArray held = burstOf({13, 1, 'P', '2', 112});
    readTimed([&](const QList<TimedPacket> &read) { return burstsOf(read).contains(held); }, 0ms);
    QCOMPARE(m_browser->call("pressed", hold), QJsonValue(true));

    // Another client's emergency stop ends the hold while the button is still down: the page
    // says so, and the button no longer shows it held.
    QCOMPARE(WebClient(m_pageUrl).post("/api/cards/1/stop", "").status, 202);
    const std::optional<QJsonValue> said = m_browser->call("alert", {{"page", "a"}});
    QVERIFY(said);
    QCOMPARE(said->toString(), QString("Hold of Relay 2 ended: the emergency stop."));
    QCOMPARE(m_browser->call("pressed", hold), QJsonValue(false));
    QVERIFY(m_browser->run("up", hold));
}

void TestRelayMqttPage::loginOffLoopback()
{
    QTemporaryDir directory;
    startWeb(false, QStringList{"--http", "0.0.0.0:0"} + webLoginArguments(directory, "sesame"));
    QVERIFY(open("a", {{"bypassCSP", true}}));
    const QJsonObject field{{"page", "a"}, {"role", "textbox"}, {"name", "Password"}};
    const QJsonObject card{{"page", "a"}, {"role", "region"}, {"name", "Card 1"}};
    QVERIFY(m_browser->run("waitFor", field));
    QCOMPARE(m_browser->call("visible", card), QJsonValue(false));
    const std::optional<QJsonValue> violations = m_browser->call("axe", {{"page", "a"}});
    QVERIFY(violations);
    QVERIFY2(
        violations->toArray().isEmpty(), QJsonDocument(violations->toArray()).toJson().constData());

    QVERIFY(m_browser->run("login", {{"page", "a"}, {"password", "open sesame"}}));
    const std::optional<QJsonValue> refused = m_browser->call("alert", {{"page", "a"}});
    QVERIFY(refused && refused->toString().contains("wrong password"));
    QCOMPARE(m_browser->call("visible", card), QJsonValue(false));
    QVERIFY(m_browser->run("login", {{"page", "a"}, {"password", "sesame"}}));
    QVERIFY(m_browser->run("waitFor", card));
    QVERIFY(m_browser->run("click", relaySwitch("a", 4)));
    QCOMPARE(lineOf(20), burstOf({13, 1, 'S', '4', 107}));
    // Logged in, with the Log out button beside the emergency stop.
    const std::optional<QJsonValue> loggedIn = m_browser->call("axe", {{"page", "a"}});
    QVERIFY(loggedIn);
    QVERIFY2(
        loggedIn->toArray().isEmpty(), QJsonDocument(loggedIn->toArray()).toJson().constData());

    // Logging out ends the session and its socket: the page asks for the password again.
    QVERIFY(m_browser->run("click", {{"page", "a"}, {"role", "button"}, {"name", "Log out"}}));
    QVERIFY(m_browser->run("waitFor", field));
    QCOMPARE(m_browser->call("visible", card), QJsonValue(false));
}

void TestRelayMqttPage::otherSitesCannot()
{
    startWeb(false);
    // The browser has the page open: another site of the same browser tries its luck.
    QVERIFY(open("a"));
    QVERIFY(m_browser->run("waitFor", relaySwitch("a", 1)));
    const std::optional<QJsonValue> attempt = m_browser->call("crossSite", {{"target", m_pageUrl}});
    QVERIFY(attempt);
    const QJsonObject result = attempt->toObject();
    // The form and the fetch were refused, and the live socket closed as a breach of policy
    // before any message.
    QCOMPARE(result.value("form").toString(), QString("answered"));
    QCOMPARE(result.value("formStatus").toInt(), 403);
    QCOMPARE(result.value("fetchStatus").toInt(), 403);
    QCOMPARE(result.value("socketMessages").toInt(), 0);
    QCOMPARE(result.value("socketClosed").toInt(), 1008);
    // Every attempt was answered before the marker was sent: none of them reached the line.
    const QByteArrayList bursts = burstsOf(readUpToMarker());
    QCOMPARE(bursts, QByteArrayList{burstOf({13, 2, 'D', '1', 124})});
    QVERIFY(m_browser->run("waitFor", checked(relaySwitch("a", 1), false)));
}

void TestRelayMqttPage::accessibleOnPhoneAndDesktop_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<QString>("scheme");
    QTest::newRow("phone, light") << 360 << 740 << "light";
    QTest::newRow("desktop, dark") << 1280 << 800 << "dark";
}

void TestRelayMqttPage::accessibleOnPhoneAndDesktop()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(QString, scheme);
    // The config file's names, shown as text, whatever they hold.
    QTemporaryDir directory;
    startWeb(false,
        configArguments(
            directory, "[card.2]\nname = Workbench\nrelay.3 = Pump\nrelay.4 = \"<b>Fan</b>\"\n"));
    // axe-core is put into the page as a script of its own, which the page's policy refuses.
    QVERIFY(
        open("a", {{"width", width}, {"height", height}, {"scheme", scheme}, {"bypassCSP", true}}));
    QVERIFY(m_browser->run("waitFor", relaySwitch("a", 8)));
    for (const char *name : {"All on", "All off", "Show address", "Emergency stop", "Hold Pump"})
        QVERIFY(
            m_browser->run("waitFor", BrowserRemote::control("a", "Workbench", "button", name)));
    for (const char *name : {"Relay 1", "Pump", "<b>Fan</b>"})
        QVERIFY(
            m_browser->run("waitFor", BrowserRemote::control("a", "Workbench", "switch", name)));
    const QString picture
        = QDir(QStringLiteral(PICTURES))
              .filePath(QStringLiteral("relay-mqtt-page-%1x%2.png").arg(width).arg(height));
    QVERIFY(m_browser->run("screenshot", {{"page", "a"}, {"path", picture}}));
    QVERIFY(QFile::exists(picture));
    const std::optional<QJsonValue> violations = m_browser->call("axe", {{"page", "a"}});
    QVERIFY(violations);
    QVERIFY2(
        violations->toArray().isEmpty(), QJsonDocument(violations->toArray()).toJson().constData());
}

QTEST_GUILESS_MAIN(TestRelayMqttPage)
#include "tst_relaymqttpage.moc"
