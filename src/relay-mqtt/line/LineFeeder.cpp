#include "relay-mqtt/line/LineFeeder.h"

#include "serial/HoldPace.h"
#include "serial/SerialLink.h"

#include <algorithm>
#include <utility>

using Kind = BridgeCommand::Kind;
using Setting = BridgeCommand::Setting;

LineFeeder::LineFeeder(SerialLink &link, LineBacklog::Clock clock, QObject *parent)
    : QObject(parent), m_link(link), m_clock(std::move(clock)), m_wake(this)
{
    m_wake.setSingleShot(true);
    // The line's pace is a few milliseconds per byte: a coarse timer would leave it idle.
    m_wake.setTimerType(Qt::PreciseTimer);
    connect(&m_wake, &QTimer::timeout, this, &LineFeeder::pump);
}

void LineFeeder::setInterlocks(
    InterlockGroups groups, std::chrono::milliseconds delay, RelayState isOn)
{
    m_interlocks = std::move(groups);
    m_interlockDelay = delay;
    m_isOn = std::move(isOn);
}

std::optional<Refusal> LineFeeder::submit(const BridgeCommand &command)
{
    using Cause = Refusal::Cause;
    if (!m_link.isOpen())
        return Refusal{Cause::PortClosed, tr("the serial port is not open")};
    if (command.kind == Kind::All && command.setting == Setting::On
        && m_interlocks.hasGroups(command.card))
        return Refusal{Cause::Interlock,
            tr("the card has interlocked relays, which all ON would turn on together")};

    const bool interlocked = !m_interlocks.partners(command.card, command.relay).isEmpty();
    if (command.kind == Kind::Hold) {
        const bool renewal = m_holds.holds(command.card, command.relay);
        if (!renewal && holdsAskedFor() >= mostHolds) {
            return Refusal{Cause::HoldLimit,
                tr("%n relay(s) are held already, as many as the line keeps held at once", nullptr,
                    int(mostHolds))};
        }
        // A hold that turns an interlocked relay on waits in the queue for its partners' OFF.
        if (renewal || !interlocked) {
            m_holds.hold(command.card, command.relay, command.holdLength);
            pump();
            return std::nullopt;
        }
    }
    std::vector<BridgeCommand> dropped;
    if (!m_queue.push(command, &dropped))
        return Refusal{Cause::QueueFull,
            tr("%1 commands are already waiting for the line").arg(CommandQueue::capacity)};
    for (const BridgeCommand &lost : dropped)
        emit commandDropped(lost, HoldEnd::Stop);
    // A held relay is let go of by whatever else is asked of it.
    if (command.kind == Kind::Set)
        endHold(command.card, command.relay, HoldEnd::Command);
    endHoldsOfCard(command);
    // Nothing asked before a stop may turn a relay on after it.
    if (command.kind == Kind::Stop)
        dropInterlockOf(command.card);
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
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(
        HoldPace::untilRepeat(m_link, RelayPacket::burstSize));
    if (HoldPace::mayRepeat(m_link, RelayPacket::burstSize)) {
        const std::optional<Turn> turn = nextTurn();
        if (turn)
            write(*turn);
        if (!hasWork())
            return;
        wait = std::chrono::ceil<std::chrono::milliseconds>(
            HoldPace::untilRepeat(m_link, RelayPacket::burstSize));
        // Only an interlock's dead time is left: nothing to write until it has passed.
        if (!turn && m_interlock && m_interlock->notBefore)
            wait
                = std::chrono::ceil<std::chrono::milliseconds>(*m_interlock->notBefore - m_clock());
    }
    // Wake when the line has room for the next burst; at most one waits for it.
    m_wake.start(std::max(wait, std::chrono::milliseconds(1)));
}

qsizetype LineFeeder::holdsAskedFor() const
{
    const bool interlockHold = m_interlock && m_interlock->command.kind == Kind::Hold;
    return m_holds.size() + m_queue.count(Kind::Hold) + (interlockHold ? 1 : 0);
}

bool LineFeeder::turnsOn(const BridgeCommand &command) const
{
    switch (command.kind) {
    case Kind::Set:
        return command.setting == Setting::On
            || (command.setting == Setting::Toggle && m_isOn
                && !m_isOn(command.card, command.relay));
    case Kind::Hold:
        return !m_holds.holds(command.card, command.relay);
    case Kind::All:
    case Kind::Stop:
    case Kind::Show:
        return false;
    }
    return false;
}

void LineFeeder::endExpiredHolds()
{
    const auto isOver = [this](HoldSchedule::Time heldFor, std::chrono::milliseconds length) {
        return HoldPace::isOver(m_link, heldFor, length);
    };
    for (const HoldSchedule::Hold &over : m_holds.expire(m_clock(), isOver))
        emit holdEnded(over.card, over.relay, HoldEnd::TimeUp);
}

void LineFeeder::endHoldsOfCard(const BridgeCommand &command)
{
    if (command.kind != Kind::All && command.kind != Kind::Stop)
        return;
    const HoldEnd why = command.kind == Kind::Stop ? HoldEnd::Stop : HoldEnd::Command;
    for (const int relay : m_holds.endCard(command.card))
        emit holdEnded(command.card, relay, why);
}

void LineFeeder::endHold(quint8 card, int relay, HoldEnd why)
{
    if (m_holds.end(card, relay))
        emit holdEnded(card, relay, why);
}

