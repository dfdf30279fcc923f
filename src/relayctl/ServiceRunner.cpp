#include "relayctl/ServiceRunner.h"

#include "relayctl/ServiceLink.h"
#include "system/Interruptions.h"

#include <QEventLoop>
#include <QJsonValue>
#include <QTimer>

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

namespace {

bool same(const RelayCommand &one, const RelayCommand &other)
{
    return one.instruction == other.instruction && one.parameter == other.parameter
        && one.fixedDigit == other.fixedDigit;
}

} // namespace

ServiceRunner::ServiceRunner(
    const Job &job, ServiceLink &link, Interruptions &interruptions, QTextStream &log)
    : m_job(job), m_link(link), m_interruptions(interruptions), m_log(log)
{ }

std::optional<QJsonObject> ServiceRunner::commandMessage(const Step &step)
{
    const QString card = QString::number(step.address);
    const auto command = [&card](const QString &rest, const QJsonObject &body) {
        return QJsonObject{{QStringLiteral("type"), QStringLiteral("command")},
            {QStringLiteral("path"), card + u'/' + rest}, {QStringLiteral("body"), body}};
    };
    const QString relay = QStringLiteral("relays/%1").arg(step.value);
    const auto state = [](const char *value) {
        return QJsonObject{{QStringLiteral("state"), QLatin1String(value)}};
    };
    if (same(step.command, RelayCommand::relayOn))
        return command(relay, state("ON"));
    if (same(step.command, RelayCommand::relayOff))
        return command(relay, state("OFF"));
    if (same(step.command, RelayCommand::toggleRelay))
        return command(relay, state("TOGGLE"));
    if (same(step.command, RelayCommand::allOn))
        return command(QStringLiteral("all"), state("ON"));
    if (same(step.command, RelayCommand::allOff))
        return command(QStringLiteral("all"), state("OFF"));
    if (same(step.command, RelayCommand::emergencyStop))
        return command(QStringLiteral("stop"), {});
    if (same(step.command, RelayCommand::showAddress))
        return command(QStringLiteral("show"), {});
    return std::nullopt;
}

int ServiceRunner::run()
{
    const QMetaObject::Connection interrupted = QObject::connect(&m_interruptions,
        &Interruptions::interrupted, &m_link, [this] { m_status = m_interruptions.exitStatus(); });
    const QMetaObject::Connection messages = QObject::connect(&m_link, &ServiceLink::message,
        &m_link, [this](const QJsonObject &message) { received(message); });
    const QMetaObject::Connection failed = QObject::connect(
        &m_link, &ServiceLink::failed, &m_link, [this](int status, const QString &reason) {
            m_linkDown = true;
            if (stopped())
                return;
            m_status = status;
            m_log << QStringLiteral("relayctl: ") << tr("%1: %2").arg(m_link.description(), reason)
                  << Qt::endl;
        });

    if (connectLink()) {
        if (m_job.verbose)
            m_log << QStringLiteral("relayctl: ")
                  << tr("the line is relay-mqtt's: %1").arg(m_link.description()) << Qt::endl;
        for (const Step &step : m_job.steps) {
            if (stopped())
                break;
            switch (step.kind) {
            case Step::Kind::Send:
                send(step);
                break;
            case Step::Kind::Hold:
                if (settle())
                    hold(step);
                break;
            case Step::Kind::Wait:
                if (settle())
                    pause(step.duration);
                break;
            }
        }
        // Whatever else ended the steps, what relay-mqtt took is carried before relayctl goes;
        // after a signal, not much longer than the line takes for it.
        if (!m_linkDown) {
            const int status = m_status;
            const bool interrupted = m_interruptions.first() != 0;
            m_status = Done;
            settle(0, interrupted ? afterInterruption : slowestAnswer);
            if (status != Done)
                m_status = status;
        }
    }
    QObject::disconnect(interrupted);
    QObject::disconnect(messages);
    QObject::disconnect(failed);
    return m_status;
}

bool ServiceRunner::connectLink()
{
    bool ready = false;
    const QMetaObject::Connection in
        = QObject::connect(&m_link, &ServiceLink::ready, &m_link, [&ready] { ready = true; });
    m_link.open();
    // The link's own patience decides how long to wait for it; this only ends the wait.
    runUntil([&ready] { return ready; }, slowestAnswer);
    QObject::disconnect(in);
    if (!ready && !stopped()) {
        m_status = ServiceLink::Unreachable;
        m_log << QStringLiteral("relayctl: ") << tr("%1: no answer").arg(m_link.description())
              << Qt::endl;
    }
    return ready && !stopped();
}

bool ServiceRunner::send(const Step &step)
{
    const std::optional<QJsonObject> message = commandMessage(step);
    if (!message)
        return false;
    if (!settle(window - 1))
        return false;
    if (m_job.verbose)
        m_log << step.line() << Qt::endl;
    sendMessage(*message, step.words);
    return true;
}

