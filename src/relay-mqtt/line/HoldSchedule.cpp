#include "relay-mqtt/line/HoldSchedule.h"

#include <algorithm>

std::vector<HoldSchedule::Hold>::iterator HoldSchedule::find(quint8 card, int relay)
{
    return std::find_if(m_holds.begin(), m_holds.end(),
        [&](const Hold &held) { return held.card == card && held.relay == relay; });
}

void HoldSchedule::hold(quint8 card, int relay, std::chrono::milliseconds length)
{
    const auto same = find(card, relay);
    // A replaced hold keeps its place in the turns and starts again at its next burst.
    if (same != m_holds.end())
        *same = Hold{card, relay, length, std::nullopt, same->carried};
    else
        m_holds.push_back(Hold{card, relay, length, std::nullopt, std::nullopt});
}

std::optional<HoldSchedule::Hold> HoldSchedule::end(quint8 card, int relay)
{
    const auto same = find(card, relay);
    if (same == m_holds.end())
        return std::nullopt;
    const Hold ended = *same;
    erase(same);
    return ended;
}

bool HoldSchedule::holds(quint8 card, int relay) const
{
    return std::any_of(m_holds.begin(), m_holds.end(),
        [&](const Hold &held) { return held.card == card && held.relay == relay; });
}

void HoldSchedule::written(quint8 card, int relay, Time carried)
{
    if (const auto same = find(card, relay); same != m_holds.end())
        same->carried = carried;
}

QList<int> HoldSchedule::endCard(quint8 card)
{
    QList<int> relays;
    for (auto held = m_holds.begin(); held != m_holds.end();) {
        if (held->card != card) {
            ++held;
            continue;
        }
        relays << held->relay;
        const auto index = held - m_holds.begin();
        erase(held);
        held = m_holds.begin() + index;
    }
    return relays;
}

QList<HoldSchedule::Hold> HoldSchedule::clear()
{
    QList<Hold> running(m_holds.begin(), m_holds.end());
    m_holds.clear();
    m_next = 0;
    return running;
}

QList<HoldSchedule::Hold> HoldSchedule::expire(Time now, const IsOver &isOver)
{
    QList<Hold> over;
    for (auto held = m_holds.begin(); held != m_holds.end();) {
        if (!held->start || !isOver(now - *held->start, held->length)) {
            ++held;
            continue;
        }
        over << *held;
        const auto index = held - m_holds.begin();
        erase(held);
        held = m_holds.begin() + index;
    }
    return over;
}

std::optional<HoldSchedule::Hold> HoldSchedule::next(Time now, bool *first)
{
    if (m_holds.empty())
        return std::nullopt;
    if (m_next >= m_holds.size())
        m_next = 0;
    Hold &turn = m_holds.at(m_next);
    if (first)
        *first = !turn.start;
    if (!turn.start)
        turn.start = now;
    ++m_next;
    return turn;
}

void HoldSchedule::erase(std::vector<Hold>::iterator at)
{
    // The turns go on with the hold that came after the one ended.
    if (std::size_t(at - m_holds.begin()) < m_next)
        --m_next;
    m_holds.erase(at);
}
