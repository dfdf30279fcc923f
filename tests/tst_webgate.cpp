// relay-mqtt's gate in front of Qt HttpServer: the framing of requests as their bytes arrive,
// and a gate with short limits in front of a server that answers every request, from clients
// on several addresses of 127.0.0.0/8.

#include "relay-mqtt/web/GatedConnection.h"
#include "relay-mqtt/web/HostNames.h"
#include "relay-mqtt/web/RequestFraming.h"
#include "relay-mqtt/web/WebGate.h"
#include "support/RawConnection.h"

#include <QAbstractHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QTest>
#include <QTimer>

#include <memory>

using namespace std::chrono_literals;

namespace {

// What the framing made of a stream of bytes fed in pieces of `piece` bytes (0: all at once).
struct Framed
{
    int refused = 0; // the status, if refused
    int requests = 0;
    bool upgrade = false;
    bool close = false; // of the last request
};

Framed frame(const QByteArray &stream, qsizetype piece)
{
    RequestFraming framing;
    Framed framed;
    for (qsizetype at = 0; at<stream.size(); at += piece> 0 ? piece : stream.size()) {
        QByteArrayView rest = QByteArrayView(stream).sliced(at);
        if (piece > 0)
            rest = rest.first(std::min(piece, rest.size()));
        while (!rest.isEmpty()) {
            const RequestFraming::Step step = framing.feed(rest);
            rest = rest.sliced(step.used);
            if (step.refused) {
                framed.refused = framing.refusal().status;
                return framed;
            }
            if (step.headComplete && framing.head().upgrade) {
                framed.upgrade = true;
                return framed;
            }
            if (step.requestComplete) {
                ++framed.requests;
                framed.close = framing.head().close;
            }
        }
    }
    return framed;
}

QByteArray get(const QByteArray &headers = "Host: a\r\n", const QByteArray &version = "HTTP/1.1")
{
    return "GET / " + version + "\r\n" + headers + "\r\n";
}

QByteArray post(const QByteArray &headers, const QByteArray &body)
{
    return "POST /api/x HTTP/1.1\r\nHost: a\r\n" + headers + "\r\n" + body;
}

QByteArray chunk(const QByteArray &data)
{
    return QByteArray::number(data.size(), 16) + "\r\n" + data + "\r\n";
}

// Answers every request with its path, and tells the gate, as relay-mqtt's server does; counts
// them.
class AnsweringServer : public QAbstractHttpServer
{
public:
    int handled = 0;

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override
    {
        ++handled;
        makeResponder(request, socket).write(request.url().path().toUtf8(), "text/plain");
        if (GatedConnection *gated = GatedConnection::of(socket))
            gated->answered();
        return true;
    }
    void missingHandler(const QHttpServerRequest &, QTcpSocket *) override { }
};

QHostAddress loopback(int last)
{
    return QHostAddress(QStringLiteral("127.0.0.%1").arg(last));
}

} // namespace

class TestWebGate : public QObject
{
    Q_OBJECT

private slots:
    void framing_data();
    void framing();
    void connectionsPerClientAndInAll();
    void slowAndIdleConnectionsEnd_data();
    void slowAndIdleConnectionsEnd();
    void answersGoOnOrEnd();

private:
    // A gate with short limits in front of a server of its own, listening on 127.0.0.1.
    void startGate(WebGate::Limits limits)
    {
        m_server = std::make_unique<AnsweringServer>();
        auto *gate = new WebGate(*m_server, m_names, limits);
        QVERIFY(gate->listen(QHostAddress(QHostAddress::LocalHost)));
        m_server->bind(gate);
        m_port = gate->serverPort();
        m_gate = gate;
    }
    std::unique_ptr<RawConnection> open(int from = 1)
    {
        auto connection = std::make_unique<RawConnection>(m_port, loopback(from));
        return connection->connected() ? std::move(connection) : nullptr;
    }

    HostNames m_names{QHostAddress(QHostAddress::LocalHost), QStringLiteral("bench"), {}};
    std::unique_ptr<AnsweringServer> m_server;
    WebGate *m_gate = nullptr;
    quint16 m_port = 0;
};

