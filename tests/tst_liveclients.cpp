// The live clients' messages, in the test's own process: a command, hold or release with an id
// is answered once the line has carried its burst, never before, or with why it never will be;
// a hold of a length of its own ends by its time, and the client hears that it ran its course.

#include "relay-mqtt/BridgeOptions.h"
#include "relay-mqtt/line/RelayLine.h"
#include "relay-mqtt/live/LiveClient.h"
#include "relay-mqtt/live/LiveClients.h"
#include "relay-mqtt/live/RelayApi.h"
#include "support/PseudoTerminal.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <memory>

namespace {

// A client that keeps what it is sent, and sends what the test gives it.
class RecordingClient : public LiveClient
{
public:
    QString from() const override { return QStringLiteral("from the test"); }
    FrontEnd frontEnd() const override { return FrontEnd::Local; }
    void send(const QString &message) override
    {
        heard << QJsonDocument::fromJson(message.toUtf8()).object();
    }
    qint64 unsent() const override { return 0; }
    void ping() override { emit pong(); }
    void close(Closing, const QString &) override { }
    void abort() override { }

    void say(const QByteArray &message) { emit received(QString::fromUtf8(message)); }
    // The messages of `type` heard so far.
    QList<QJsonObject> of(const QString &type) const
    {
        QList<QJsonObject> found;
        for (const QJsonObject &message : heard) {
            if (message.value("type").toString() == type)
                found << message;
        }
        return found;
    }

    QList<QJsonObject> heard;
};

} // namespace

class TestLiveClients : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void carriedOnceTheLineHasCarriedIt();
    void refusedWithTheId_data();
    void refusedWithTheId();
    void droppedByAnotherClientsStop();
    void holdOfItsOwnLength();
    void holdHasOneHolder();

private:
    RecordingClient *connectClient();

    std::unique_ptr<PseudoTerminal> m_pty;
    BridgeOptions m_options;
    std::unique_ptr<RelayLine> m_line;
    CommandCounts m_counts;
    std::unique_ptr<RelayApi> m_api;
    std::unique_ptr<LiveClients> m_live;
};

void TestLiveClients::init()
{
    m_pty = std::make_unique<PseudoTerminal>();
    m_options = {};
    m_options.device = m_pty->name();
    m_options.cards = {1, 2};
    m_line = std::make_unique<RelayLine>(m_options);
    m_counts = {};
    m_api = std::make_unique<RelayApi>(m_options, *m_line, m_counts);
    m_live = std::make_unique<LiveClients>(*m_api, *m_line);
    m_line->start();
    QTRY_VERIFY(m_line->isUp());
}

void TestLiveClients::cleanup()
{
    m_live.reset();
    m_api.reset();
    m_line.reset();
    m_pty.reset();
}

RecordingClient *TestLiveClients::connectClient()
{
    auto client = std::make_unique<RecordingClient>();
    RecordingClient *added = client.get();
    m_live->add(std::move(client), {});
    return added;
}

void TestLiveClients::carriedOnceTheLineHasCarriedIt()
{
    RecordingClient *client = connectClient();
    client->say(R"({"type":"command","path":"1/relays/3","body":{"state":"ON"},"id":7})");
    client->say(R"({"type":"command","path":"2/show","body":{},"id":"second"})");
    // Written, but the line has yet to carry the bursts.
    QVERIFY(client->of("carried").isEmpty());
    QTRY_COMPARE(client->of("carried").size(), 2);
    QCOMPARE(client->of("carried").at(0).value("id"), QJsonValue(7));
    QCOMPARE(client->of("carried").at(1).value("id"), QJsonValue("second"));
    // Both bursts reached the line by then.
    QCOMPARE(m_pty->readAll().size(), 40);
    QVERIFY(client->of("refused").isEmpty());
}

void TestLiveClients::refusedWithTheId_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<int>("status");
    QTest::newRow("no such card") << QByteArray(
        R"({"type":"command","path":"9/show","body":{},"id":1})")
                                  << 404;
    QTest::newRow("a body the path does not take")
        << QByteArray(R"({"type":"command","path":"1/all","body":{"state":"TOGGLE"},"id":1})")
        << 400;
    QTest::newRow("a hold of no relay")
        << QByteArray(R"({"type":"hold","card":1,"relay":9,"id":1})") << 404;
    QTest::newRow("a hold too long")
        << QByteArray(R"({"type":"hold","card":1,"relay":2,"hold_ms":3600001,"id":1})") << 400;
    QTest::newRow("a hold of a length in words")
        << QByteArray(R"({"type":"hold","card":1,"relay":2,"hold_ms":"5s","id":1})") << 400;
    QTest::newRow("no such message")
        << QByteArray(R"({"type":"hodl","card":1,"relay":2,"id":1})") << 400;
}

