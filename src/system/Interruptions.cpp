#include "system/Interruptions.h"

#include <array>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The pipe's ends; the handler may touch nothing else.
std::array<int, 2> pipeEnds{-1, -1};

void writeSignal(int signal)
{
    const auto number = static_cast<unsigned char>(signal);
    // Nothing to be done if the pipe is full: a signal is already waiting in it.
    [[maybe_unused]] const ssize_t written = ::write(pipeEnds[1], &number, 1);
}

} // namespace

Interruptions::Interruptions(QObject *parent) : QObject(parent)
{
    if (::pipe2(pipeEnds.data(), O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_notifier = std::make_unique<QSocketNotifier>(pipeEnds[0], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &Interruptions::readPipe);
    struct sigaction action = {};
    action.sa_handler = writeSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM})
        ::sigaction(signal, &action, nullptr);
}

Interruptions::~Interruptions()
{
    for (int signal : {SIGINT, SIGTERM})
        std::signal(signal, SIG_DFL);
    m_notifier.reset();
    for (int &end : pipeEnds) {
        if (end >= 0)
            ::close(end);
        end = -1;
    }
}

void Interruptions::readPipe()
{
    unsigned char number = 0;
    while (::read(pipeEnds[0], &number, 1) == 1) {
        if (m_first == 0) {
            m_first = number;
            emit interrupted(number);
        }
    }
}
