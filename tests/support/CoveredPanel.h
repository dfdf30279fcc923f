#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// The real panel program in a real X window, as an operator starts it, with a pseudo-terminal
// bound over every serial device node in a private mount namespace (SerialNodes), so no real
// port is in its reach. Needs root, unshare, xdotool and an X display.
class CoveredPanel
{
public:
    CoveredPanel() = default;
    ~CoveredPanel();
    CoveredPanel(const CoveredPanel &) = delete;
    CoveredPanel &operator=(const CoveredPanel &) = delete;

    // What this machine lacks for it, or nothing.
    static QString lacking();
    // Runs xdotool and says whether it succeeded.
    static bool xdotool(const QStringList &arguments);

    // Starts `program` with `line` over each of `nodes` and `environment` added to the test's,
    // waits for its window and gives it the keyboard, as no window manager does under Xvfb.
    // What went wrong, or nothing.
    QString start(const QString &program, const QString &line, const QStringList &nodes,
        const QProcessEnvironment &environment = {});
    // Ends the panel.
    void stop();

    // The panel's process: the namespace's shell execs it, so it keeps the shell's id.
    qint64 processId() const { return m_panel.processId(); }
    QString window() const { return m_window; }

private:
    QProcess m_panel;
    QString m_window;
};
