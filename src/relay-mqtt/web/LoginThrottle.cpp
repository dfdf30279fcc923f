#include "relay-mqtt/web/LoginThrottle.h"

#include <algorithm>
#include <utility>

using namespace std::chrono_literals;

LoginThrottle::LoginThrottle(Clock clock) : m_clock(std::move(clock)) { }

void LoginThrottle::startSecond(Time now)
{
    if (now - m_secondStarted >= 1s) {
        m_secondStarted = now;
        m_failuresThisSecond = 0;
    }
}

std::optional<std::chrono::seconds> LoginThrottle::wait(const ClientKey &client)
{
    const Time now = m_clock();
    startSecond(now);
    std::chrono::steady_clock::duration wait{};
    if (m_failuresThisSecond >= mostFailuresPerSecond && !m_trusted.contains(client))
        wait = m_secondStarted + 1s - now;
    if (const auto found = m_clients.find(client); found != m_clients.end())
        wait = std::max(wait, found->second.notBefore - now);
    if (wait <= decltype(wait)::zero())
        return std::nullopt;
    return std::chrono::ceil<std::chrono::seconds>(wait);
}

std::optional<int> LoginThrottle::failed(const ClientKey &client)
{
    const Time now = m_clock();
    startSecond(now);
    ++m_failuresThisSecond;
    Failures *failures = entry(client, now);
    if (!failures) {
        ++m_outsidersUnlogged;
        if (now - m_outsidersLogged < logInterval && m_outsidersLogged != Time{})
            return std::nullopt;
        m_outsidersLogged = now;
        return std::exchange(m_outsidersUnlogged, 0);
    }
    if (now - failures->last >= forgetAfter)
        failures->count = 0;
    failures->last = now;
    ++failures->count;
    if (failures->count > freeFailures) {
        const int doublings = std::min(failures->count - freeFailures - 1, 16);
        failures->notBefore = now
            + std::min<std::chrono::steady_clock::duration>(
                firstPenalty * (1 << doublings), longestPenalty);
    }
    ++failures->unlogged;
    if (failures->logged != Time{} && now - failures->logged < logInterval)
        return std::nullopt;
    failures->logged = now;
    return std::exchange(failures->unlogged, 0);
}

void LoginThrottle::succeeded(const ClientKey &client)
{
    m_clients.erase(client);
    if (m_trusted.size() >= mostTrusted && !m_trusted.contains(client)) {
        m_trusted.erase(std::min_element(m_trusted.begin(), m_trusted.end(),
            [](const auto &a, const auto &b) { return a.second < b.second; }));
    }
    m_trusted[client] = m_clock();
}

LoginThrottle::Failures *LoginThrottle::entry(const ClientKey &client, Time now)
{
    if (const auto found = m_clients.find(client); found != m_clients.end())
        return &found->second;
    if (m_clients.size() >= mostClients) {
        // Room is made from those no longer waiting; a waiting client keeps its place.
        std::erase_if(
            m_clients, [now](const auto &entry) { return entry.second.notBefore <= now; });
        if (m_clients.size() >= mostClients)
            return nullptr;
    }
    return &m_clients[client];
}
