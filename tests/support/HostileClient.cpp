#include "HostileClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr long long hugeBody = 300LL * 1024 * 1024;
constexpr std::size_t piece = std::size_t{64} * 1024;

} // namespace

HostileClient::HostileClient(std::uint16_t port, const std::vector<Attack> &attacks) : m_port(port)
{
    for (const Attack attack : attacks)
        m_threads.emplace_back([this, attack] { run(attack); });
}

HostileClient::~HostileClient()
{
    stop();
}

void HostileClient::stop()
{
    m_stopping = true;
    for (std::thread &thread : m_threads) {
        if (thread.joinable())
            thread.join();
    }
}

void HostileClient::run(Attack attack)
{
    // Until stopped, or until the server takes no more connections at all: nothing to attack.
    while (!m_stopping && once(attack)) { }
}

bool HostileClient::once(Attack attack)
{
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket < 0)
        return false;
    // A send that the server no longer reads gives up, and the attack starts over.
    const timeval patience{0, 200'000};
    ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(m_port);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(socket, reinterpret_cast<const sockaddr *>(&server), sizeof server) != 0) {
        ::close(socket);
        return false;
    }
    ++m_connections;
    const QByteArray host = "Host: 127.0.0.1:" + QByteArray::number(m_port) + "\r\n";
    QByteArray head;
    QByteArray filler;
    long long left = 0;
    if (attack == Attack::HugeBody) {
        head = "POST /api/login HTTP/1.1\r\n" + host
            + "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(hugeBody)
            + "\r\n\r\n";
        filler = QByteArray(piece, 'x');
        left = hugeBody;
    } else {
        head = "GET / HTTP/1.1\r\n" + host + "X-Endless: ";
        filler = QByteArray(piece, 'a');
        left = -1; // never ends
    }
    bool sending = ::send(socket, head.constData(), size_t(head.size()), MSG_NOSIGNAL) > 0;
    while (sending && !m_stopping && left != 0) {
        const auto size = left < 0 ? filler.size() : std::min<long long>(left, filler.size());
        const ssize_t sent = ::send(socket, filler.constData(), size_t(size), MSG_NOSIGNAL);
        sending = sent > 0;
        if (sending) {
            m_bytesSent += sent;
            if (left > 0)
                left -= sent;
        }
    }
    ::close(socket);
    return true;
}
