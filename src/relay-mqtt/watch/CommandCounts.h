#pragma once

#include "relay-mqtt/line/Refusal.h"
#include "relay-mqtt/watch/FrontEnd.h"

#include <QtGlobal>

#include <array>
#include <cstddef>

// The commands each front end brought: those the line took, and those refused, by why. Plain
// counters, so that counting costs a command nothing it would notice.
class CommandCounts
{
public:
    // Refusal::Cause; a hold or release of a relay another client holds; and a command that
    // could not even be read.
    enum class Cause {
        PortClosed,
        QueueFull,
        Interlock,
        HoldLimit,
        HeldByAnother,
        BadInput,
        Count
    };
    static constexpr auto causeCount = std::size_t(Cause::Count);

    void taken(FrontEnd from) { ++m_taken.at(index(from)); }
    void refused(FrontEnd from, Refusal::Cause cause);
    void refused(FrontEnd from, Cause cause) { ++m_refused.at(index(from)).at(index(cause)); }
    void badInput(FrontEnd from) { refused(from, Cause::BadInput); }

    quint64 takenFrom(FrontEnd from) const { return m_taken.at(index(from)); }
    quint64 refusedFrom(FrontEnd from, Cause cause) const
    {
        return m_refused.at(index(from)).at(index(cause));
    }

private:
    template<typename Enum>
    static constexpr std::size_t index(Enum value)
    {
        return static_cast<std::size_t>(value);
    }

    std::array<quint64, frontEndCount> m_taken{};
    std::array<std::array<quint64, causeCount>, frontEndCount> m_refused{};
};
