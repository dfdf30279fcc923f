// Who relay-mqtt's web side takes for whom: clients by address and IPv6 /64, the names that
// are this server's, the throttle on wrong passwords and tokens (on a clock of the test's own),
// and JSON bodies that name a key twice.

#include "relay-mqtt/live/StrictJson.h"
#include "relay-mqtt/web/ClientKey.h"
#include "relay-mqtt/web/HostNames.h"
#include "relay-mqtt/web/LoginThrottle.h"

#include <QTest>

using namespace std::chrono_literals;

namespace {

QHostAddress address(const char *text)
{
    return QHostAddress(QString::fromLatin1(text));
}

} // namespace

class TestWebAccess : public QObject
{
    Q_OBJECT

private slots:
    void clientKeys_data();
    void clientKeys();
    void hostNames_data();
    void hostNames();
    void throttleWaitsAndDoubles();
    void throttleKeepsWaitingClients();
    void throttleSparesTrustedClients();
    void throttleLogsOnceAMinute();
    void duplicateKeys_data();
    void duplicateKeys();

private:
    std::chrono::steady_clock::time_point m_now{std::chrono::hours(1)};
    LoginThrottle::Clock clock()
    {
        return [this] {
            return m_now;
        };
    }
};

void TestWebAccess::clientKeys_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<bool>("same");
    QTest::newRow("IPv4, and the same IPv4-mapped") << "192.0.2.7"
                                                    << "::ffff:192.0.2.7" << true;
    QTest::newRow("two IPv4") << "192.0.2.7"
                              << "192.0.2.8" << false;
    QTest::newRow("one /64") << "2001:db8:1:2::1"
                             << "2001:db8:1:2:ffff::9" << true;
    QTest::newRow("two /64") << "2001:db8:1:2::1"
                             << "2001:db8:1:3::1" << false;
}

void TestWebAccess::clientKeys()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(bool, same);
    QCOMPARE(ClientKey(QHostAddress(a)) == ClientKey(QHostAddress(b)), same);
    QCOMPARE(ClientKey(address("2001:db8:1:2::1")).text(), QString("2001:db8:1:2::/64"));
}

void TestWebAccess::hostNames_data()
{
    QTest::addColumn<QString>("listening");
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<bool>("ours");
    const auto row = [](const char *listening, const char *host, bool ours) {
        QTest::addRow("%s on %s", host, listening)
            << QString(listening) << QByteArray(host) << ours;
    };
    // The machine's name, localhost, an http-host name and foreign names are seen end to end.
    row("127.0.0.1", "LocalHost.", true);
    row("127.0.0.1", "127.0.0.2:8080", false);
    row("127.0.0.1", "bench.example", false);
    row("127.0.0.1", "localhost:80x", false);
    row("127.0.0.1", "", false);
    row("::1", "[::1]:8080", true);
    row("::1", "[::1", false);
    row("192.0.2.7", "192.0.2.7", true);
    row("192.0.2.7", "localhost", false);
    row("0.0.0.0", "localhost", true);
    row("0.0.0.0", "[::1]:8080", true);
    row("0.0.0.0", "192.0.2.200", false);
}

void TestWebAccess::hostNames()
{
    QFETCH(QString, listening);
    QFETCH(QByteArray, host);
    QFETCH(bool, ours);
    const HostNames names(
        QHostAddress(listening), QStringLiteral("Bench"), {QStringLiteral("relays.example.org")});
    QCOMPARE(names.names(host), ours);
}

