#pragma once

#include <QtGlobal>

#include <chrono>
#include <functional>
#include <ratio>
#include <type_traits>

// Estimates how many bytes handed to the port have not yet left on the wire, from what was
// written and the pace of the line. A pseudo-terminal or a USB adapter swallows bytes at once, so
// the operating system's queue cannot tell how far behind the line really is.
class LineBacklog
{
public:
    static constexpr int baudRate = 2400;
    static constexpr int bitsPerByte = 10; // start bit, eight data bits, stop bit

    // Time one byte occupies the line: 1/240 s.
    using ByteTime = std::chrono::duration<qint64, std::ratio<bitsPerByte, baudRate>>;
    // A monotonic time since any fixed moment; tests hand in a clock they move themselves.
    using Clock = std::function<std::chrono::nanoseconds()>;

    explicit LineBacklog(Clock clock = steadyClock());

    static Clock steadyClock();

    void recordWrite(qint64 bytes);
    qint64 bytesWaiting() const;
    // How long the line still needs for what was written; zero when it is idle.
    std::chrono::nanoseconds timeToCarry() const;
    void clear();

private:
    // Fine enough to hold both nanoseconds and byte times exactly.
    using Instant = std::common_type_t<std::chrono::nanoseconds, ByteTime>;

    Clock m_clock;
    Instant m_lineFreeAt{};
};
