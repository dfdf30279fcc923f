#include "serial/LineBacklog.h"

#include <algorithm>
#include <utility>

LineBacklog::LineBacklog(Clock clock) : m_clock(std::move(clock)) { }

LineBacklog::Clock LineBacklog::steadyClock()
{
    return [] {
        return std::chrono::steady_clock::now().time_since_epoch();
    };
}

void LineBacklog::recordWrite(qint64 bytes)
{
    m_lineFreeAt = std::max<Instant>(m_clock(), m_lineFreeAt) + ByteTime(bytes);
}

qint64 LineBacklog::bytesWaiting() const
{
    const auto ahead = m_lineFreeAt - m_clock();
    return ahead > ahead.zero() ? std::chrono::ceil<ByteTime>(ahead).count() : 0;
}

std::chrono::nanoseconds LineBacklog::timeToCarry() const
{
    const auto ahead = m_lineFreeAt - m_clock();
    return ahead > ahead.zero() ? std::chrono::ceil<std::chrono::nanoseconds>(ahead)
                                : std::chrono::nanoseconds::zero();
}

void LineBacklog::clear()
{
    m_lineFreeAt = {};
}
