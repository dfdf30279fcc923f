#include "relay-mqtt/line/CommandQueue.h"

#include <algorithm>
#include <iterator>

bool CommandQueue::push(const BridgeCommand &command, std::vector<BridgeCommand> *dropped)
{
    if (command.kind == BridgeCommand::Kind::Stop) {
        std::vector<BridgeCommand> ofCard = dropCard(command.card);
        if (dropped)
            dropped->insert(dropped->end(), ofCard.begin(), ofCard.end());
        m_commands.insert(m_commands.begin() + m_stops, command);
        ++m_stops;
        return true;
    }
    if (size() - m_stops >= capacity)
        return false;
    m_commands.push_back(command);
    return true;
}

std::optional<BridgeCommand> CommandQueue::take()
{
    if (m_commands.empty())
        return std::nullopt;
    const BridgeCommand first = m_commands.front();
    m_commands.pop_front();
    if (first.kind == BridgeCommand::Kind::Stop)
        --m_stops;
    return first;
}

qsizetype CommandQueue::count(BridgeCommand::Kind kind) const
{
    return std::count_if(m_commands.begin(), m_commands.end(),
        [kind](const BridgeCommand &queued) { return queued.kind == kind; });
}

std::vector<BridgeCommand> CommandQueue::clear()
{
    std::vector<BridgeCommand> dropped(m_commands.begin(), m_commands.end());
    m_commands.clear();
    m_stops = 0;
    return dropped;
}

std::vector<BridgeCommand> CommandQueue::dropCard(quint8 card)
{
    const auto forCard = [card](const BridgeCommand &queued) {
        return queued.card == card;
    };
    const auto stopsEnd = m_commands.begin() + m_stops;
    m_stops -= std::count_if(m_commands.begin(), stopsEnd, forCard);
    const auto kept = std::stable_partition(m_commands.begin(), m_commands.end(),
        [&forCard](const BridgeCommand &queued) { return !forCard(queued); });
    std::vector<BridgeCommand> dropped(kept, m_commands.end());
    m_commands.erase(kept, m_commands.end());
    return dropped;
}
