#include "PseudoTerminal.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

PseudoTerminal::PseudoTerminal()
{
    char name[256] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        m_master = m_slave = -1;
        return;
    }
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    // A program the test starts must not inherit the line: holding the master would keep it up
    // after hangUp().
    for (int fd : {m_master, m_slave})
        ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
    m_name = QFile::decodeName(name);
}

PseudoTerminal::~PseudoTerminal()
{
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
}

QByteArray PseudoTerminal::read(qsizetype count, std::chrono::milliseconds timeout)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    QByteArray bytes;
    while (bytes.size() < count) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd fd{m_master, POLLIN, 0};
        // A signal (libFuzzer's timeout alarm, say) cuts a wait short without ending it.
        const int ready = ::poll(&fd, 1, static_cast<int>(std::max<qint64>(left.count(), 0)));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        char chunk[4096];
        const ssize_t n = ::read(m_master, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            break;
        bytes.append(chunk, n);
    }
    return bytes;
}

QByteArray PseudoTerminal::readAll(std::chrono::milliseconds quiet)
{
    QByteArray bytes;
    for (;;) {
        const QByteArray more = read(1, quiet);
        if (more.isEmpty())
            return bytes;
        bytes.append(more);
    }
}

void PseudoTerminal::hangUp()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

termios PseudoTerminal::settings() const
{
    termios tio{};
    ::tcgetattr(m_slave, &tio);
    return tio;
}

bool PseudoTerminal::setSettings(const termios &settings)
{
    return ::tcsetattr(m_slave, TCSANOW, &settings) == 0;
}
