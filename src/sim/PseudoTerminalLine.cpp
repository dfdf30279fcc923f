#include "sim/PseudoTerminalLine.h"

#include <QFile>
#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

PseudoTerminalLine::PseudoTerminalLine(QObject *parent) : QObject(parent)
{
    std::array<char, 256> name{};
    if (::openpty(&m_master, &m_slave, name.data(), nullptr, nullptr) != 0) {
        m_errorString = QString::fromLocal8Bit(std::strerror(errno));
        m_master = m_slave = -1;
        return;
    }
    // Raw on both sides: the bytes pass as they are.
    termios settings{};
    ::tcgetattr(m_slave, &settings);
    ::cfmakeraw(&settings);
    ::tcsetattr(m_slave, TCSANOW, &settings);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_slaveName = QFile::decodeName(name.data());
    m_notifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &PseudoTerminalLine::readAvailable);
}

PseudoTerminalLine::~PseudoTerminalLine()
{
    delete m_notifier;
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
}

void PseudoTerminalLine::readAvailable()
{
    std::array<char, 4096> chunk{};
    for (;;) {
        const ssize_t count = ::read(m_master, chunk.data(), chunk.size());
        if (count <= 0)
            return;
        emit bytesReceived(QByteArray(chunk.data(), count));
    }
}