void TestLiveClients::refusedWithTheId()
{
    QFETCH(QByteArray, message);
    QFETCH(int, status);
    RecordingClient *client = connectClient();
    client->say(message);
    QCOMPARE(client->of("refused").size(), 1);
    QCOMPARE(client->of("refused").first().value("status").toInt(), status);
    QCOMPARE(client->of("refused").first().value("id"), QJsonValue(1));
    QCOMPARE(m_pty->readAll(), QByteArray());
}

void TestLiveClients::droppedByAnotherClientsStop()
{
    RecordingClient *first = connectClient();
    RecordingClient *other = connectClient();
    // The first burst goes out at once; six toggles for card 2 keep the line busy for half a
    // second behind it, so that card 1's second command is still queued when the other's stop
    // comes, however slowly this test runs, and the stop drops it.
    first->say(R"({"type":"command","path":"1/relays/1","body":{"state":"ON"},"id":1})");
    constexpr int toggles = 6;
    for (int id = 10; id < 10 + toggles; ++id) {
        first->say(QStringLiteral(
            R"({"type":"command","path":"2/relays/3","body":{"state":"TOGGLE"},"id":%1})")
                       .arg(id)
                       .toUtf8());
    }
    first->say(R"({"type":"command","path":"1/relays/2","body":{"state":"ON"},"id":2})");
    first->say(R"({"type":"command","path":"2/relays/2","body":{"state":"ON"},"id":3})");
    other->say(R"({"type":"command","path":"1/stop","body":{},"id":1})");
    QCOMPARE(first->of("refused").size(), 1);
    QCOMPARE(first->of("refused").first().value("id"), QJsonValue(2));
    QCOMPARE(first->of("refused").first().value("status").toInt(), 409);
    QTRY_COMPARE(first->of("carried").size(), 2 + toggles);
    QCOMPARE(first->of("carried").constFirst().value("id"), QJsonValue(1));
    QCOMPARE(first->of("carried").constLast().value("id"), QJsonValue(3));
    QTRY_COMPARE(other->of("carried").size(), 1);
    QVERIFY(other->of("refused").isEmpty());
}

void TestLiveClients::holdOfItsOwnLength()
{
    RecordingClient *client = connectClient();
    client->say(R"({"type":"hold","card":1,"relay":4,"hold_ms":200,"id":5})");
    QTRY_COMPARE(client->of("carried").size(), 1);
    QCOMPARE(client->of("carried").first().value("id"), QJsonValue(5));
    // Renewed, it still ends by its own time, and the client hears it ran its course.
    client->say(R"({"type":"renew","card":1,"relay":4})");
    QTRY_COMPARE(client->of("holdEnded").size(), 1);
    QCOMPARE(client->of("holdEnded").first().value("timeUp"), QJsonValue(true));
    client->say(R"({"type":"release","card":1,"relay":4,"id":6})");
    QTRY_COMPARE(client->of("carried").size(), 2);
    QCOMPARE(client->of("carried").last().value("id"), QJsonValue(6));
}

void TestLiveClients::holdHasOneHolder()
{
    RecordingClient *holder = connectClient();
    RecordingClient *other = connectClient();
    // All of it at once, well within the hold's renewal time, however slowly this test runs.
    holder->say(R"({"type":"hold","card":1,"relay":5,"id":1})");
    // Neither taken over nor let go by another client.
    other->say(R"({"type":"hold","card":1,"relay":5,"hold_ms":100,"id":1})");
    other->say(R"({"type":"release","card":1,"relay":5,"id":2})");
    QCOMPARE(other->of("refused").size(), 2);
    QCOMPARE(other->of("refused").at(0).value("status").toInt(), 409);
    QCOMPARE(other->of("refused").at(1).value("status").toInt(), 409);
    QVERIFY(other->of("carried").isEmpty());
    // The holder, renewing, still has it when it lets go.
    holder->say(R"({"type":"renew","card":1,"relay":5})");
    holder->say(R"({"type":"release","card":1,"relay":5,"id":2})");
    QTRY_COMPARE(holder->of("carried").size(), 2);
    QVERIFY(holder->of("holdEnded").isEmpty());
    QVERIFY(holder->of("refused").isEmpty());
}

QTEST_GUILESS_MAIN(TestLiveClients)
#include "tst_liveclients.moc"
