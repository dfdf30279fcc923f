#include "relay-mqtt/line/RelayLine.h"

#include "relay-mqtt/BridgeLog.h"

#include <QStringList>
#include <QTimer>

#include <map>

using namespace std::chrono_literals;

RelayLine::RelayLine(const BridgeOptions &options, QObject *parent)
    : QObject(parent),
      m_options(options),
      m_link(SerialLink::deviceOrSystemPortNames(options.device)),
      m_port(m_link, options.device.isEmpty() ? options.port : 1, options.lineName()),
      m_mirror(options.cards),
      m_feeder(std::make_unique<LineFeeder>(m_link))
{
    std::map<quint8, QList<QList<int>>> interlocks;
    for (const auto &[card, group] : m_options.cardGroups)
        interlocks.emplace(card, group.interlocks);
    m_feeder->setInterlocks(InterlockGroups(interlocks), m_options.interlockDelay,
        [this](quint8 card, int relay) { return m_mirror.isOn(card, relay); });

    connect(m_feeder.get(), &LineFeeder::burstWritten, this,
        [this](const BridgeCommand &command, const QByteArray &burst) {
            ++m_bursts.at(command.card);
            const QList<CardMirror::Change> changes = m_mirror.apply(burst);
            if (!changes.isEmpty())
                emit relaysChanged(changes);
        });
    connect(m_feeder.get(), &LineFeeder::commandCarried, this, &RelayLine::commandCarried);
    connect(m_feeder.get(), &LineFeeder::commandDropped, this, &RelayLine::commandDropped);
    connect(
        m_feeder.get(), &LineFeeder::holdEnded, this, [this](quint8 card, int relay, HoldEnd why) {
            const QList<CardMirror::Change> changes = m_mirror.holdEnded(card, relay);
            if (!changes.isEmpty())
                emit relaysChanged(changes);
            emit holdEnded(card, relay, why);
        });
    connect(m_feeder.get(), &LineFeeder::lineFailed, this,
        [this](const QString &reason, qsizetype dropped) {
            bridgeLog(tr("%1 failed: %2; %n command(s) dropped", nullptr, int(dropped))
                          .arg(m_port.lineName(), reason));
            m_port.lose(reason);
        });

    connect(&m_port, &PortKeeper::opened, this, [this] {
        bridgeLog(tr("%1 is open").arg(m_port.lineName()));
        emit upChanged(true);
    });
    connect(&m_port, &PortKeeper::unavailable, this, [this](const QString &reason) {
        bridgeLog(tr("%1 could not be opened: %2; trying again every %3 s")
                      .arg(m_port.lineName(), reason)
                      .arg(PortKeeper::retryInterval.count()));
    });
    connect(&m_port, &PortKeeper::lost, this, [this](const QString &reason) {
        bridgeLog(tr("%1 was lost: %2; trying again every %3 s")
                      .arg(m_port.lineName(), reason)
                      .arg(PortKeeper::retryInterval.count()));
        emit upChanged(false);
    });
}

void RelayLine::start()
{
    m_port.start();
}

std::optional<Refusal> RelayLine::submit(const BridgeCommand &command)
{
    if (!m_feeder)
        return Refusal{Refusal::Cause::PortClosed, tr("relay-mqtt is stopping")};
    return m_feeder->submit(command);
}

void RelayLine::logRefusal(
    const BridgeCommand &command, const Refusal &refusal, const QString &from)
{
    const QString what = from.isEmpty() ? describe(command) : describe(command) + u' ' + from;
    m_refusals.note(refusal.cause, tr("refused %1: %2").arg(what, refusal.text));
}

void RelayLine::letGo(quint8 card, int relay)
{
    if (m_feeder)
        m_feeder->letGo(card, relay);
}

void RelayLine::setRelays(quint8 card, const VirtualCard::Relays &relays)
{
    const QList<CardMirror::Change> changes = m_mirror.setRelays(card, relays);
    if (!changes.isEmpty())
        emit relaysChanged(changes);
}

QString RelayLine::device() const
{
    return m_link.devicePath(m_options.device.isEmpty() ? m_options.port : 1);
}

QString RelayLine::names(quint8 card, int relay) const
{
    const auto group = m_options.cardGroups.find(card);
    if (group == m_options.cardGroups.end())
        return {};
    QStringList names;
    if (!group->second.name.isEmpty())
        names << group->second.name;
    if (relay >= 1 && relay <= BridgeOptions::relayCount
        && !group->second.relayNames.at(relay - 1).isEmpty())
        names << group->second.relayNames.at(relay - 1);
    return names.isEmpty() ? QString()
                           : QStringLiteral(" (%1)").arg(names.join(QStringLiteral(", ")));
}

QString RelayLine::describe(const BridgeCommand &command) const
{
    using Kind = BridgeCommand::Kind;
    const bool ofRelay = command.kind == Kind::Set || command.kind == Kind::Hold;
    return command.text() + names(command.card, ofRelay ? command.relay : 0);
}

void RelayLine::stop()
{
    if (m_stopping)
        return;
    m_stopping = true;
    m_port.stop();
    // The held relays let go as their bursts stop: the front ends hear of it now.
    m_feeder->endHolds(HoldEnd::Stopping);
    // Nothing more for the line; what was written already still reaches the cards.
    m_feeder.reset();
    drain(std::chrono::steady_clock::now() + m_link.timeToCarry() + stallAllowance);
}

void RelayLine::drain(std::chrono::steady_clock::time_point deadline)
{
    if (m_link.isOpen() && m_link.bytesWaiting() > 0
        && std::chrono::steady_clock::now() < deadline) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_link.timeToCarry());
        QTimer::singleShot(
            left + 1ms, Qt::PreciseTimer, this, [this, deadline] { drain(deadline); });
        return;
    }
    m_link.close();
    emit finished();
}
