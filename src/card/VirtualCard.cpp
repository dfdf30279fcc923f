#include "card/VirtualCard.h"

#include <utility>

namespace {

// The relay a digit parameter names, 0 to 7, if it names one.
std::optional<int> relayIndex(quint8 parameter)
{
    if (parameter < '1' || parameter > '8')
        return std::nullopt;
    return parameter - '1';
}

constexpr quint8 allRelays = '9';

} // namespace

VirtualCard::VirtualCard(quint8 address, Clock clock)
    : m_clock(std::move(clock)), m_address(address)
{ }

VirtualCard::Clock VirtualCard::steadyClock()
{
    return [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now().time_since_epoch());
    };
}

std::optional<VirtualCard::Command> VirtualCard::receive(QByteArrayView packet)
{
    update();
    if (packet.size() != 5 || quint8(packet.at(1)) != m_address) {
        ++m_ignored;
        return std::nullopt;
    }
    const char instruction = packet.at(2);
    const auto parameter = quint8(packet.at(3));

    // Every copy of a held button's packet keeps its relay held.
    if (instruction == 'P') {
        if (const auto relay = relayIndex(parameter))
            m_heldUntil.at(*relay) = m_clock() + holdTime;
    }

    m_run = packet == QByteArrayView(m_lastPacket) ? m_run + 1 : 1;
    m_lastPacket = packet.toByteArray();
    if ((m_run - 1) % copiesPerCommand != 0)
        return std::nullopt;

    ++m_commands;
    const bool understood = carryOut(instruction, parameter);
    if (!understood)
        ++m_unknown;
    return Command{instruction, parameter, understood};
}

bool VirtualCard::carryOut(char instruction, quint8 parameter)
{
    const std::optional<int> relay = relayIndex(parameter);
    switch (instruction) {
    case 'S':
    case 'C':
        if (!relay && parameter != allRelays)
            return false;
        switchRelays(parameter, instruction == 'S');
        return true;
    case 'T':
        if (!relay)
            return false;
        m_relays.at(*relay) = !m_relays.at(*relay);
        return true;
    case 'E':
        m_relays.fill(false);
        m_heldUntil.fill(std::nullopt);
        return true;
    case 'D':
        m_showAddressUntil = m_clock() + addressShowTime;
        return true;
    case 'A':
        m_address = parameter;
        return true;
    case 'P':
        if (!relay)
            return false;
        m_relays.at(*relay) = true;
        return true;
    default:
        return false;
    }
}

void VirtualCard::setRelays(const Relays &relays)
{
    m_relays = relays;
    m_heldUntil.fill(std::nullopt);
}

void VirtualCard::switchRelays(quint8 parameter, bool on)
{
    if (parameter == allRelays) {
        m_relays.fill(on);
        return;
    }
    m_relays.at(*relayIndex(parameter)) = on;
}

bool VirtualCard::update()
{
    const auto now = m_clock();
    bool changed = false;
    for (int i = 0; i < relayCount; ++i) {
        auto &until = m_heldUntil.at(i);
        if (until && now >= *until) {
            until.reset();
            changed = changed || m_relays.at(i);
            m_relays.at(i) = false;
        }
    }
    return changed;
}

bool VirtualCard::isShowingAddress() const
{
    return m_clock() < m_showAddressUntil;
}
