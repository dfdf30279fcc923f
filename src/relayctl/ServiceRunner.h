#pragma once

#include "relayctl/Job.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <QTextStream>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <utility>

class Interruptions;
class ServiceLink;

// Carries out a job's steps through a relay-mqtt that owns the line: each command as relay-mqtt
// takes it from any client (its queue, its interlocks, its hold limit), a hold renewed while
// relayctl runs, so that it ends when relayctl does. Like JobRunner, it is done once relay-mqtt
// reports the line has carried every burst.
class ServiceRunner
{
    Q_DECLARE_TR_FUNCTIONS(ServiceRunner)

public:
    enum Status {
        Done = 0,
        Refused = 75, // EX_TEMPFAIL: relay-mqtt refused a command or ended a hold early
    };

    // A hold's renewals come this often; relay-mqtt ends a hold not renewed for 300 ms.
    static constexpr std::chrono::milliseconds renewal{100};
    // How long relay-mqtt may take to report a burst carried: its queue and the holds of
    // others come first.
    static constexpr std::chrono::seconds slowestAnswer{20};
    // Commands sent ahead of their answers: the line is never idle for want of the next.
    static constexpr int window = 4;
    // How far from its own length relay-mqtt's end of a hold may be: the start is counted
    // from its first burst there, from its answer here.
    static constexpr std::chrono::milliseconds holdEndAllowance{500};
    // After SIGINT or SIGTERM, how long relayctl waits for what relay-mqtt took to be carried.
    static constexpr std::chrono::seconds afterInterruption{2};

    ServiceRunner(
        const Job &job, ServiceLink &link, Interruptions &interruptions, QTextStream &log);

    // The exit status: Done, Refused, a ServiceLink failure's, or the interruption's.
    int run();

    // The live message that carries a step's command; none for a command relay-mqtt does not
    // take (set-address: its cards keep the addresses it is configured with).
    static std::optional<QJsonObject> commandMessage(const Step &step);

private:
    bool connectLink();
    bool send(const Step &step);
    bool hold(const Step &step);
    // Until every command sent is answered, or the run must end.
    bool settle(qsizetype most = 0, std::chrono::milliseconds limit = slowestAnswer);
    // Runs the event loop for `duration`, or until the run must end.
    bool pause(std::chrono::milliseconds duration);
    // Runs the event loop until `done` or the run ends, at most `limit`; false if it ran out.
    bool runUntil(const std::function<bool()> &done, std::chrono::milliseconds limit);
    void received(const QJsonObject &message);
    // Sends `message` with an id of its own, to be answered; `words` say what it asks for.
    int sendMessage(QJsonObject message, const QString &words);
    bool stopped() const { return m_status != Done; }
    void refuse(const QString &what, const QString &reason, int status = Refused);

    const Job &m_job;
    ServiceLink &m_link;
    Interruptions &m_interruptions;
    QTextStream &m_log;
    int m_status = Done;
    int m_lastId = 0;
    bool m_anyCarried = false;
    bool m_linkDown = false;
    // The ids sent and not yet answered, with what each asked for, for a refusal's message.
    std::map<int, QString> m_unanswered;
    // The relay relayctl is holding now, if it is, and the id that started its hold.
    std::optional<std::pair<int, int>> m_holding;
    int m_holdStart = 0;
    bool m_holdOver = false; // relay-mqtt ended the hold when its time was up
    std::chrono::steady_clock::time_point m_holdStarted;
    std::chrono::milliseconds m_holdLength{};
};
