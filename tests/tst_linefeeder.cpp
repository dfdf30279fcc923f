#include "card/VirtualCard.h"
#include "protocol/RelayPacket.h"
#include "relay-mqtt/line/BridgeCommand.h"
#include "relay-mqtt/line/LineFeeder.h"
#include "serial/LineBacklog.h"
#include "serial/SerialLink.h"
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

BridgeCommand all(quint8 card, Setting setting)
{
    return {card, Kind::All, 0, setting, {}};
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
        QObject::connect(&feeder, &LineFeeder::burstWritten, [this](const BridgeCommand &command) {
            written.push_back({command, now, now + link.timeToCarry(), link.bytesWaiting()});
        });
        QObject::connect(
            &feeder, &LineFeeder::holdEnded, [this](quint8 card, int relay, HoldEnd why) {
                ended.push_back({card, relay});
                reasons.push_back(why);
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

    // Until the feeder has nothing left to do, or a bound that a feeder never idle would reach.
    void wakeUntilIdle()
    {
        for (int wakes = 0; wakes < 100000 && wake(); ++wakes) { }
        received += pty.readAll();
    }

    bool timerRunning() const
    {
        const QList<QTimer *> timers = feeder.findChildren<QTimer *>();
        return std::any_of(timers.begin(), timers.end(), [](QTimer *t) { return t->isActive(); });
    }

    // How many of the bursts written from the `from`th on carried `command`.
    qsizetype count(const BridgeCommand &command, qsizetype from = 0) const
    {
        return std::count_if(written.begin() + from, written.end(),
            [&](const Written &burst) { return burst.command == command; });
    }

    std::chrono::nanoseconds now = 1h;
    PseudoTerminal pty;
    SerialLink link;
    LineFeeder feeder;
    QList<Written> written;
    QList<QPair<quint8, int>> ended;
    QList<HoldEnd> reasons; // of the holds in `ended`
    QByteArray received; // what reached the far end of the line
};

} // namespace

class TestLineFeeder : public QObject
{
    Q_OBJECT

private slots:
    void idleLine();
    void stopBehindAFullQueue();
    void holdsTakeTurnsWithTheQueue();
    void holdLength_data();
    void holdLength();
    void holdReplaced();
    void twoHoldsAtOnce();
    void holdEndedBySetOrAll();
    void lostPortDropsEverythingThenRefuses();
    void interlocks_data();
    void interlocks();
    void commandsCarriedOrDropped_data();
    void commandsCarriedOrDropped();
};

void TestLineFeeder::idleLine()
{
    Bridge bridge;
    QCOMPARE(bridge.pty.readAll(), QByteArray());
    QVERIFY(!bridge.timerRunning());
    // An idle line takes a command at once, and then there is nothing to wake for.
    QCOMPARE(bridge.feeder.submit(set(1, 4, Setting::On)), std::nullopt);
    QCOMPARE(bridge.pty.readAll(), set(1, 4, Setting::On).burst());
    QVERIFY(!bridge.timerRunning());
}

void TestLineFeeder::stopBehindAFullQueue()
{
    Bridge bridge;
    for (int i = 0; i < 33; ++i)
        QVERIFY(!bridge.feeder.submit(set(quint8(1 + i % 2), 1 + i % 8, Setting::On)));
    QVERIFY(!bridge.feeder.submit(hold(1, 8, 10s)));
    // The stop comes just after a burst was written: the longest it can have to wait.
    for (int i = 0; i < 3; ++i)
        QVERIFY(bridge.wake());
    QVERIFY(bridge.link.bytesWaiting() > RelayPacket::burstSize);
    const auto arrival = bridge.now;
    const qsizetype before = bridge.written.size();
    QVERIFY(!bridge.feeder.submit(stop(1)));
    QCOMPARE(bridge.ended, (QList<QPair<quint8, int>>{{1, 8}}));
    QCOMPARE(bridge.reasons, QList<HoldEnd>{HoldEnd::Stop});
    bridge.wakeUntilIdle();

    // Whenever a burst was written, one was on the wire and less than one more behind it...
    for (const Written &burst : std::as_const(bridge.written))
        QVERIFY2(
            burst.waiting < 2 * qint64{RelayPacket::burstSize}, qPrintable(burst.command.text()));
    // ...so the stop, next out, is on the wire within two burst times.
    const Written &stopped = bridge.written.at(before);
    QCOMPARE(stopped.command, stop(1));
    const auto onTheWire = stopped.carried - burstTime;
    QVERIFY2(onTheWire - arrival <= 2 * burstTime,
        qPrintable(QString::number((onTheWire - arrival).count())));

    // Card 1 gets nothing after its stop; card 2 all 16 of its commands.
    const auto toCard = [&](quint8 card, qsizetype from) {
        return std::count_if(bridge.written.begin() + from, bridge.written.end(),
            [card](const Written &burst) { return burst.command.card == card; });
    };
    QCOMPARE(toCard(1, before + 1), 0);
    QCOMPARE(toCard(2, 0), 16);
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
    // each one's second is over on the line: relay 2's started a turn later, so it ends last.
    // A hold asked for in the middle of a round has its turn in it.
    QStringList turns;
    for (const Written &burst : std::as_const(bridge.written))
        turns << QString(burst.command.kind == Kind::Hold ? "H%1" : "S%1").arg(burst.command.relay);
    QCOMPARE(turns.join(u' '), "H1 H2 S1 H1 H2 S2 H1 H2 S3 H1 H2 S4 H2");
    QCOMPARE(bridge.ended.size(), 2);
}

void TestLineFeeder::holdLength_data()
{
    // How long a relay is held, and how many bursts that takes: the line carries 12 bursts a
    // second, and the held burst covers the hold's time from its first one.
    QTest::addColumn<int>("ms");
    QTest::addColumn<int>("holdsAhead"); // longer holds taking turns with it, asked for first
    QTest::addColumn<int>("bursts");

    QTest::newRow("83 ms, within one burst") << 83 << 0 << 1;
    QTest::newRow("84 ms, just over") << 84 << 0 << 2;
    QTest::newRow("250 ms, three bursts exactly") << 250 << 0 << 3;
    // Waking a little late for each burst must not add up over many.
    QTest::newRow("one minute") << 60000 << 0 << 720;
    // Its first burst waits three turns; its time counts from there, at one burst in four.
    QTest::newRow("900 ms behind a hold") << 900 << 1 << 5;
}

void TestLineFeeder::holdLength()
{
    QFETCH(int, ms);
    QFETCH(int, holdsAhead);
    QFETCH(int, bursts);
    Bridge bridge;
    for (int relay = 1; relay <= holdsAhead; ++relay)
        QVERIFY(!bridge.feeder.submit(hold(1, relay, 1h)));
    const BridgeCommand held = hold(1, 8, std::chrono::milliseconds(ms));
    QVERIFY(!bridge.feeder.submit(held));
    while (bridge.ended.isEmpty() && bridge.wake()) { }

    QCOMPARE(bridge.ended, (QList<QPair<quint8, int>>{{1, 8}}));
    QCOMPARE(bridge.reasons, QList<HoldEnd>{HoldEnd::TimeUp});
    QCOMPARE(bridge.count(held), bursts);
    const Written &first = bridge.written.at(holdsAhead);
    QCOMPARE(first.command, held);
    QVERIFY(bridge.now + bridge.link.timeToCarry() - first.at >= std::chrono::milliseconds(ms));
}

void TestLineFeeder::holdReplaced()
{
    Bridge bridge;
    QVERIFY(!bridge.feeder.submit(hold(2, 1, 10s)));
    for (int i = 0; i < 4; ++i)
        QVERIFY(bridge.wake());
    // The new hold takes the old one's place, and counts from its own first burst.
    QVERIFY(!bridge.feeder.submit(hold(2, 1, 250ms)));
    bridge.wakeUntilIdle();
    QCOMPARE(bridge.count(hold(2, 1, 10s)), 5);
    QCOMPARE(bridge.count(hold(2, 1, 250ms)), 3);
    QCOMPARE(bridge.ended, (QList<QPair<quint8, int>>{{2, 1}}));
}

void TestLineFeeder::twoHoldsAtOnce()
{
    Bridge bridge;
    QVERIFY(!bridge.feeder.submit(hold(1, 1, 10s)));
    QVERIFY(!bridge.feeder.submit(hold(1, 2, 10s)));
    // A third is refused, on any card; renewing one of the two is not a third.
    const std::optional<Refusal> third = bridge.feeder.submit(hold(2, 3, 10s));
    QVERIFY(third);
    QCOMPARE(third->cause, Refusal::Cause::HoldLimit);
    QVERIFY(!bridge.feeder.submit(hold(1, 2, 5s)));
    // Once one has ended, there is room again.
    QVERIFY(!bridge.feeder.submit(set(1, 1, Setting::Off)));
    QVERIFY(!bridge.feeder.submit(hold(2, 3, 10s)));
    for (int i = 0; i < 6; ++i)
        QVERIFY(bridge.wake());
    QVERIFY(bridge.count(hold(2, 3, 10s)) > 0);
}

void TestLineFeeder::holdEndedBySetOrAll()
{
    Bridge bridge;
    QVERIFY(!bridge.feeder.submit(hold(1, 2, 10s)));
    QVERIFY(!bridge.feeder.submit(hold(1, 3, 10s)));
    for (int i = 0; i < 3; ++i)
        QVERIFY(bridge.wake());
    QVERIFY(!bridge.feeder.submit(set(1, 2, Setting::Off)));
    QCOMPARE(bridge.ended, (QList<QPair<quint8, int>>{{1, 2}}));
    QCOMPARE(bridge.reasons, QList<HoldEnd>{HoldEnd::Command});
    const qsizetype before = bridge.written.size();
    for (int i = 0; i < 6; ++i)
        QVERIFY(bridge.wake());
    // Relay 2 gets its OFF and nothing more; relay 3 goes on being held.
    QCOMPARE(bridge.count(set(1, 2, Setting::Off), before), 1);
    QCOMPARE(bridge.count(hold(1, 2, 10s), before), 0);
    QCOMPARE(bridge.count(hold(1, 3, 10s), before), 5);

    // All off ends the rest at once: it is the last burst on the line.
    const BridgeCommand allOff{1, Kind::All, 0, Setting::Off, {}};
    QVERIFY(!bridge.feeder.submit(allOff));
    QCOMPARE(bridge.ended.size(), 2);
    bridge.wakeUntilIdle();
    QVERIFY(bridge.received.endsWith(allOff.burst()));
}

void TestLineFeeder::lostPortDropsEverythingThenRefuses()
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
    QCOMPARE(bridge.reasons, QList<HoldEnd>{HoldEnd::LineFailed});
    QCOMPARE(bridge.feeder.queuedCount(), 0);
    QVERIFY(!bridge.timerRunning());

    // A closed port takes nothing more: a command must not wait for a port that may not return.
    const std::optional<Refusal> refusal = bridge.feeder.submit(stop(1));
    QVERIFY(refusal);
    QCOMPARE(refusal->cause, Refusal::Cause::PortClosed);
    QVERIFY2(refusal->text.contains("not open"), qPrintable(refusal->text));
}