void TestWebGate::framing_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<Framed>("expected");
    const auto row = [](const char *name, const QByteArray &stream, Framed expected) {
        QTest::newRow(name) << stream << expected;
    };
    const QByteArray chunked = "Transfer-Encoding: chunked\r\n";
    row("GET", get(), {0, 1});
    row("two, with LF line ends and an empty line before", "\r\n" + get("Host: a\n") + get(),
        {0, 2});
    row("a body, then the next request", post("Content-Length: 5\r\n", "hello") + get(), {0, 2});
    row("a body of 4 KiB", post("Content-Length: 4096\r\n", QByteArray(4096, 'x')), {0, 1});
    row("a body of 4 KiB and a byte", post("Content-Length: 4097\r\n", {}), {413});
    row("chunked", post(chunked, chunk("abc") + "2;x=y\r\nde\r\n0\r\n\r\n") + get(), {0, 2});
    row("chunked past 4 KiB",
        post(chunked, chunk(QByteArray(3000, 'x')) + chunk(QByteArray(1097, 'x'))), {413});
    row("a chunk too large, announced", post(chunked, "FFFFFFF\r\n"), {413});
    row("a chunk size that is no number", post(chunked, "0x3\r\nabc\r\n0\r\n\r\n"), {400});
    row("a chunk not ended by CR LF", post(chunked, "3\r\nabcd"), {400});
    row("a trailer", post(chunked, "0\r\nX: y\r\n\r\n"), {400});
    row("a hundred header fields", get("Host: a\r\n" + QByteArray("X: b\r\n").repeated(99)),
        {0, 1});
    row("a hundred and one", get("Host: a\r\n" + QByteArray("X: b\r\n").repeated(100)), {431});
    row("no Host", get(""), {400});
    row("two Hosts", get("Host: a\r\nHost: b\r\n"), {400});
    row("two lengths", post("Content-Length: 1\r\nContent-Length: 1\r\n", "x"), {400});
    row("length and chunks", post("Content-Length: 3\r\n" + chunked, "abc"), {400});
    row("a length with a sign", post("Content-Length: +3\r\n", "abc"), {400});
    row("gzip", post("Transfer-Encoding: gzip\r\n", {}), {400});
    row("a folded header", get("Host: a\r\nX: b\r\n c\r\n"), {400});
    row("a blank before the colon", get("Host : a\r\n"), {400});
    row("a lone CR", get("Host: a\rb\r\n"), {400});
    row("an absolute URL", "GET http://a/ HTTP/1.1\r\nHost: a\r\n\r\n", {400});
    row("HTTP/2", get("Host: a\r\n", "HTTP/2.0"), {400});
    row("a WebSocket upgrade",
        get("Host: a\r\nConnection: keep-alive, Upgrade\r\nUpgrade: websocket\r\n"), {0, 0, true});
    row("Connection: Upgrade without Upgrade", get("Host: a\r\nConnection: Upgrade\r\n"), {400});
    row("an upgrade to h2c", get("Host: a\r\nConnection: Upgrade\r\nUpgrade: h2c\r\n"), {400});
    row("Connection: close", get("Host: a\r\nConnection: close\r\n"), {0, 1, false, true});
    row("HTTP/1.0", get("Host: a\r\n", "HTTP/1.0"), {0, 1, false, true});
    row("HTTP/1.0, kept alive", get("Host: a\r\nConnection: keep-alive\r\n", "HTTP/1.0"),
        {0, 1, false, false});
}

void TestWebGate::framing()
{
    QFETCH(QByteArray, stream);
    QFETCH(Framed, expected);
    // The same whether the bytes come at once or one by one.
    for (const qsizetype piece : {qsizetype(0), qsizetype(1)}) {
        const Framed framed = frame(stream, piece);
        QCOMPARE(framed.refused, expected.refused);
        QCOMPARE(framed.requests, expected.requests);
        QCOMPARE(framed.upgrade, expected.upgrade);
        QCOMPARE(framed.close, expected.close);
    }
}

