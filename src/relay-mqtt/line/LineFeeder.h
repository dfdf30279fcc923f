#pragma once

#include "card/VirtualCard.h"
#include "protocol/RelayPacket.h"
#include "relay-mqtt/line/BridgeCommand.h"
#include "relay-mqtt/line/CommandQueue.h"
#include "relay-mqtt/line/HoldEnd.h"
#include "relay-mqtt/line/HoldSchedule.h"
#include "relay-mqtt/line/InterlockGroups.h"
#include "relay-mqtt/line/Refusal.h"
#include "serial/LineBacklog.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <deque>
#include <functional>
#include <optional>

class SerialLink;

// Puts the bridge's commands on the line at its pace: a burst is written only while less than
// one burst waits for the line (HoldPace), so an emergency stop never waits behind more than
// one. The queued commands and the held relays take turns, the queue as one more hold; a stop
// goes before anything else. Turning on a relay of an interlock group first sends OFF for the
// others of its group and waits until the card has them off and the dead time has passed.
// Between bursts it sleeps until the line can take the next one, and when there is nothing to
// send no timer runs.
class LineFeeder : public QObject
{
    Q_OBJECT

public:
    // Whether the bridge takes the relay to be on now.
    using RelayState = std::function<bool(quint8 card, int relay)>;

    // A card lets go of a held relay once its packets stop for this long, and a burst takes the
    // line this long: the bursts of one held relay may be this many apart, the others' between.
    static constexpr auto cardHoldTime = VirtualCard::holdTime;
    static constexpr auto burstTime = LineBacklog::ByteTime(RelayPacket::burstSize);
    static constexpr auto packetTime = LineBacklog::ByteTime(RelayPacket::packetSize);
    // A round of turns the card's hold outlasts: from the last packet of one burst to the first
    // whole packet of the next burst of the same relay, (turns - 1) bursts and a packet.
    static constexpr int turnsPerRound
        = 1 + int((cardHoldTime - packetTime - std::chrono::nanoseconds(1)) / burstTime);
    // The holds one line keeps alive at once, the queue keeping its turn between them.
    static constexpr qsizetype mostHolds = turnsPerRound - 1;

    // `clock` is the one the link runs on: it times the holds and the interlocks' dead time.
    explicit LineFeeder(SerialLink &link, LineBacklog::Clock clock = LineBacklog::steadyClock(),
        QObject *parent = nullptr);

    void setInterlocks(InterlockGroups groups, std::chrono::milliseconds delay, RelayState isOn);

    // Takes a command for the line; the reason it was refused, if it was.
    std::optional<Refusal> submit(const BridgeCommand &command);

    qsizetype queuedCount() const { return m_queue.size(); }
    qsizetype holdCount() const { return m_holds.size(); }
    // How long until it writes again by itself; none when it has nothing to send.
    std::optional<std::chrono::milliseconds> nextWake() const;

    // Writes what the line may take now and sets the time to come back for the rest.
    void pump();
    // Lets go of the relay, if it is held: no more bursts for it.
    void letGo(quint8 card, int relay);
    // Lets go of every held relay.
    void endHolds(HoldEnd why);

signals:
    // Every burst written, a held relay's repeats too.
    void burstWritten(const BridgeCommand &command, const QByteArray &burst);
    // A command is on its way to the card: right after its burst (a hold's first) was written.
    void commandCarried(const BridgeCommand &command);
    // The relay's hold is over, by its time or by a later command; nothing was sent for it.
    void holdEnded(quint8 card, int relay, HoldEnd why);
    // A command taken earlier will never be written: an emergency stop of its card or a failed
    // write dropped it.
    void commandDropped(const BridgeCommand &command, HoldEnd why);
    // A write failed: whatever was waiting is dropped, since the card must not get it late.
    void lineFailed(const QString &reason, qsizetype dropped);

private:
    using Time = HoldSchedule::Time;

    // A command turning on an interlocked relay, and its partners' OFF before it.
    struct Interlock
    {
        BridgeCommand command;
        std::deque<BridgeCommand> offs; // still to be written
        Time partnersLetGo{}; // when the card lets go of the partners that were held
        std::optional<Time> notBefore; // once the OFFs are written
    };
    struct Turn
    {
        BridgeCommand command;
        bool carriesCommand = true; // false for a held relay's repeats
    };

    bool hasWork() const
    {
        return !m_queue.isEmpty() || !m_holds.isEmpty() || m_interlock.has_value();
    }
    bool queueReady(Time now) const;
    qsizetype holdsAskedFor() const;
    bool turnsOn(const BridgeCommand &command) const;
    void endExpiredHolds();
    // The holds a command for the card or the relay ends.
    void endHoldsOfCard(const BridgeCommand &command);
    void endHold(quint8 card, int relay, HoldEnd why);
    // The command whose turn it is; none when there is nothing to send now.
    std::optional<Turn> nextTurn();
    std::optional<Turn> queueTurn(Time now);
    std::optional<Turn> interlockTurn(Time now);
    void startInterlock(const BridgeCommand &command, Time now);
    // A stop for the card drops the interlock's command waiting for its dead time.
    void dropInterlockOf(quint8 card);
    void write(const Turn &turn);
    // Drops all that waits, and `lost`, the command whose write failed.
    void fail(const QString &reason, const std::optional<BridgeCommand> &lost);

    SerialLink &m_link;
    LineBacklog::Clock m_clock;
    CommandQueue m_queue;
    HoldSchedule m_holds;
    InterlockGroups m_interlocks;
    std::chrono::milliseconds m_interlockDelay{};
    RelayState m_isOn;
    std::optional<Interlock> m_interlock;
    QTimer m_wake;
};
