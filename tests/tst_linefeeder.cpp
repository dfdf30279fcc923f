#include "card/PacketDecoder.h"
#include "card/VirtualCard.h"
#include "protocol/RelayPacket.h"
#include "relay-mqtt/BridgeCommand.h"
#include "relay-mqtt/LineFeeder.h"
#include "serial/LineBacklog.h"
#include "serial/SerialLink.h"
#include "sim/HeadlessLog.h"
#include "support/PseudoTerminal.h"

#include <QTest>
#include <QTimer>

using namespace std::chrono_literals;
using Kind = BridgeCommand::Kind;
using Setting = BridgeCommand::Setting;

namespace {

constexpr auto burstTime = std::chrono::duration_cast<std::chrono::nanoseconds>(
    LineBacklog::ByteTime(RelayPacket::burstSize));

BridgeCommand set(quint8 card, int relay, Setting setting)
{
    return {card, Kind::Set, relay, setting, {}};
}

BridgeCommand hold(quint8 card, int relay, std::chrono::milliseconds length)
{
    return {card, Kind::Hold, relay, Setting::On, length};
}

BridgeCommand stop(quint8 card)
{
    return {card, Kind::Stop};
}

// A burst the feeder wrote, and when, on the test's clock.
struct Written
{
    BridgeCommand command;
    std::chrono::nanoseconds at;
    std::chrono::nanoseconds carried; // when the line has carried it
    qint64 waiting; // bytes waiting for the line once it was written
};

// A feeder on a pseudo-terminal, with a clock only the test moves. Nothing runs the event loop:
// the test plays the feeder's timer itself with wake().
struct Bridge
{
    Bridge() : link([this](int) { return pty.name(); }), feeder(link, [this] { return now; })
    {
        link.setClock([this] { return now; });
        link.open(1);
        QObject::connect(&feeder, &LineFeeder::burstWritten,
            [this](const BridgeCommand &command, const QByteArray &burst) {
                QCOMPARE(burst, command.burst());
                written.push_back({command, now, now + link.timeToCarry(), link.bytesWaiting()});
            });
        QObject::connect(&feeder, &LineFeeder::holdEnded, [this](quint8 card, int relay) {
            ended.push_back({card, relay});
        });
    }

    // What the feeder's timer does when it fires: the clock has moved on to it.
    bool wake()
    {
        const std::optional<std::chrono::milliseconds> wait = feeder.nextWake();
        if (!wait)
            return false;
        now += *wait;
        feeder.pump();
        received += pty.readAll(0ms);
        return true;
    }

    // Until the feeder has nothing left to do; how many wake-ups that took.
    int wakeUntilIdle(int most = 100000)
    {
        int wakes = 0;
        while (wakes < most && wake())
            ++wakes;
        received += pty.readAll();
        return wakes;
    }

    bool timerRunning() const
    {
        const QList<QTimer *> timers = feeder.findChildren<QTimer *>();
        return std::any_of(timers.begin(), timers.end(), [](QTimer *t) { return t->isActive(); });
    }

    QList<BridgeCommand> commands() const
    {
        QList<BridgeCommand> sent;
        for (const Written &burst : written)
            sent << burst.command;
        return sent;
    }

    qsizetype bursts(quint8 card, int relay) const
    {
        return std::count_if(written.begin(), written.end(), [&](const Written &burst) {
            return burst.command.card == card && burst.command.relay == relay;
        });
    }

    std::chrono::nanoseconds now = 1h;
    PseudoTerminal pty;
    SerialLink link;
    LineFeeder feeder;
    QList<Written> written;
    QList<QPair<quint8, int>> ended;
    QByteArray received; // what reached the far end of the line
};

// What the bytes off the line do to a card, told apart from what the feeder reports.
VirtualCard cardAfter(quint8 address, const QByteArray &line)
{
    VirtualCard card(address, [] { return 0ms; });
    PacketDecoder decoder;
    for (const QByteArray &packet : decoder.feed(line))
        card.receive(packet);
    return card;
}

QString letters(const QList<BridgeCommand> &commands)
{
    QStringList text;
    for (const BridgeCommand &command : commands)
        text << (command.kind == Kind::Hold ? QStringLiteral("H%1").arg(command.relay)
                                            : QStringLiteral("S%1").arg(command.card));
    return text.join(u' ');
}

} // namespace