bool LineFeeder::queueReady(Time now) const
{
    if (!m_interlock)
        return !m_queue.isEmpty();
    return !m_interlock->offs.empty() || (m_interlock->notBefore && now >= *m_interlock->notBefore);
}

std::optional<LineFeeder::Turn> LineFeeder::nextTurn()
{
    const Time now = m_clock();
    // A stop goes before anything, an interlock's dead time included.
    if (m_queue.stopWaiting())
        return queueTurn(now);
    // The queue's turn comes once every hold has had one.
    if (queueReady(now) && m_holds.roundOver()) {
        m_holds.startRound();
        if (std::optional<Turn> turn = m_interlock ? interlockTurn(now) : queueTurn(now))
            return turn;
    }
    bool first = false;
    const std::optional<HoldSchedule::Hold> held = m_holds.next(now, &first);
    if (!held)
        return std::nullopt;
    return Turn{{held->card, Kind::Hold, held->relay, Setting::On, held->length}, first};
}

std::optional<LineFeeder::Turn> LineFeeder::queueTurn(Time now)
{
    const std::optional<BridgeCommand> command = m_queue.take();
    if (!command)
        return std::nullopt;
    // A hold queued before this may have started since it was asked for.
    if (command->kind == Kind::Set)
        endHold(command->card, command->relay, HoldEnd::Command);
    endHoldsOfCard(*command);
    if (command->kind == Kind::Stop)
        dropInterlockOf(command->card);
    if (turnsOn(*command) && !m_interlocks.partners(command->card, command->relay).isEmpty()) {
        startInterlock(*command, now);
        return interlockTurn(now);
    }
    if (command->kind == Kind::Hold) {
        m_holds.hold(command->card, command->relay, command->holdLength);
        return std::nullopt; // its first burst in the holds' turns
    }
    return Turn{*command, true};
}

void LineFeeder::startInterlock(const BridgeCommand &command, Time now)
{
    Interlock interlock{command, {}, now, std::nullopt};
    for (const int partner : m_interlocks.partners(command.card, command.relay)) {
        // A held partner counts as on: the card lets go of it a while after its last burst.
        if (const std::optional<HoldSchedule::Hold> held = m_holds.end(command.card, partner)) {
            if (held->carried)
                interlock.partnersLetGo = std::max(interlock.partnersLetGo,
                    *held->carried + std::chrono::nanoseconds(cardHoldTime));
            emit holdEnded(command.card, partner, HoldEnd::Interlock);
        }
        // Whatever the bridge believes of it: the card may know better.
        interlock.offs.push_back({command.card, Kind::Set, partner, Setting::Off, {}});
    }
    m_interlock = std::move(interlock);
}

void LineFeeder::dropInterlockOf(quint8 card)
{
    if (!m_interlock || m_interlock->command.card != card)
        return;
    const BridgeCommand dropped = m_interlock->command;
    m_interlock.reset();
    emit commandDropped(dropped, HoldEnd::Stop);
}

std::optional<LineFeeder::Turn> LineFeeder::interlockTurn(Time now)
{
    Interlock &interlock = *m_interlock;
    if (!interlock.offs.empty()) {
        const BridgeCommand off = interlock.offs.front();
        interlock.offs.pop_front();
        if (interlock.offs.empty()) {
            // Written now, the last OFF has left the line once what waits and it have.
            const Time carried = now + m_link.timeToCarry()
                + std::chrono::duration_cast<std::chrono::nanoseconds>(burstTime);
            interlock.notBefore = std::max(carried, interlock.partnersLetGo)
                + std::chrono::nanoseconds(m_interlockDelay);
        }
        return Turn{off, true};
    }
    if (!interlock.notBefore || now < *interlock.notBefore)
        return std::nullopt;
    const BridgeCommand command = interlock.command;
    m_interlock.reset();
    if (command.kind == Kind::Hold) {
        m_holds.hold(command.card, command.relay, command.holdLength);
        return std::nullopt;
    }
    return Turn{command, true};
}

void LineFeeder::write(const Turn &turn)
{
    const BridgeCommand &command = turn.command;
    const QByteArray burst = command.burst();
    if (!m_link.write(burst)) {
        // The command itself is lost with the others; a hold is counted among the holds.
        fail(m_link.errorString(),
            command.kind == Kind::Hold ? std::nullopt : std::optional<BridgeCommand>(command));
        return;
    }
    if (command.kind == Kind::Hold)
        m_holds.written(command.card, command.relay, m_clock() + m_link.timeToCarry());
    emit burstWritten(command, burst);
    if (turn.carriesCommand)
        emit commandCarried(command);
}

void LineFeeder::letGo(quint8 card, int relay)
{
    endHold(card, relay, HoldEnd::LetGo);
    pump();
}

void LineFeeder::endHolds(HoldEnd why)
{
    for (const HoldSchedule::Hold &over : m_holds.clear())
        emit holdEnded(over.card, over.relay, why);
}

void LineFeeder::fail(const QString &reason, const std::optional<BridgeCommand> &lost)
{
    std::vector<BridgeCommand> dropped = m_queue.clear();
    if (lost)
        dropped.insert(dropped.begin(), *lost);
    if (m_interlock)
        dropped.push_back(m_interlock->command);
    m_interlock.reset();
    const qsizetype count = qsizetype(dropped.size()) + m_holds.size();
    endHolds(HoldEnd::LineFailed);
    for (const BridgeCommand &command : dropped)
        emit commandDropped(command, HoldEnd::LineFailed);
    emit lineFailed(reason, count);
}