void TestLineFeeder::interlocks_data()
{
    // Card 1 has the groups 1 2 and 5 6 7; relays 2 and 7 are on as the test starts.
    QTest::addColumn<QList<BridgeCommand>>("commands");
    QTest::addColumn<QString>("turns"); // the bursts written, in order
    QTest::addColumn<QString>("refused"); // of a command refused, a word of the reason

    QTest::newRow("ON after the partner's OFF")
        << QList<BridgeCommand>{set(1, 1, Setting::On)} << "C2 S1" << QString();
    // Whatever the bridge believes: 5 and 6 get their OFF too.
    QTest::newRow("toggle from off")
        << QList<BridgeCommand>{set(1, 6, Setting::Toggle)} << "C5 C7 T6" << QString();
    QTest::newRow("toggle from on, no OFF")
        << QList<BridgeCommand>{set(1, 7, Setting::Toggle)} << "T7" << QString();
    QTest::newRow("relay out of any group") << QList<BridgeCommand>{set(1, 3, Setting::On),
        set(2, 1, Setting::On)} << "S3 S1" << QString();
    // The hold of 5 is let go of by the card before 6 comes on.
    QTest::newRow("hold against a held partner")
        << QList<BridgeCommand>{hold(1, 5, 1s), set(1, 3, Setting::Off), hold(1, 6, 200ms)}
        << "C6 C7 P5 C3 P5 C5 C7 P6 P6 P6" << QString();
    QTest::newRow("stop before the ON")
        << QList<BridgeCommand>{set(1, 1, Setting::On), stop(1)} << "C2 E1" << QString();
    QTest::newRow("all ON refused") << QList<BridgeCommand>{all(1, Setting::On)} << ""
                                    << "interlocked";
    QTest::newRow("all ON of another card")
        << QList<BridgeCommand>{all(2, Setting::On), all(1, Setting::Off)} << "S9 C9" << QString();
}