class TestLineFeeder : public QObject
{
    Q_OBJECT

private slots:
    void nothingAtStart();
    void oneCommandThenIdle();
    void neverMoreThanOneBurstWaiting();
    void stopBehindAFullQueue();
    void holdsTakeTurnsWithTheQueue();
    void holdLength_data();
    void holdLength();
    void holdTimeStartsAtItsFirstBurst();
    void holdReplaced();
    void holdEndedBySet();
    void closedPortRefuses();
    void lostPortDropsEverything();
};

void TestLineFeeder::nothingAtStart()
{
    Bridge bridge;
    QVERIFY(bridge.link.isOpen());
    QCOMPARE(bridge.pty.readAll(), QByteArray());
    QVERIFY(!bridge.feeder.nextWake());
    QVERIFY(!bridge.timerRunning());
    QCOMPARE(bridge.link.bytesWaiting(), 0);
}

void TestLineFeeder::oneCommandThenIdle()
{
    Bridge bridge;
    QCOMPARE(bridge.feeder.submit(set(1, 4, Setting::On)), std::nullopt);
    // An idle line takes it at once, and then there is nothing to wake for.
    QCOMPARE(bridge.pty.readAll(), set(1, 4, Setting::On).burst());
    QVERIFY(!bridge.timerRunning());
    QCOMPARE(bridge.wakeUntilIdle(), 0);
}

void TestLineFeeder::neverMoreThanOneBurstWaiting()
{
    Bridge bridge;
    QVERIFY(!bridge.feeder.submit(hold(1, 1, 2s)));
    QVERIFY(!bridge.feeder.submit(hold(1, 2, 2s)));
    for (int i = 0; i < 32; ++i)
        QVERIFY(!bridge.feeder.submit(set(2, 1 + i % 8, Setting::Toggle)));
    QVERIFY(bridge.feeder.submit(set(2, 1, Setting::On)));
    QVERIFY(bridge.wakeUntilIdle() > 0);

    // One burst on the wire and less than one more behind it, whenever a burst was written.
    for (const Written &burst : std::as_const(bridge.written))
        QVERIFY2(
            burst.waiting < 2 * qint64(RelayPacket::burstSize), qPrintable(burst.command.text()));
    QCOMPARE(bridge.received.size(), bridge.written.size() * RelayPacket::burstSize);
    QVERIFY(!bridge.timerRunning());
    QCOMPARE(bridge.feeder.queuedCount(), 0);
    QCOMPARE(bridge.feeder.holdCount(), 0);
}

void TestLineFeeder::stopBehindAFullQueue()
{
    Bridge bridge;
    QList<BridgeCommand> card2;
    for (int i = 0; i < 33; ++i) {
        const BridgeCommand command = set(quint8(1 + i % 2), 1 + i % 8, Setting::On);
        QVERIFY(!bridge.feeder.submit(command));
        if (command.card == 2 && i > 0)
            card2 << command;
    }
    QVERIFY(!bridge.feeder.submit(hold(1, 8, 10s)));
    // The stop comes just after a burst was written: the longest it can have to wait.
    for (int i = 0; i < 3; ++i)
        QVERIFY(bridge.wake());
    QVERIFY(bridge.link.bytesWaiting() > RelayPacket::burstSize);
    const auto arrival = bridge.now;
    const qsizetype before = bridge.written.size();
    QVERIFY(!bridge.feeder.submit(stop(1)));
    QCOMPARE(bridge.ended, (QList<QPair<quint8, int>>{{1, 8}}));
    bridge.wakeUntilIdle();

    const QList<BridgeCommand> after = bridge.commands().sliced(before);
    QVERIFY(!after.isEmpty());
    QCOMPARE(after.front(), stop(1));
    // It is on the wire within two burst times: one on the wire, one waiting, at most.
    const Written &stopped = bridge.written.at(before);
    const auto onTheWire = stopped.carried - burstTime;
    QVERIFY2(onTheWire - arrival <= 2 * burstTime,
        qPrintable(QString::number((onTheWire - arrival).count())));
    // Card 2's commands all go out after it; card 1 gets nothing more.
    QList<BridgeCommand> rest = after.sliced(1);
    const QList<BridgeCommand> sentToCard2 = bridge.commands().sliced(0, before) + rest;
    QList<BridgeCommand> card2Sent;
    for (const BridgeCommand &command : sentToCard2) {
        if (command.card == 2)
            card2Sent << command;
    }
    QCOMPARE(card2Sent, card2);
    QVERIFY(std::none_of(rest.begin(), rest.end(), [](auto &c) { return c.card == 1; }));

    // The cards at the far end: card 1 all off, card 2 as its commands left it.
    QCOMPARE(HeadlessLog::relayString(cardAfter(1, bridge.received).relays()), "00000000");
    QCOMPARE(HeadlessLog::relayString(cardAfter(2, bridge.received).relays()), "01010101");
    const QByteArray stopBurst = stop(1).burst();
    const qsizetype stopAt = bridge.received.indexOf(stopBurst);
    QVERIFY(stopAt >= 0);
    QCOMPARE(cardAfter(1, bridge.received.sliced(stopAt + stopBurst.size())).commandCount(), 0);
}