void TestWebGate::connectionsPerClientAndInAll()
{
    startGate({3, 5, 10s, 30s});
    // Three from one address are let in; the fourth is turned away at once.
    std::vector<std::unique_ptr<RawConnection>> held;
    held.reserve(5);
    for (int i = 0; i < 3; ++i)
        held.push_back(open(1));
    QVERIFY(std::all_of(held.begin(), held.end(), [](const auto &c) { return c != nullptr; }));
    std::unique_ptr<RawConnection> fourth = open(1);
    QVERIFY(fourth);
    QCOMPARE(RawConnection::status(fourth->untilClosed()), 503);

    // Another address is let in, up to five in all.
    held.push_back(open(2));
    held.push_back(open(3));
    held.back()->send(get("Host: 127.0.0.1\r\n"));
    QCOMPARE(RawConnection::status(held.back()->answer()), 200);
    std::unique_ptr<RawConnection> sixth = open(4);
    QVERIFY(sixth);
    QCOMPARE(RawConnection::status(sixth->untilClosed()), 503);

    // One closes: the next is let in.
    held.front().reset();
    QVERIFY(QTest::qWaitFor([this] { return m_gate->connectionCount() == 4; }, 10'000));
    std::unique_ptr<RawConnection> next = open(4);
    QVERIFY(next);
    next->send(get("Host: 127.0.0.1\r\n"));
    QCOMPARE(RawConnection::status(next->answer()), 200);
}

void TestWebGate::slowAndIdleConnectionsEnd_data()
{
    QTest::addColumn<QByteArray>("first"); // sent at once
    QTest::addColumn<QByteArray>("trickle"); // then a byte of it every 100 ms, while open
    QTest::addColumn<int>("answered"); // the status of the one answer, or 0 for none
    QTest::newRow("nothing at all") << QByteArray() << QByteArray() << 0;
    QTest::newRow("half a head") << QByteArray("GET / HTTP/1.1\r\n") << QByteArray() << 408;
    QTest::newRow("a head that trickles")
        << QByteArray("GET / HTTP/1.1\r\n") << QByteArray(100, 'X') << 408;
    QTest::newRow("a body that stops")
        << QByteArray("POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 10\r\n\r\n12345")
        << QByteArray() << 408;
    QTest::newRow("idle after an answer") << get("Host: 127.0.0.1\r\n") << QByteArray() << 200;
}

void TestWebGate::slowAndIdleConnectionsEnd()
{
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, trickle);
    QFETCH(int, answered);
    startGate({32, 512, 300ms, 600ms});
    std::unique_ptr<RawConnection> connection = open();
    QVERIFY(connection);
    connection->send(first);
    // The client's own pace: a byte every 100 ms, never a whole head.
    QTimer pace;
    qsizetype sent = 0;
    connect(&pace, &QTimer::timeout, this, [&] {
        if (sent < trickle.size() && !connection->isClosed())
            connection->send(trickle.mid(sent++, 1));
    });
    pace.start(100ms);
    // Closed by the gate, whatever the client keeps sending.
    const QByteArray received = connection->untilClosed();
    QVERIFY(!received.isNull());
    QCOMPARE(RawConnection::status(received), answered);
    QCOMPARE(m_server->handled, answered == 200 ? 1 : 0);
}

void TestWebGate::answersGoOnOrEnd()
{
    startGate({});
    // Two requests in one write: both answered, in order, on a connection kept open.
    std::unique_ptr<RawConnection> kept = open();
    QVERIFY(kept);
    kept->send(
        "GET /one HTTP/1.1\r\nHost: localhost\r\n\r\nGET /two HTTP/1.1\r\nHost: bench\r\n\r\n");
    QVERIFY(kept->answer().endsWith("/one"));
    QVERIFY(kept->answer().endsWith("/two"));
    QVERIFY(!kept->isClosed());

    // Connection: close is honoured once the answer is written, and what follows it is never
    // served: the gate read no further, and must not let the server either.
    std::unique_ptr<RawConnection> closing = open();
    QVERIFY(closing);
    closing->send(get("Host: bench.local\r\nConnection: close\r\n")
        + "GET /after HTTP/1.1\r\nHost: rebound.example\r\n\r\n");
    const QByteArray closed = closing->untilClosed();
    QCOMPARE(RawConnection::status(closed), 200);
    QVERIFY2(!closed.contains("/after"), closed.constData());

    // Requests far ahead of their answers: a client that reads none is cut off.
    std::unique_ptr<RawConnection> pipelining = open();
    QVERIFY(pipelining);
    pipelining->send(get("Host: bench\r\n").repeated(GatedConnection::mostWaiting + 1));
    QCOMPARE(RawConnection::status(pipelining->untilClosed()), 400);
    QCOMPARE(m_server->handled, 3);
}

QTEST_GUILESS_MAIN(TestWebGate)
#include "tst_webgate.moc"
