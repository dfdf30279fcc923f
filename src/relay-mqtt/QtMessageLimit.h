#pragma once

#include <chrono>

// Qt's own warnings go to relay-mqtt's log, each text at most once a minute with a count of the
// rest: some of them a client causes at will (every WebSocket handshake that fails makes Qt
// WebSockets warn), and a flood of such clients must not flood the journal.
class QtMessageLimit
{
public:
    static constexpr std::chrono::minutes interval{1};
    // Texts remembered at once; beyond these the oldest is forgotten.
    static constexpr int mostTexts = 64;

    // From now on, for the whole process.
    static void install();
};
