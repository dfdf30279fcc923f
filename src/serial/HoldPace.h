#pragma once

#include <QtGlobal>

#include <chrono>

class SerialLink;

// The pace of a held relay: its burst goes out again only while less than one burst waits for
// the line, so a hold of any length builds no backlog and whatever follows it waits behind one
// burst at most. The panel's repeat timer, relayctl's hold and relay-mqtt's holds keep to it
// alike.
class HoldPace
{
public:
    // Whether the held burst (of `burstSize` bytes) may be written now.
    static bool mayRepeat(const SerialLink &link, qint64 burstSize);
    // How long until it may, by the line's pace; zero when it may now.
    static std::chrono::nanoseconds untilRepeat(const SerialLink &link, qint64 burstSize);
    // Whether a hold of `length`, its first burst written `heldFor` ago, has had its time: a
    // burst written now would reach the line only once the time is up.
    static bool isOver(
        const SerialLink &link, std::chrono::nanoseconds heldFor, std::chrono::nanoseconds length);
};
