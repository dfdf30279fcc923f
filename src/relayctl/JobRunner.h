#pragma once

#include "relayctl/Job.h"

#include <QCoreApplication>
#include <QObject>
#include <QTextStream>

#include <chrono>

class Interruptions;
class SerialLink;

// Carries out a job's steps on an open serial link, in order, and lets the line carry all that
// was written before the port is closed. An interruption or a lost port ends the steps early.
class JobRunner
{
    Q_DECLARE_TR_FUNCTIONS(JobRunner)

public:
    enum Status {
        Done = 0,
        PortLost = 74, // EX_IOERR: the port went away or refused a write
    };

    // A line that never catches up (flow stopped by the device, say) is given up after this.
    static constexpr std::chrono::seconds stalledLine{10};

    JobRunner(const Job &job, SerialLink &link, Interruptions &interruptions, QTextStream &log);

    // The exit status: Done, PortLost, or the interruption's.
    int run();

private:
    bool carryOut(const Step &step);
    bool hold(const Step &step);
    bool send(const Step &step);
    // Runs the event loop for `duration`; false once the run must end.
    bool pause(std::chrono::nanoseconds duration);
    // Runs the event loop for `duration`, or until the port is lost or, if `interruptible`, an
    // interruption comes.
    void runEventsFor(std::chrono::milliseconds duration, bool interruptible);
    // Until the line has carried everything written; false if the run must end first.
    bool waitForLine(bool interruptible);
    bool stopped() const { return m_status != Done; }
    void lose(const QString &reason);

    const Job &m_job;
    SerialLink &m_link;
    Interruptions &m_interruptions;
    QTextStream &m_log;
    int m_status = Done;
};
