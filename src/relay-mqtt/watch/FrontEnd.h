#pragma once

#include <cstddef>

// The ways a command reaches relay-mqtt's line.
enum class FrontEnd {
    Mqtt, // the broker
    Web, // the web page and its API
    Local, // the line's local socket, for relayctl
};
constexpr std::size_t frontEndCount = 3;
