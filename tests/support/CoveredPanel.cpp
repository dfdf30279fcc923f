#include "CoveredPanel.h"

#include "ProcessOutcome.h"
#include "SerialNodes.h"

#include <QEventLoop>
#include <QStandardPaths>
#include <QTimer>

#include <chrono>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// How long the panel's window may take to appear.
constexpr auto windowTimeout = 20s;

} // namespace

CoveredPanel::~CoveredPanel()
{
    stop();
}

QString CoveredPanel::lacking()
{
    if (::geteuid() != 0)
        return QStringLiteral("root");
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return QStringLiteral("an X display");
    for (const char *tool : {"unshare", "xdotool"}) {
        if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
            return QLatin1String(tool);
    }
    return {};
}

bool CoveredPanel::xdotool(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("xdotool"), arguments);
    return finish(process, 20s).exitCode == 0;
}

QString CoveredPanel::start(const QString &program, const QString &line, const QStringList &nodes,
    const QProcessEnvironment &environment)
{
    // A real X window, whatever platform the test suite asks of Qt for itself.
    QProcessEnvironment panelEnvironment = QProcessEnvironment::systemEnvironment();
    panelEnvironment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    panelEnvironment.insert(environment);
    m_panel.setProcessEnvironment(panelEnvironment);
    m_panel.setProcessChannelMode(QProcess::ForwardedChannels);
    SerialNodes::start(m_panel, SerialNodes::command(line, nodes, program));
    if (!m_panel.waitForStarted())
        return QStringLiteral("unshare did not start");
    // xdotool waits for the window itself. The check right before the program starts may still
    // refuse (a port plugged in meanwhile): the panel's end ends the wait too. A search that
    // failed at once (a window of the panel's gone while xdotool walked the tree, an X error
    // that ends xdotool) is started again until the window appears or the time is up.
    const auto deadline = std::chrono::steady_clock::now() + windowTimeout;
    QString searchFailure;
    while (m_window.isEmpty() && m_panel.state() == QProcess::Running
        && std::chrono::steady_clock::now() < deadline) {
        QProcess search;
        QEventLoop waiting;
        QObject::connect(&search, &QProcess::finished, &waiting, &QEventLoop::quit);
        QObject::connect(&m_panel, &QProcess::finished, &waiting, &QEventLoop::quit);
        QTimer::singleShot(std::chrono::ceil<std::chrono::milliseconds>(
                               deadline - std::chrono::steady_clock::now()),
            &waiting, &QEventLoop::quit);
        search.start(QStringLiteral("xdotool"),
            {"search", "--sync", "--onlyvisible", "--name", "^8 Channel relay board$"});
        waiting.exec();
        if (search.state() == QProcess::NotRunning && search.exitCode() == 0) {
            m_window = QString::fromLatin1(search.readAllStandardOutput().split('\n').first());
        } else {
            const ProcessOutcome outcome = finish(search, 0ms);
            searchFailure = QStringLiteral(" (xdotool: status %1, %2)")
                                .arg(outcome.exitCode)
                                .arg(outcome.errors.trimmed());
        }
    }
    if (m_panel.state() != QProcess::Running) {
        return m_panel.exitCode() == SerialNodes::refused
            ? QStringLiteral("refused to start the panel: a serial device node was left uncovered")
            : QStringLiteral("the panel, or its mount namespace, ended before its window appeared");
    }
    if (m_window.isEmpty())
        return QStringLiteral("the panel's window did not appear") + searchFailure;
    if (!xdotool({"windowfocus", "--sync", m_window}))
        return QStringLiteral("the panel's window could not be given the keyboard");
    return {};
}

void CoveredPanel::stop()
{
    if (m_panel.state() == QProcess::NotRunning)
        return;
    m_panel.terminate();
    finish(m_panel, 5s);
}
