#pragma once

#include "relay-mqtt/BridgeOptions.h"
#include "relay-mqtt/line/BridgeCommand.h"
#include "relay-mqtt/line/CardMirror.h"
#include "relay-mqtt/line/LineFeeder.h"
#include "relay-mqtt/line/PortKeeper.h"
#include "relay-mqtt/line/Refusal.h"
#include "relay-mqtt/line/RefusalLog.h"
#include "serial/SerialLink.h"

#include <QList>
#include <QObject>
#include <QString>

#include <array>
#include <chrono>
#include <memory>
#include <optional>

// The line side of relay-mqtt, which every front end shares: the serial port kept open, the
// one queue its commands go through at the line's pace, and the relays as the bursts written
// have left them. A front end submits commands and hears back what became of them.
class RelayLine : public QObject
{
    Q_OBJECT

public:
    // At exit, how much longer than its pace the line may take before it is closed anyway.
    static constexpr std::chrono::seconds stallAllowance{2};

    explicit RelayLine(const BridgeOptions &options, QObject *parent = nullptr);

    // Opens the port, or keeps trying until it opens.
    void start();
    // Takes a command for the queue; the reason it was refused, if it was.
    std::optional<Refusal> submit(const BridgeCommand &command);
    // Logs that the command was refused, `from` a front end ("from the web"), as often as the
    // journal should hear of it.
    void logRefusal(const BridgeCommand &command, const Refusal &refusal, const QString &from);
    // Stops holding the relay, if it is held: the card lets go of it shortly.
    void letGo(quint8 card, int relay);
    // The relays as the bridge knew them before this run (the states it left retained).
    void setRelays(quint8 card, const VirtualCard::Relays &relays);

    bool isUp() const { return m_port.isUp(); }
    // How long the line takes to carry what was written to it and waits.
    std::chrono::nanoseconds timeToCarry() const { return m_link.timeToCarry(); }
    // The device the line is on: the one configured, or the one its port number names now.
    QString device() const;
    const CardMirror &mirror() const { return m_mirror; }
    // Commands waiting for the line, and relays held now.
    qsizetype queueLength() const { return m_feeder ? m_feeder->queuedCount() : 0; }
    qsizetype holdsRunning() const { return m_feeder ? m_feeder->holdCount() : 0; }
    // The bursts written to `card` since the start, a held relay's repeats too.
    quint64 burstsWritten(quint8 card) const { return m_bursts.at(card); }
    // The command for the log, with the names the config file gives its card and relay.
    QString describe(const BridgeCommand &command) const;
    // " (Workbench, Pump)", or nothing for a card without names.
    QString names(quint8 card, int relay) const;

    // Lets go of the held relays, takes no more commands, lets the line carry what was
    // written, drops DTR, then emits finished().
    void stop();

signals:
    // A command is on its way to the card: its (first) burst was written.
    void commandCarried(const BridgeCommand &command);
    // A command taken earlier will never reach the card (a stop or a failed write dropped it).
    void commandDropped(const BridgeCommand &command, HoldEnd why);
    // The bridge stopped holding the relay, and the card lets it go.
    void holdEnded(quint8 card, int relay, HoldEnd why);
    // Relays the bursts (or a hold's end, or what was read back) switched.
    void relaysChanged(const QList<CardMirror::Change> &changes);
    // The port opened, or was lost.
    void upChanged(bool up);
    void finished();

private:
    void drain(std::chrono::steady_clock::time_point deadline);

    const BridgeOptions &m_options;
    SerialLink m_link;
    PortKeeper m_port;
    CardMirror m_mirror;
    RefusalLog m_refusals;
    std::array<quint64, 256> m_bursts{};
    std::unique_ptr<LineFeeder> m_feeder;
    bool m_stopping = false;
};
