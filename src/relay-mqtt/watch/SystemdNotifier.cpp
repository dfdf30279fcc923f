#include "relay-mqtt/watch/SystemdNotifier.h"

#include <QtGlobal>

#include <cerrno>
#include <cstring>

#include <poll.h>

#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// How often, and how far apart, READY and STOPPING are tried while systemd's queue is full.
constexpr int insistence = 5;
constexpr auto insistPause = 20ms;

} // namespace

SystemdNotifier::SystemdNotifier(QObject *parent) : QObject(parent), m_watchdog(this)
{
    const QByteArray path = qgetenv("NOTIFY_SOCKET");
    // A path, or "@name" for one in the abstract namespace.
    if (path.isEmpty() || (path.front() != '/' && path.front() != '@')
        || std::size_t(path.size()) >= sizeof m_address.sun_path)
        return;
    m_address.sun_family = AF_UNIX;
    std::memcpy(m_address.sun_path, path.constData(), std::size_t(path.size()));
    if (path.front() == '@')
        m_address.sun_path[0] = '\0';
    m_addressLength = socklen_t(
        offsetof(sockaddr_un, sun_path) + std::size_t(path.size()) + (path.front() == '@' ? 0 : 1));
    // Never blocking: a busy systemd must not hold up the line.
    m_socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_socket < 0)
        return;

    // The watchdog is fed from the event loop that feeds the line: if the loop hangs, systemd
    // kills relay-mqtt and starts it again.
    if (const std::optional<std::chrono::milliseconds> pace = watchdogPace()) {
        m_watchdog.setInterval(*pace);
        connect(&m_watchdog, &QTimer::timeout, this, [this] { send("WATCHDOG=1"); });
        m_watchdog.start();
    }
}

SystemdNotifier::~SystemdNotifier()
{
    if (m_socket >= 0)
        ::close(m_socket);
}

std::optional<std::chrono::milliseconds> SystemdNotifier::watchdogPace() const
{
    if (!isActive())
        return std::nullopt;
    bool ok = false;
    const qulonglong microseconds = qgetenv("WATCHDOG_USEC").toULongLong(&ok);
    if (!ok || microseconds == 0)
        return std::nullopt;
    // Meant for another process of the service, if it names one.
    const QByteArray pid = qgetenv("WATCHDOG_PID");
    if (!pid.isEmpty() && pid.toLongLong() != qint64(::getpid()))
        return std::nullopt;
    const auto allowed = std::chrono::microseconds(microseconds);
    return std::max(std::chrono::duration_cast<std::chrono::milliseconds>(allowed / 2), 1ms);
}

void SystemdNotifier::ready(const QString &status)
{
    m_status = status;
    send("READY=1\nSTATUS=" + status.toUtf8(), Delivery::Insist);
}

void SystemdNotifier::setStatus(const QString &status)
{
    if (status == m_status)
        return;
    m_status = status;
    send("STATUS=" + status.toUtf8());
}

void SystemdNotifier::stopping()
{
    send("STOPPING=1", Delivery::Insist);
}

void SystemdNotifier::send(const QByteArray &message, Delivery delivery)
{
    if (m_socket < 0)
        return;
    for (int attempt = 0; attempt < insistence; ++attempt) {
        const ssize_t sent = ::sendto(m_socket, message.constData(), std::size_t(message.size()),
            MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&m_address), m_addressLength);
        if (sent >= 0 || (errno != EAGAIN && errno != EINTR) || delivery == Delivery::Drop)
            return;
        // systemd's queue is full: a moment for it to read, never long for the line.
        pollfd writable{m_socket, POLLOUT, 0};
        (void)::poll(&writable, 1, int(insistPause.count()));
    }
}
