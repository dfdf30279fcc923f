// Starts an installed relaypanel as an operator would, in a real X window, with a
// pseudo-terminal standing in for its serial port 1, and clicks it with xdotool. The program
// runs in a private mount namespace where the pseudo-terminal is bound over every serial device
// node, and is not started while one is left uncovered, so it cannot reach a real port. Needs
// root, unshare, xdotool and an X display (run it under xvfb-run); the path of the program comes
// in RELAYPANEL_PROGRAM. Exits 77 when it skipped, for CTest.

#include "support/Bytes.h"
#include "support/PseudoTerminal.h"
#include "support/SerialNodes.h"

#include <QDeadlineTimer>
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

public:
    bool clicked() const { return m_clicked; }

private:
    bool xdotool(const QStringList &arguments);

    QString m_program;
    QString m_window;
    PseudoTerminal m_line;
    QProcess m_panel;
    bool m_clicked = false;
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

    QString error;
    const QStringList serialNodes = SerialNodes::survey(m_line.name(), &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    if (serialNodes.isEmpty())
        QSKIP("this machine has no serial device node to stand in for");

    // A real X window, whatever platform the test suite asks of Qt for itself.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("QT_QPA_PLATFORM");
    m_panel.setProcessEnvironment(environment);
    m_panel.setProcessChannelMode(QProcess::ForwardedChannels);
    SerialNodes::start(m_panel, SerialNodes::command(m_line.name(), serialNodes, m_program));
    QVERIFY(m_panel.waitForStarted());
    // The check right before the program starts may still refuse (a port plugged in meanwhile).
    QDeadlineTimer deadline(20s);
    while (m_window.isEmpty() && m_panel.state() == QProcess::Running && !deadline.hasExpired()) {
        m_window = run("xdotool", {"search", "--onlyvisible", "--name", "^8 Channel relay board$"})
                       .section('\n', 0, 0);
        if (m_window.isEmpty())
            m_panel.waitForFinished(100);
    }
    QVERIFY2(m_panel.state() == QProcess::Running,
        m_panel.exitCode() == SerialNodes::refused
            ? "refused to start the panel: a serial device node was left uncovered"
            : "the panel, or its mount namespace, ended before its window appeared");
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
    m_clicked = true;
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

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    TestInstalled test;
    QTEST_SET_MAIN_SOURCE_PATH
    const int failures = QTest::qExec(&test, argc, argv);
    // A run that never got to click the panel has not passed: CTest takes 77 for "skipped".
    return failures == 0 && !test.clicked() ? 77 : failures;
}

#include "tst_installed.moc"
