#include "BrowserRemote.h"

#include "DiesWithParent.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QJsonDocument>

#include <optional>

BrowserRemote::BrowserRemote(const QString &script, const QString &chromium)
{
    dieWithParent(m_node);
    if (!chromium.isEmpty()) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("CHROMIUM"), chromium);
        m_node.setProcessEnvironment(environment);
    }
    // Its own messages go to the test's output, where a failure is read.
    m_node.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_node.start(QStringLiteral("node"), {script});
}

BrowserRemote::~BrowserRemote()
{
    m_node.closeWriteChannel();
    if (!m_node.waitForFinished(10'000))
        m_node.kill();
    m_node.waitForFinished();
}

std::optional<QJsonValue> BrowserRemote::call(const QString &command, QJsonObject arguments)
{
    const int id = m_nextId++;
    arguments.insert(QStringLiteral("id"), id);
    arguments.insert(QStringLiteral("cmd"), command);
    m_node.write(QJsonDocument(arguments).toJson(QJsonDocument::Compact) + '\n');
    const QDeadlineTimer deadline(answerTimeout);
    while (true) {
        m_pending += m_node.readAllStandardOutput();
        for (qsizetype end; (end = m_pending.indexOf('\n')) >= 0;) {
            const QJsonObject answer = QJsonDocument::fromJson(m_pending.first(end)).object();
            m_pending.remove(0, end + 1);
            if (answer.value(u"id").toInt() != id)
                continue;
            if (answer.value(u"ok").toBool())
                return answer.value(u"result");
            m_error = command + QStringLiteral(": ") + answer.value(u"error").toString();
            qWarning("%s", qPrintable(m_error));
            return std::nullopt;
        }
        if (m_node.state() == QProcess::NotRunning || deadline.hasExpired()
            || !m_node.waitForReadyRead(int(deadline.remainingTime()))) {
            m_error = command
                + QStringLiteral(": no answer from the browser (%1)")
                      .arg(m_node.state() == QProcess::NotRunning ? QStringLiteral("node ended")
                                                                  : QStringLiteral("timed out"));
            qWarning("%s", qPrintable(m_error));
            return std::nullopt;
        }
    }
}

bool BrowserRemote::run(const QString &command, const QJsonObject &arguments)
{
    return call(command, arguments).has_value();
}

QJsonObject BrowserRemote::control(
    const QString &page, const QString &region, const QString &role, const QString &name)
{
    return {{QStringLiteral("page"), page}, {QStringLiteral("region"), region},
        {QStringLiteral("role"), role}, {QStringLiteral("name"), name}};
}
