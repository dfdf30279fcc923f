#pragma once

#include <cstddef>

// The ways a command reaches relay-mqtt's line.
enum class FrontEnd {
    Mqtt, // the broker
    Web, // the web page and its API
    Local, // the line's local socket, for relayctl
    Count
};
constexpr auto frontEndCount = std::size_t(FrontEnd::Count);
