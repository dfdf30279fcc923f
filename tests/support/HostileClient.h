#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

// Attackers of relay-mqtt's web side, each on a thread of its own with blocking sockets, so
// that they never wait for the event loop of the test or bench that measures meanwhile. Each
// connects to 127.0.0.1:PORT again and again for as long as it runs (or until a connection is
// refused: the server is gone): one sends a 300 MiB body to /api/login as fast as the socket
// takes it, one a header that never ends.
class HostileClient
{
public:
    enum class Attack { HugeBody, EndlessHeader };

    HostileClient(std::uint16_t port, const std::vector<Attack> &attacks);
    ~HostileClient();
    HostileClient(const HostileClient &) = delete;
    HostileClient &operator=(const HostileClient &) = delete;

    void stop();
    // Connections made, and bytes written to their sockets, so far: on loopback the kernel takes
    // a few MiB of each before the server has read any of it, let alone refused it.
    long connections() const { return m_connections; }
    long long bytesSent() const { return m_bytesSent; }

private:
    void run(Attack attack);
    // One connection's worth of the attack; false if no connection could be made.
    bool once(Attack attack);

    std::uint16_t m_port;
    std::atomic<bool> m_stopping{false};
    std::atomic<long> m_connections{0};
    std::atomic<long long> m_bytesSent{0};
    std::vector<std::thread> m_threads;
};
