#include "relay-mqtt/LineFeeder.h"

#include "protocol/RelayPacket.h"
#include "serial/HoldPace.h"
#include "serial/SerialLink.h"

#include <algorithm>
#include <utility>

using Kind = BridgeCommand::Kind;

LineFeeder::LineFeeder(SerialLink &link, LineBacklog::Clock clock, QObject *parent)
    : QObject(parent), m_link(link), m_clock(std::move(clock)), m_wake(this)
{
    m_wake.setSingleShot(true);
    // The line's pace is a few milliseconds per byte: a coarse timer would leave it idle.
    m_wake.setTimerType(Qt::PreciseTimer);
    connect(&m_wake, &QTimer::timeout, this, &LineFeeder::pump);
}

std::optional<QString> LineFeeder::submit(const BridgeCommand &command)
{
    if (!m_link.isOpen())
        return tr("%1: the serial port is not open").arg(command.text());

    if (command.kind == Kind::Hold) {
        m_holds.hold(command.card, command.relay, command.holdLength);
    } else {
        if (!m_queue.push(command)) {
            return tr("%1: %2 commands are already waiting for the line")
                .arg(command.text())
                .arg(CommandQueue::capacity);
        }
        // A held relay is let go of by whatever else is asked of it.
        if (command.kind == Kind::Set && m_holds.end(command.card, command.relay))
            emit holdEnded(command.card, command.relay);
        if (command.kind == Kind::All || command.kind == Kind::Stop)
            endHoldsOfCard(command.card);
    }
    pump();
    return std::nullopt;
}

std::optional<std::chrono::milliseconds> LineFeeder::nextWake() const
{
    if (!m_wake.isActive())
        return std::nullopt;
    return m_wake.intervalAsDuration();
}

void LineFeeder::pump()
{
    m_wake.stop();
    endExpiredHolds();
    if (!hasWork())
        return;
    if (HoldPace::mayRepeat(m_link, RelayPacket::burstSize)) {
        if (const std::optional<BridgeCommand> command = nextCommand())
            write(*command);
        if (!hasWork())
            return;
    }
    // Wake when the line has room for the next burst; at most one waits for it.
    const auto untilRoom = HoldPace::untilRepeat(m_link, RelayPacket::burstSize);
    m_wake.start(std::max(
        std::chrono::ceil<std::chrono::milliseconds>(untilRoom), std::chrono::milliseconds(1)));
}

void LineFeeder::endExpiredHolds()
{
    const auto isOver = [this](HoldSchedule::Time heldFor, std::chrono::milliseconds length) {
        return HoldPace::isOver(m_link, heldFor, length);
    };
    for (const HoldSchedule::Hold &over : m_holds.expire(m_clock(), isOver))
        emit holdEnded(over.card, over.relay);
}

void LineFeeder::endHoldsOfCard(quint8 card)
{
    for (const int relay : m_holds.endCard(card))
        emit holdEnded(card, relay);
}

std::optional<BridgeCommand> LineFeeder::nextCommand()
{
    // The queue's turn comes once every hold has had one; the stops do not wait for it.
    if (!m_queue.isEmpty() && (m_queuesTurn || m_holds.isEmpty() || m_queue.stopWaiting())) {
        m_queuesTurn = false;
        return m_queue.take();
    }
    bool lastOfRound = true;
    const std::optional<HoldSchedule::Hold> held = m_holds.next(m_clock(), &lastOfRound);
    if (!held)
        return m_queue.take();
    m_queuesTurn = lastOfRound;
    return BridgeCommand{
        held->card, Kind::Hold, held->relay, BridgeCommand::Setting::On, held->length};
}

void LineFeeder::write(const BridgeCommand &command)
{
    const QByteArray burst = command.burst();
    if (!m_link.write(burst)) {
        // The command itself is lost with the others; a hold is counted among the holds.
        fail(m_link.errorString(), command.kind == Kind::Hold ? 0 : 1);
        return;
    }
    emit burstWritten(command, burst);
}

void LineFeeder::endHolds()
{
    for (const HoldSchedule::Hold &over : m_holds.clear())
        emit holdEnded(over.card, over.relay);
}

void LineFeeder::fail(const QString &reason, qsizetype lost)
{
    const qsizetype dropped = lost + m_queue.clear() + m_holds.size();
    endHolds();
    emit lineFailed(reason, dropped);
}