void TestLineFeeder::holdsTakeTurnsWithTheQueue()
{
    Bridge bridge;
    QVERIFY(!bridge.feeder.submit(hold(1, 1, 1s)));
    QVERIFY(!bridge.feeder.submit(hold(1, 2, 1s)));
    for (int i = 0; i < 4; ++i)
        QVERIFY(!bridge.feeder.submit(set(2, 1 + i, Setting::On)));
    bridge.wakeUntilIdle();

    // Each hold once, then one queued command, while there are any; then the holds alone, until
    // its second is over on the line. Relay 2's first burst was written a turn after relay 1's, so
    // it ends last.
    QCOMPARE(letters(bridge.commands()), "H1 S2 H2 S2 H1 H2 S2 H1 H2 S2 H1 H2 H2 H2");
    QCOMPARE(bridge.ended.size(), 2);
    QCOMPARE(HeadlessLog::relayString(cardAfter(2, bridge.received).relays()), "11110000");
}

void TestLineFeeder::holdLength_data()
{
    // How long a relay is held, and how many bursts that takes on an idle line: the line carries
    // 12 bursts a second, and the held burst covers the hold's time from its first one.
    QTest::addColumn<int>("ms");
    QTest::addColumn<int>("bursts");

    QTest::newRow("1 ms") << 1 << 1;
    QTest::newRow("83 ms, within one burst") << 83 << 1;
    QTest::newRow("84 ms") << 84 << 2;
    QTest::newRow("250 ms, three bursts exactly") << 250 << 3;
    QTest::newRow("251 ms") << 251 << 4;
    QTest::newRow("one second") << 1000 << 12;
    QTest::newRow("one minute") << 60000 << 720;
}

void TestLineFeeder::holdLength()
{
    QFETCH(int, ms);
    QFETCH(int, bursts);

    Bridge bridge;
    const BridgeCommand held = hold(3, 6, std::chrono::milliseconds(ms));
    QVERIFY(!bridge.feeder.submit(held));
    bridge.wakeUntilIdle();

    QCOMPARE(bridge.written.size(), bursts);
    QCOMPARE(bridge.received, held.burst().repeated(bursts));
    QCOMPARE(bridge.ended, (QList<QPair<quint8, int>>{{3, 6}}));
    QCOMPARE(bridge.feeder.holdCount(), 0);
    QVERIFY(!bridge.timerRunning());
}

void TestLineFeeder::holdTimeStartsAtItsFirstBurst()
{
    Bridge bridge;
    for (int relay = 1; relay <= 3; ++relay)
        QVERIFY(!bridge.feeder.submit(hold(1, relay, 5s)));
    // Relay 4 waits three turns for its first burst; its 900 ms count from there: with four
    // holds taking turns, three of its bursts fall within them.
    QVERIFY(!bridge.feeder.submit(hold(1, 4, 900ms)));
    while (bridge.ended.isEmpty() && bridge.wake()) { }
    QCOMPARE(bridge.ended, (QList<QPair<quint8, int>>{{1, 4}}));
    QCOMPARE(bridge.bursts(1, 4), 3);
    const auto first = std::find_if(bridge.written.begin(), bridge.written.end(),
        [](const Written &burst) { return burst.command.relay == 4; });
    QVERIFY(first->at > 1h + 2 * burstTime);
    QVERIFY(bridge.now + bridge.link.timeToCarry() - first->at >= 900ms);
}