void TestWebAccess::throttleWaitsAndDoubles()
{
    LoginThrottle throttle(clock());
    const ClientKey guesser(address("192.0.2.7"));
    // Three free, then a second's wait, doubling with each failure after it.
    for (int i = 0; i < LoginThrottle::freeFailures; ++i) {
        QCOMPARE(throttle.wait(guesser), std::nullopt);
        throttle.failed(guesser);
        m_now += 1s; // within the ceiling for everyone
    }
    for (const auto wait : {1s, 2s, 4s}) {
        QCOMPARE(throttle.wait(guesser), std::nullopt);
        throttle.failed(guesser);
        QCOMPARE(throttle.wait(guesser), wait);
        m_now += wait;
    }
    // Another address waits for nothing.
    QCOMPARE(throttle.wait(ClientKey(address("192.0.2.8"))), std::nullopt);
    // The right password lets it start afresh; so does a long quiet.
    throttle.succeeded(guesser);
    throttle.failed(guesser);
    QCOMPARE(throttle.wait(guesser), std::nullopt);
    for (int i = 0; i < 10; ++i) {
        throttle.failed(guesser);
        m_now += 1s;
    }
    QVERIFY(throttle.wait(guesser));
    m_now += LoginThrottle::forgetAfter;
    throttle.failed(guesser);
    QCOMPARE(throttle.wait(guesser), std::nullopt);
}

void TestWebAccess::throttleKeepsWaitingClients()
{
    LoginThrottle throttle(clock());
    const ClientKey guesser(address("192.0.2.7"));
    for (int i = 0; i < 20; ++i)
        throttle.failed(guesser);
    QCOMPARE(throttle.wait(guesser), LoginThrottle::longestPenalty);
    // The table fills with other clients, failing once each and more...
    quint32 next = QHostAddress(QStringLiteral("10.0.0.0")).toIPv4Address();
    for (std::size_t i = 0; i < 2 * LoginThrottle::mostClients; ++i)
        throttle.failed(ClientKey(QHostAddress(next++)));
    QVERIFY(throttle.clientCount() <= LoginThrottle::mostClients);
    // ...and makes room from those not waiting, never from the one that waits.
    m_now += 2s; // past the ceiling for everyone
    QCOMPARE(throttle.wait(guesser), LoginThrottle::longestPenalty - 2s);
}

void TestWebAccess::throttleSparesTrustedClients()
{
    LoginThrottle throttle(clock());
    const ClientKey script(address("192.0.2.7"));
    throttle.succeeded(script);
    // Guesses from many addresses reach the ceiling for everyone...
    for (int i = 0; i < LoginThrottle::mostFailuresPerSecond; ++i)
        throttle.failed(ClientKey(QHostAddress(QStringLiteral("2001:db8:%1::1").arg(i))));
    QCOMPARE(throttle.wait(ClientKey(address("198.51.100.1"))), 1s);
    // ...but a client that got in before goes on.
    QCOMPARE(throttle.wait(script), std::nullopt);
}

void TestWebAccess::throttleLogsOnceAMinute()
{
    LoginThrottle throttle(clock());
    const ClientKey guesser(address("192.0.2.7"));
    QCOMPARE(throttle.failed(guesser), 1);
    for (int i = 0; i < 5; ++i) {
        m_now += 5s;
        QCOMPARE(throttle.failed(guesser), std::nullopt);
    }
    m_now += LoginThrottle::logInterval;
    QCOMPARE(throttle.failed(guesser), 6);
}

void TestWebAccess::duplicateKeys_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("taken");
    QTest::newRow("one state") << QByteArray(R"({"state":"ON"})") << true;
    QTest::newRow("a state twice") << QByteArray(R"({"state":"OFF","state":"ON"})") << false;
    QTest::newRow("twice, once escaped")
        << QByteArray(R"({"state":"OFF","st\u0061te":"ON"})") << false;
    QTest::newRow("twice in an inner object") << QByteArray(R"({"body":{"a":1,"a":2}})") << false;
    QTest::newRow("the same key in two objects")
        << QByteArray(R"({"a":{"k":1},"b":[{"k":1},{"k":2}],"k":3})") << true;
    QTest::newRow("a key's text as a value") << QByteArray(R"({"a":"a","b":"\"a\":"})") << true;
    QTest::newRow("not an object") << QByteArray("[1]") << false;
    QTest::newRow("not JSON") << QByteArray("{state: ON}") << false;
}

void TestWebAccess::duplicateKeys()
{
    QFETCH(QByteArray, json);
    QFETCH(bool, taken);
    QCOMPARE(StrictJson::object(json).has_value(), taken);
}

QTEST_GUILESS_MAIN(TestWebAccess)
#include "tst_webaccess.moc"