void TestLineFeeder::interlocks()
{
    QFETCH(QList<BridgeCommand>, commands);
    QFETCH(QString, turns);
    QFETCH(QString, refused);
    constexpr auto deadTime = 100ms;
    Bridge bridge;
    std::chrono::milliseconds clock{};
    VirtualCard mirror(1, [&clock] { return clock; });
    mirror.setRelays({false, true, false, false, false, false, true, false});
    QObject::connect(&bridge.feeder, &LineFeeder::burstWritten,
        [&](const BridgeCommand &, const QByteArray &burst) {
            for (int at = 0; at < burst.size(); at += RelayPacket::packetSize)
                mirror.receive(QByteArrayView(burst).sliced(at, RelayPacket::packetSize));
        });
    bridge.feeder.setInterlocks(InterlockGroups({{1, {{1, 2}, {5, 6, 7}}}}), deadTime,
        [&mirror](quint8 card, int relay) { return card == 1 && mirror.relays().at(relay - 1); });
    for (const BridgeCommand &command : commands) {
        const std::optional<Refusal> refusal = bridge.feeder.submit(command);
        QCOMPARE(refusal.has_value(), !refused.isEmpty());
        if (refusal)
            QVERIFY2(refusal->text.contains(refused), qPrintable(refusal->text));
    }
    bridge.wakeUntilIdle();

    QStringList written;
    for (const Written &burst : std::as_const(bridge.written)) {
        const QByteArray bytes = burst.command.burst();
        written << QString(QChar(bytes.at(2))) + QChar(bytes.at(3));
    }
    QCOMPARE(written.join(u' '), turns);
    // Nothing turns on before its partners' OFF has left the line and the dead time passed;
    // nor before the card has let go of a held partner.
    const QList<QList<int>> groups{{1, 2}, {5, 6, 7}};
    for (qsizetype i = 0; i < bridge.written.size(); ++i) {
        const BridgeCommand &on = bridge.written.at(i).command;
        if (on.kind == Kind::Set && on.setting == Setting::Off)
            continue;
        for (qsizetype j = 0; j < i; ++j) {
            const Written &before = bridge.written.at(j);
            const auto group = std::find_if(groups.begin(), groups.end(),
                [&](const QList<int> &g) { return g.contains(on.relay); });
            if (before.command.card != 1 || on.card != 1 || group == groups.end()
                || !group->contains(before.command.relay) || before.command.relay == on.relay)
                continue;
            const auto free = before.command.kind == Kind::Hold
                ? before.carried + VirtualCard::holdTime + deadTime
                : before.carried + deadTime;
            QVERIFY2(bridge.written.at(i).at >= free || on.kind == Kind::Stop,
                qPrintable(
                    QStringLiteral("%1 too soon after %2").arg(on.text(), before.command.text())));
        }
    }
}

