#include "relay-mqtt/watch/ServiceHealth.h"

#include <utility>

namespace {

QString counted(qsizetype count, const QString &one, const QString &many)
{
    return count == 1 ? one : many.arg(count);
}

} // namespace

ServiceHealth::ServiceHealth(int cards, bool withBroker, Clock clock)
    : m_clock(clock ? std::move(clock) : [] { return std::chrono::steady_clock::now(); }),
      m_cards(cards),
      m_withBroker(withBroker),
      m_brokerAwaySince(m_clock())
{ }

void ServiceHealth::setPortUp(bool up)
{
    m_portUp = up;
    m_portWasUp = m_portWasUp || up;
}

void ServiceHealth::setBrokerConnected(bool connected)
{
    if (m_brokerConnected && !connected)
        m_brokerAwaySince = m_clock();
    m_brokerConnected = connected;
}

std::optional<std::chrono::seconds> ServiceHealth::brokerAwayFor() const
{
    if (!m_withBroker || m_brokerConnected)
        return std::nullopt;
    return std::chrono::duration_cast<std::chrono::seconds>(m_clock() - m_brokerAwaySince);
}

QString ServiceHealth::brokerText() const
{
    if (!m_withBroker)
        return QStringLiteral("none");
    return m_brokerConnected ? QStringLiteral("connected") : QStringLiteral("disconnected");
}

ServiceHealth::Answer ServiceHealth::check(const QString &device) const
{
    Answer answer;
    answer.body
        = {{QStringLiteral("port"), m_portUp ? QStringLiteral("up") : QStringLiteral("down")},
            {QStringLiteral("device"), device}, {QStringLiteral("broker"), brokerText()}};
    QString reason;
    if (!m_portUp)
        reason = m_portWasUp ? tr("port lost: %1").arg(device)
                             : tr("the port is not open yet: %1").arg(device);
    else if (const std::optional<std::chrono::seconds> away = brokerAwayFor();
             away && *away > brokerPatience)
        reason = tr("the broker has taken no commands for %1 s").arg(away->count());
    answer.usable = reason.isEmpty();
    if (!answer.usable)
        answer.body.insert(QStringLiteral("reason"), reason);
    return answer;
}

QString ServiceHealth::statusLine(const QString &device, qsizetype pagesOpen) const
{
    if (!m_portUp)
        return m_portWasUp ? tr("port lost: %1").arg(device) : tr("waiting for %1").arg(device);
    const QString broker = !m_withBroker ? tr("no broker")
        : m_brokerConnected              ? tr("broker connected")
                                         : tr("broker disconnected");
    return tr("online: %1, %2, %3")
        .arg(counted(m_cards, tr("1 card"), tr("%1 cards")), broker,
            counted(pagesOpen, tr("1 page open"), tr("%1 pages open")));
}