void TestLineFeeder::holdReplaced()
{
    Bridge bridge;
    QVERIFY(!bridge.feeder.submit(hold(2, 1, 10s)));
    for (int i = 0; i < 4; ++i)
        QVERIFY(bridge.wake());
    QCOMPARE(bridge.bursts(2, 1), 5);
    // The new hold counts from its own first burst, and the old one does not end on its own.
    QVERIFY(!bridge.feeder.submit(hold(2, 1, 250ms)));
    QCOMPARE(bridge.feeder.holdCount(), 1);
    bridge.wakeUntilIdle();
    QCOMPARE(bridge.bursts(2, 1), 5 + 3);
    QCOMPARE(bridge.ended, (QList<QPair<quint8, int>>{{2, 1}}));
}

void TestLineFeeder::holdEndedBySet()
{
    Bridge bridge;
    QVERIFY(!bridge.feeder.submit(hold(1, 2, 10s)));
    QVERIFY(!bridge.feeder.submit(hold(1, 3, 10s)));
    for (int i = 0; i < 3; ++i)
        QVERIFY(bridge.wake());
    QVERIFY(!bridge.feeder.submit(set(1, 2, Setting::Off)));
    QCOMPARE(bridge.ended, (QList<QPair<quint8, int>>{{1, 2}}));
    const qsizetype before = bridge.written.size();
    for (int i = 0; i < 6; ++i)
        QVERIFY(bridge.wake());
    // Relay 3 goes on being held; relay 2 gets its OFF and nothing more.
    const QList<BridgeCommand> after = bridge.commands().sliced(before);
    QCOMPARE(after.count(set(1, 2, Setting::Off)), 1);
    QCOMPARE(after.count(hold(1, 2, 10s)), 0);
    QCOMPARE(after.count(hold(1, 3, 10s)), 5);

    // All off ends the rest at once.
    QVERIFY(!bridge.feeder.submit({1, Kind::All, 0, Setting::Off, {}}));
    QCOMPARE(bridge.ended.size(), 2);
    bridge.wakeUntilIdle();
    QCOMPARE(bridge.feeder.holdCount(), 0);
    QVERIFY(bridge.received.endsWith(BridgeCommand{1, Kind::All, 0, Setting::Off, {}}.burst()));
}

void TestLineFeeder::closedPortRefuses()
{
    Bridge bridge;
    bridge.link.close();
    const std::optional<QString> refusal = bridge.feeder.submit(stop(1));
    QVERIFY(refusal);
    QVERIFY2(refusal->contains("not open"), qPrintable(*refusal));
    QCOMPARE(bridge.feeder.queuedCount(), 0);
    QVERIFY(!bridge.timerRunning());
}

void TestLineFeeder::lostPortDropsEverything()
{
    Bridge bridge;
    QList<qsizetype> dropped;
    QObject::connect(&bridge.feeder, &LineFeeder::lineFailed,
        [&dropped](const QString &, qsizetype count) { dropped << count; });
    QVERIFY(!bridge.feeder.submit(hold(1, 1, 10s)));
    for (int i = 0; i < 5; ++i)
        QVERIFY(!bridge.feeder.submit(set(1, 2, Setting::Toggle)));
    bridge.link.close();
    bridge.wakeUntilIdle();
    QCOMPARE(dropped, QList<qsizetype>{6});
    QCOMPARE(bridge.ended, (QList<QPair<quint8, int>>{{1, 1}}));
    QCOMPARE(bridge.feeder.queuedCount(), 0);
    QCOMPARE(bridge.feeder.holdCount(), 0);
    QVERIFY(!bridge.timerRunning());
}

QTEST_GUILESS_MAIN(TestLineFeeder)
#include "tst_linefeeder.moc"