void TestLineFeeder::commandsCarriedOrDropped_data()
{
    // Each command's ticket is its place in the list, from 1. Card 1 has the group 1 2.
    QTest::addColumn<QList<BridgeCommand>>("commands");
    QTest::addColumn<bool>("portLost"); // the port closes once all are submitted
    QTest::addColumn<QString>("carried"); // the tickets carried, in order
    QTest::addColumn<QString>("dropped"); // the tickets dropped, in order

    QTest::newRow("a stop drops its card's queue") << QList<BridgeCommand>{set(1, 3, Setting::On),
        set(1, 4, Setting::On), set(2, 3, Setting::On), set(1, 5, Setting::On), stop(1)}
                                                   << false << "1 5 3"
                                                   << "2 4";
    QTest::newRow("a stop drops the ON waiting for its partner's OFF")
        << QList<BridgeCommand>{set(1, 1, Setting::On), stop(1)} << false << "2"
        << "1";
    QTest::newRow("a lost port drops all that waits")
        << QList<BridgeCommand>{set(1, 3, Setting::On), set(2, 4, Setting::On), stop(1)} << true
        << "1"
        << "3 2";
}

void TestLineFeeder::commandsCarriedOrDropped()
{
    QFETCH(QList<BridgeCommand>, commands);
    QFETCH(bool, portLost);
    QFETCH(QString, carried);
    QFETCH(QString, dropped);
    Bridge bridge;
    bridge.feeder.setInterlocks(
        InterlockGroups({{1, {{1, 2}}}}), 100ms, [](quint8, int) { return false; });
    QStringList carriedTickets;
    QStringList droppedTickets;
    QList<HoldEnd> reasons;
    QObject::connect(
        &bridge.feeder, &LineFeeder::commandCarried, [&](const BridgeCommand &command) {
            if (command.ticket != 0)
                carriedTickets << QString::number(command.ticket);
        });
    QObject::connect(&bridge.feeder, &LineFeeder::commandDropped,
        [&](const BridgeCommand &command, HoldEnd why) {
            droppedTickets << QString::number(command.ticket);
            reasons << why;
        });
    quint64 ticket = 0;
    for (BridgeCommand command : commands) {
        command.ticket = ++ticket;
        QVERIFY(!bridge.feeder.submit(command));
    }
    if (portLost)
        bridge.link.close();
    bridge.wakeUntilIdle();
    QCOMPARE(carriedTickets.join(u' '), carried);
    QCOMPARE(droppedTickets.join(u' '), dropped);
    QCOMPARE(
        reasons, QList<HoldEnd>(reasons.size(), portLost ? HoldEnd::LineFailed : HoldEnd::Stop));
}

QTEST_GUILESS_MAIN(TestLineFeeder)
#include "tst_linefeeder.moc"
