// Starts an installed relaypanel as an operator would, in a real X window, with a
// pseudo-terminal standing in for its serial port 1, and clicks it with xdotool. The program
// runs in a private mount namespace where the pseudo-terminal is bound over every serial device
// node, so it cannot reach a real port. Needs root, unshare, xdotool and an X display (run it
// under xvfb-run); the path of the program comes in RELAYPANEL_PROGRAM.

#include "support/Bytes.h"
#include "support/PseudoTerminal.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <termios.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

QString run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(20000) || process.exitCode() != 0)
        return {};
    return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
}

} // namespace

class TestInstalled : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void clickReachesTheLine();
    void cleanupTestCase();

private:
    bool xdotool(const QStringList &arguments);

    QString m_program;
    QString m_window;
    PseudoTerminal m_line;
    QProcess m_panel;
};

void TestInstalled::initTestCase()
{
    m_program = qEnvironmentVariable("RELAYPANEL_PROGRAM");
    if (m_program.isEmpty() || ::geteuid() != 0 || qEnvironmentVariableIsEmpty("DISPLAY")
        || QStandardPaths::findExecutable("unshare").isEmpty()
        || QStandardPaths::findExecutable("xdotool").isEmpty())
        QSKIP("needs RELAYPANEL_PROGRAM, root, unshare, xdotool and an X display");
    QVERIFY(QFile::exists(m_program));
    QVERIFY(m_line.isValid());

    QStringList binds;
    const QStringList serialNodes = QDir("/dev").entryList(
        {"ttyS*", "ttyUSB*", "ttyACM*", "ttyAMA*"}, QDir::System | QDir::Files);
    for (const QString &node : serialNodes)
        binds << QStringLiteral("mount --bind %1 /dev/%2").arg(m_line.name(), node);
    if (binds.isEmpty())
        QSKIP("this machine has no serial device node to stand in for");

    // A real X window, whatever platform the test suite asks of Qt for itself.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("QT_QPA_PLATFORM");
    m_panel.setProcessEnvironment(environment);
    m_panel.setProcessChannelMode(QProcess::ForwardedChannels);
    m_panel.start("unshare",
        {"--mount", "--propagation", "private", "sh", "-c",
            binds.join(" && ") + " && exec " + m_program});
    QVERIFY(m_panel.waitForStarted());
    m_window
        = run("xdotool", {"search", "--sync", "--onlyvisible", "--name", "^8 Channel relay board$"})
              .section('\n', 0, 0);
    QVERIFY2(!m_window.isEmpty(), "the panel's window did not appear");
    QVERIFY(xdotool({"windowfocus", "--sync", m_window}));
}

bool TestInstalled::xdotool(const QStringList &arguments)
{
    QProcess process;
    process.start("xdotool", arguments);
    return process.waitForFinished(20000) && process.exitCode() == 0;
}

void TestInstalled::clickReachesTheLine()
{
    // Port 1 was opened at start-up with the cards' line settings.
    const auto lineSpeed = [this] {
        const termios settings = m_line.settings();
        return cfgetospeed(&settings);
    };
    QTRY_COMPARE(lineSpeed(), speed_t(B2400));

    // The ON button of relay 3, and then the emergency stop, clicked in their middles.
    QVERIFY(xdotool({"mousemove", "--window", m_window, "108", "132", "click", "1"}));
    QCOMPARE(m_line.read(20, 5s), bytes({13, 1, 83, 51, 108}).repeated(4));
    QVERIFY(xdotool({"mousemove", "--window", m_window, "352", "250", "click", "1"}));
    QCOMPARE(m_line.read(20, 5s), bytes({13, 1, 69, 49, 124}).repeated(4));
    QCOMPARE(m_line.readAll(200ms), QByteArray());
}

void TestInstalled::cleanupTestCase()
{
    if (m_panel.state() == QProcess::NotRunning)
        return;
    m_panel.terminate();
    if (!m_panel.waitForFinished(5000))
        m_panel.kill();
}

QTEST_GUILESS_MAIN(TestInstalled)
#include "tst_installed.moc"
