#include "relayctl/JobRunner.h"

#include "serial/HoldPace.h"
#include "serial/SerialLink.h"
#include "system/Interruptions.h"

#include <QEventLoop>
#include <QTimer>

#include <thread>

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

JobRunner::JobRunner(
    const Job &job, SerialLink &link, Interruptions &interruptions, QTextStream &log)
    : m_job(job), m_link(link), m_interruptions(interruptions), m_log(log)
{ }

int JobRunner::run()
{
    const QMetaObject::Connection lost = QObject::connect(&m_link, &SerialLink::portLost, &m_link,
        [this](int, const QString &reason) { lose(reason); });
    const QMetaObject::Connection interrupted = QObject::connect(&m_interruptions,
        &Interruptions::interrupted, &m_link, [this] { m_status = m_interruptions.exitStatus(); });

    for (const Step &step : m_job.steps) {
        if (stopped() || !carryOut(step))
            break;
    }
    // Whatever ended the steps, the card gets what was already written before DTR drops.
    if (m_link.isOpen() && waitForLine(false))
        m_link.close();

    QObject::disconnect(lost);
    QObject::disconnect(interrupted);
    return m_status;
}

bool JobRunner::carryOut(const Step &step)
{
    switch (step.kind) {
    case Step::Kind::Send:
        return send(step);
    case Step::Kind::Hold:
        return hold(step);
    case Step::Kind::Wait:
        return waitForLine(true) && pause(step.duration);
    }
    return false;
}

bool JobRunner::send(const Step &step)
{
    if (m_job.verbose)
        m_log << step.line() << Qt::endl;
    if (!m_link.write(step.burst())) {
        lose(m_link.errorString());
        return false;
    }
    return true;
}

bool JobRunner::hold(const Step &step)
{
    if (m_job.verbose)
        m_log << step.line() << Qt::endl;
    const QByteArray burst = step.burst();
    std::optional<SteadyClock::time_point> start;
    for (;;) {
        // The first burst, too, waits for the pace: it follows what was sent before it.
        if (!pause(HoldPace::untilRepeat(m_link, burst.size())))
            return false;
        if (!HoldPace::mayRepeat(m_link, burst.size()))
            continue;
        const auto now = SteadyClock::now();
        // The hold's duration counts from its first burst.
        if (start && HoldPace::isOver(m_link, now - *start, step.duration))
            return true;
        if (!start)
            start = now;
        if (!m_link.write(burst)) {
            lose(m_link.errorString());
            return false;
        }
    }
}

bool JobRunner::pause(std::chrono::nanoseconds duration)
{
    if (stopped())
        return false;
    runEventsFor(std::chrono::ceil<std::chrono::milliseconds>(duration), true);
    return !stopped();
}

void JobRunner::runEventsFor(std::chrono::milliseconds duration, bool interruptible)
{
    QEventLoop loop;
    QTimer::singleShot(duration, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    QObject::connect(&m_link, &SerialLink::portLost, &loop, &QEventLoop::quit);
    if (interruptible)
        QObject::connect(&m_interruptions, &Interruptions::interrupted, &loop, &QEventLoop::quit);
    loop.exec();
}

bool JobRunner::waitForLine(bool interruptible)
{
    const auto deadline = SteadyClock::now() + m_link.timeToCarry() + stalledLine;
    while (m_link.isOpen() && m_link.bytesWaiting() > 0) {
        if (interruptible && stopped())
            return false;
        if (SteadyClock::now() > deadline) {
            lose(tr("The line stopped taking bytes"));
            return false;
        }
        // The timer for the whole milliseconds, a plain sleep for the last one: the exit waits
        // for the line, not for a rounded-up timer.
        const auto left = m_link.timeToCarry();
        if (left < 2ms) {
            std::this_thread::sleep_for(std::max<std::chrono::nanoseconds>(left, 100us));
            continue;
        }
        runEventsFor(std::chrono::floor<std::chrono::milliseconds>(left - 1ms), interruptible);
    }
    return m_link.isOpen();
}

void JobRunner::lose(const QString &reason)
{
    if (m_status == PortLost)
        return;
    m_status = PortLost;
    m_log << QStringLiteral("relayctl: ") << tr("%1 was lost: %2").arg(m_job.lineName(), reason)
          << Qt::endl;
}
