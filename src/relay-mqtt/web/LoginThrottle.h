#pragma once

#include "relay-mqtt/web/ClientKey.h"

#include <chrono>
#include <functional>
#include <map>
#include <optional>

// Slows down whoever guesses the page's password or the API's token: after a few wrong
// attempts a client (an address, an IPv6 /64) waits, a second and doubling up to a minute, and
// all clients together may fail only so often a second. The table of clients is bounded, and
// never forgets one that is waiting to make room for a new one: a guesser cannot buy a fresh
// start with more addresses. Clients that got in before are not held up by the others' guesses:
// a script with the right token goes on working while a guesser with many addresses waits.
class LoginThrottle
{
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    static constexpr int freeFailures = 3;
    static constexpr std::chrono::seconds firstPenalty{1};
    static constexpr std::chrono::seconds longestPenalty{60};
    // A client that has not failed for this long starts afresh.
    static constexpr std::chrono::minutes forgetAfter{10};
    static constexpr std::size_t mostClients = 4096;
    // Failed attempts of all clients together, in any one second.
    static constexpr int mostFailuresPerSecond = 10;
    // The clients that got in lately, which the ceiling for everyone leaves alone.
    static constexpr std::size_t mostTrusted = 256;
    // A client's failures go to the log at most once in this long.
    static constexpr std::chrono::minutes logInterval{1};

    explicit LoginThrottle(Clock clock = std::chrono::steady_clock::now);

    // How long `client` must wait before its next attempt is checked at all; none: check it.
    std::optional<std::chrono::seconds> wait(const ClientKey &client);
    // A wrong password or token from `client`. The number of failures to log for it (this one
    // and those left out of the log since its last line), or none while its line would come
    // too soon after the last.
    std::optional<int> failed(const ClientKey &client);
    // A right one: the client starts afresh, trusted.
    void succeeded(const ClientKey &client);

    std::size_t clientCount() const { return m_clients.size(); }

private:
    using Time = std::chrono::steady_clock::time_point;
    struct Failures
    {
        int count = 0;
        Time last{};
        Time notBefore{};
        Time logged{};
        int unlogged = 0;
    };

    // The client's entry, made if there is room; none if the table is full of waiting clients.
    Failures *entry(const ClientKey &client, Time now);
    void startSecond(Time now);

    Clock m_clock;
    std::map<ClientKey, Failures> m_clients;
    // By when each last got in; the longest ago makes room.
    std::map<ClientKey, Time> m_trusted;
    Time m_secondStarted{};
    int m_failuresThisSecond = 0;
    // Failures of clients the table had no room for, logged together.
    Time m_outsidersLogged{};
    int m_outsidersUnlogged = 0;
};
