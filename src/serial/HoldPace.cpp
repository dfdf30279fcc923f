#include "serial/HoldPace.h"

#include "serial/LineBacklog.h"
#include "serial/SerialLink.h"

#include <algorithm>

bool HoldPace::mayRepeat(const SerialLink &link, qint64 burstSize)
{
    return link.bytesWaiting() < burstSize;
}

std::chrono::nanoseconds HoldPace::untilRepeat(const SerialLink &link, qint64 burstSize)
{
    // The line has to carry all but one byte short of a burst.
    const qint64 beyond = std::max<qint64>(link.bytesWaiting() - (burstSize - 1), 0);
    return std::chrono::ceil<std::chrono::nanoseconds>(LineBacklog::ByteTime(beyond));
}

bool HoldPace::isOver(
    const SerialLink &link, std::chrono::nanoseconds heldFor, std::chrono::nanoseconds length)
{
    return heldFor + link.timeToCarry() >= length;
}
