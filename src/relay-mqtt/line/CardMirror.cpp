#include "relay-mqtt/line/CardMirror.h"

#include <chrono>

namespace {

// The mirror's cards never let go of a held relay by themselves: the bridge knows when it
// stops holding one and says so.
VirtualCard::Clock stoppedClock()
{
    return [] {
        return std::chrono::milliseconds::zero();
    };
}

} // namespace

CardMirror::CardMirror(const QList<quint8> &cards)
{
    for (const quint8 card : cards)
        m_cards.try_emplace(card, card, stoppedClock());
}

QList<CardMirror::Change> CardMirror::setRelays(quint8 card, const VirtualCard::Relays &relays)
{
    const auto found = m_cards.find(card);
    if (found == m_cards.end())
        return {};
    const VirtualCard::Relays before = found->second.relays();
    found->second.setRelays(relays);
    return changes(card, before, relays);
}

std::optional<VirtualCard::Relays> CardMirror::relays(quint8 card) const
{
    if (const auto found = m_cards.find(card); found != m_cards.end())
        return found->second.relays();
    return std::nullopt;
}

bool CardMirror::isOn(quint8 card, int relay) const
{
    const std::optional<VirtualCard::Relays> states = relays(card);
    return states && relay >= 1 && relay <= VirtualCard::relayCount && states->at(relay - 1);
}

QList<CardMirror::Change> CardMirror::apply(QByteArrayView burst)
{
    QList<Change> changed;
    for (const QByteArray &packet : m_decoder.feed(burst)) {
        const auto card = m_cards.find(quint8(packet.at(1)));
        if (card == m_cards.end())
            continue;
        const VirtualCard::Relays before = card->second.relays();
        card->second.receive(packet);
        changed += changes(card->first, before, card->second.relays());
    }
    return changed;
}

QList<CardMirror::Change> CardMirror::holdEnded(quint8 card, int relay)
{
    const auto found = m_cards.find(card);
    if (found == m_cards.end() || relay < 1 || relay > VirtualCard::relayCount)
        return {};
    const VirtualCard::Relays before = found->second.relays();
    VirtualCard::Relays after = before;
    after.at(relay - 1) = false;
    found->second.setRelays(after);
    return changes(card, before, after);
}

QList<CardMirror::Change> CardMirror::changes(
    quint8 card, const VirtualCard::Relays &before, const VirtualCard::Relays &after)
{
    QList<Change> changed;
    for (int i = 0; i < VirtualCard::relayCount; ++i) {
        if (before.at(i) != after.at(i))
            changed << Change{card, i + 1, after.at(i)};
    }
    return changed;
}