bool ServiceRunner::hold(const Step &step)
{
    if (m_job.verbose)
        m_log << step.line() << Qt::endl;
    const QJsonObject relay{
        {QStringLiteral("card"), step.address}, {QStringLiteral("relay"), step.value}};
    QJsonObject start = relay;
    start.insert(QStringLiteral("type"), QStringLiteral("hold"));
    // relay-mqtt times the hold from its first burst, as relayctl does on a port of its own.
    start.insert(QStringLiteral("hold_ms"), qint64(step.duration.count()));
    m_holding = std::pair<int, int>{step.address, step.value};
    m_holdStart = sendMessage(start, step.words);
    // The hold's time counts from its first burst, which relay-mqtt reports carried.
    if (!settle()) {
        m_holding.reset();
        return false;
    }
    // Renewed until relay-mqtt says its time is up; should that word not come, relayctl lets
    // go itself a little later.
    m_holdStarted = SteadyClock::now();
    m_holdLength = step.duration;
    const auto end = SteadyClock::now() + step.duration + holdEndAllowance;
    QJsonObject renew = relay;
    renew.insert(QStringLiteral("type"), QStringLiteral("renew"));
    while (!stopped() && m_holding && !m_holdOver && SteadyClock::now() < end) {
        const auto next = SteadyClock::now() + renewal;
        runUntil([this, next] { return m_holdOver || !m_holding || SteadyClock::now() >= next; },
            renewal);
        if (!stopped() && m_holding && !m_holdOver)
            m_link.send(renew);
    }
    const bool held = m_holding.has_value();
    m_holding.reset();
    m_holdOver = false;
    if (!held)
        return false;
    // Let go at once, interrupted or not (if its time is up, nothing is held any more); its
    // last burst is carried before relayctl goes.
    QJsonObject release = relay;
    release.insert(QStringLiteral("type"), QStringLiteral("release"));
    sendMessage(release, step.words);
    return !stopped();
}

bool ServiceRunner::settle(qsizetype most, std::chrono::milliseconds limit)
{
    if (qsizetype(m_unanswered.size()) <= most)
        return !stopped();
    const bool answered
        = runUntil([this, most] { return qsizetype(m_unanswered.size()) <= most; }, limit);
    if (!answered && !stopped()) {
        m_status = ServiceLink::Lost;
        m_log << QStringLiteral("relayctl: ")
              << tr("%1 did not report the line had carried the bursts within %2 s")
                     .arg(m_link.description())
                     .arg(std::chrono::duration_cast<std::chrono::seconds>(limit).count())
              << Qt::endl;
    }
    return answered && !stopped();
}

bool ServiceRunner::pause(std::chrono::milliseconds duration)
{
    const auto end = SteadyClock::now() + duration;
    runUntil([end] { return SteadyClock::now() >= end; }, duration);
    return !stopped();
}

bool ServiceRunner::runUntil(const std::function<bool()> &done, std::chrono::milliseconds limit)
{
    const auto deadline = SteadyClock::now() + limit;
    while (!done()) {
        if (stopped() || SteadyClock::now() >= deadline)
            return done();
        QEventLoop loop;
        QTimer::singleShot(
            std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now()),
            Qt::PreciseTimer, &loop, &QEventLoop::quit);
        // Any news may be what is waited for.
        QObject::connect(&m_link, &ServiceLink::message, &loop, &QEventLoop::quit);
        QObject::connect(&m_link, &ServiceLink::ready, &loop, &QEventLoop::quit);
        QObject::connect(&m_link, &ServiceLink::failed, &loop, &QEventLoop::quit);
        QObject::connect(&m_interruptions, &Interruptions::interrupted, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

void ServiceRunner::received(const QJsonObject &message)
{
    const QString type = message.value(u"type").toString();
    const int id = message.value(u"id").toInt(-1);
    if (type == QLatin1String("carried")) {
        m_unanswered.erase(id);
        m_anyCarried = true;
    } else if (const auto asked = m_unanswered.find(id);
               type == QLatin1String("refused") && asked != m_unanswered.end()) {
        const QString words = asked->second;
        m_unanswered.erase(asked);
        // A port relay-mqtt cannot use is the port relayctl could not open, or lost; a card it
        // does not bridge is as unavailable.
        const int status = message.value(u"status").toInt();
        const bool portDown = status == 503;
        if (portDown && m_anyCarried)
            refuse(words, message.value(u"error").toString(), ServiceLink::Lost);
        else if (portDown || status == 404)
            refuse(words, message.value(u"error").toString(), ServiceLink::Unreachable);
        else
            refuse(words, message.value(u"error").toString());
        if (id == m_holdStart)
            m_holding.reset();
    } else if (type == QLatin1String("holdEnded") && m_holding
        && message.value(u"card").toInt() == m_holding->first
        && message.value(u"relay").toInt() == m_holding->second) {
        const auto heldFor = std::chrono::duration_cast<std::chrono::milliseconds>(
            SteadyClock::now() - m_holdStarted);
        // Its own time, unless a shorter hold another client asked for took its place.
        if (message.value(u"timeUp").toBool() && heldFor >= m_holdLength - holdEndAllowance) {
            m_holdOver = true;
            return;
        }
        m_holding.reset();
        const QString what = tr("hold relay %1").arg(message.value(u"relay").toInt());
        if (message.value(u"portLost").toBool())
            refuse(what, message.value(u"reason").toString(), ServiceLink::Lost);
        else if (message.value(u"timeUp").toBool())
            refuse(what,
                tr("it ended the hold after %1 of %2 ms, for another client's hold of the relay")
                    .arg(heldFor.count())
                    .arg(m_holdLength.count()));
        else
            refuse(what, tr("it ended the hold: %1").arg(message.value(u"reason").toString()));
    }
}

int ServiceRunner::sendMessage(QJsonObject message, const QString &words)
{
    message.insert(QStringLiteral("id"), ++m_lastId);
    m_unanswered.emplace(m_lastId, words);
    m_link.send(message);
    return m_lastId;
}

void ServiceRunner::refuse(const QString &what, const QString &reason, int status)
{
    if (!stopped())
        m_status = status;
    m_log << QStringLiteral("relayctl: ") << tr("relay-mqtt refused %1: %2").arg(what, reason)
          << Qt::endl;
}
