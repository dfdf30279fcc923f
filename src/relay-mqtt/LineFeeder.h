#pragma once

#include "relay-mqtt/BridgeCommand.h"
#include "relay-mqtt/CommandQueue.h"
#include "relay-mqtt/HoldSchedule.h"
#include "serial/LineBacklog.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <optional>

class SerialLink;

// Puts the bridge's commands on the line at its pace: a burst is written only while less than
// one burst waits for the line (HoldPace), so an emergency stop never waits behind more than
// one. The queued commands and the held relays take turns, the queue as one more hold; a stop
// goes before anything else. Between bursts it sleeps until the line can take the next one,
// and when there is nothing to send no timer runs.
class LineFeeder : public QObject
{
    Q_OBJECT

public:
    // `clock` is the one the link runs on: it times the holds.
    explicit LineFeeder(SerialLink &link, LineBacklog::Clock clock = LineBacklog::steadyClock(),
        QObject *parent = nullptr);

    // Takes a command for the line; the reason it was refused, if it was.
    std::optional<QString> submit(const BridgeCommand &command);

    qsizetype queuedCount() const { return m_queue.size(); }
    // How long until it writes again by itself; none when it has nothing to send.
    std::optional<std::chrono::milliseconds> nextWake() const;

    // Writes what the line may take now and sets the time to come back for the rest.
    void pump();
    // Lets go of every held relay: no more bursts for them.
    void endHolds();

signals:
    void burstWritten(const BridgeCommand &command, const QByteArray &burst);
    // The relay's hold is over, by its time or by a later command; nothing was sent for it.
    void holdEnded(quint8 card, int relay);
    // A write failed: whatever was waiting is dropped, since the card must not get it late.
    void lineFailed(const QString &reason, qsizetype dropped);

private:
    bool hasWork() const { return !m_queue.isEmpty() || !m_holds.isEmpty(); }
    void endExpiredHolds();
    void endHoldsOfCard(quint8 card);
    // The command whose turn it is; none when there is nothing to send.
    std::optional<BridgeCommand> nextCommand();
    void write(const BridgeCommand &command);
    // Drops all that waits; `lost` more commands were taken already.
    void fail(const QString &reason, qsizetype lost);

    SerialLink &m_link;
    LineBacklog::Clock m_clock;
    CommandQueue m_queue;
    HoldSchedule m_holds;
    QTimer m_wake;
    bool m_queuesTurn = true;
};
