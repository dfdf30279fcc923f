// Starts an installed relaypanel as an operator would, in a real X window, with a
// pseudo-terminal standing in for its serial port 1, and clicks it with xdotool. The program
// runs in a private mount namespace where the pseudo-terminal is bound over every serial device
// node, and is not started while one is left uncovered, so it cannot reach a real port. Needs
// root, unshare, xdotool and an X display (run it under xvfb-run); the path of the program comes
// in RELAYPANEL_PROGRAM. Exits 77 when it skipped, for CTest.

#include "support/Bytes.h"
#include "support/CoveredPanel.h"
#include "support/PseudoTerminal.h"
#include "support/SerialNodes.h"

#include <QFile>
#include <QTest>

#include <termios.h>

using namespace std::chrono_literals;

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
    PseudoTerminal m_line;
    CoveredPanel m_panel;
    bool m_clicked = false;
};

void TestInstalled::initTestCase()
{
    const QString program = qEnvironmentVariable("RELAYPANEL_PROGRAM");
    if (program.isEmpty())
        QSKIP("needs RELAYPANEL_PROGRAM");
    if (const QString lacking = CoveredPanel::lacking(); !lacking.isEmpty())
        QSKIP(qPrintable("needs " + lacking));
    QVERIFY(QFile::exists(program));
    QVERIFY(m_line.isValid());

    QString error;
    const QStringList serialNodes = SerialNodes::survey(m_line.name(), &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    if (serialNodes.isEmpty())
        QSKIP("this machine has no serial device node to stand in for");
    const QString failure = m_panel.start(program, m_line.name(), serialNodes);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
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
    const QString window = m_panel.window();
    QVERIFY(CoveredPanel::xdotool({"mousemove", "--window", window, "108", "132", "click", "1"}));
    QCOMPARE(m_line.read(20, 5s), burstOf({13, 1, 83, 51, 108}));
    QVERIFY(CoveredPanel::xdotool({"mousemove", "--window", window, "352", "250", "click", "1"}));
    QCOMPARE(m_line.read(20, 5s), burstOf({13, 1, 69, 49, 124}));
    QCOMPARE(m_line.readAll(200ms), QByteArray());
}

void TestInstalled::cleanupTestCase()
{
    m_panel.stop();
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
