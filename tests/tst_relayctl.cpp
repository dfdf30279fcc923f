// relayctl, the built program, run as a script would run it: what reaches the line (a
// pseudo-terminal), when, what it prints and how it ends. Where it might pick a port by number
// (--port, `ports`, or no --device) it runs only as root in a private mount namespace where a
// pseudo-terminal is bound over every serial device node, so it cannot reach a real port.

#include "support/Bytes.h"
#include "support/ProcessOutcome.h"
#include "support/PseudoTerminal.h"
#include "support/SerialNodes.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QSerialPort>
#include <QStandardPaths>
#include <QTest>

#include <csignal>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

const QString missingDevice = QStringLiteral("/nonexistent/relayctl-test-port");

const QByteArray on1 = burstOf({13, 1, 83, 49, 110});
const QByteArray hold1 = burstOf({13, 1, 80, 49, 113});

// Whether relayctl might take a port by number: a real one, outside the namespace.
bool picksPortByNumber(const QStringList &arguments)
{
    return arguments.contains("--port") || arguments.contains("ports")
        || !arguments.contains("--device");
}

// A --dry-run / --verbose line: the packet's four copies, then the words.
QString burstLine(const char *packet, const char *words)
{
    return QStringList(4, packet).join(u' ') + "  " + words;
}

} // namespace

class TestRelayctl : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void bursts_data();
    void bursts();
    void waitCountsFromTheLine();
    void holdBursts();
    void holdAtTheCard();
    void dryRun_data();
    void dryRun();
    void deviceFromEnvironment();
    void usageErrors_data();
    void usageErrors();
    void portNotOpened_data();
    void portNotOpened();
    void lineLost();
    void interrupted_data();
    void interrupted();
    void portsByNumber();

private:
    void start(QProcess &process, const QStringList &arguments, const QString &cover = {},
        const QProcessEnvironment &environment = clean());
    ProcessOutcome run(const QStringList &arguments, const QString &cover = {},
        const QProcessEnvironment &environment = clean());
    static QProcessEnvironment clean();

    // Why relayctl cannot be kept from the real ports here; empty where it can.
    QString m_noCover;
    QStringList m_nodes;
};

void TestRelayctl::initTestCase()
{
    QVERIFY(QFile::exists(RELAYCTL));
    if (::geteuid() != 0 || QStandardPaths::findExecutable("unshare").isEmpty()) {
        m_noCover = "may take a port by number: only as root, in a private mount namespace";
        return;
    }
    PseudoTerminal line;
    m_nodes = SerialNodes::survey(line.name(), &m_noCover);
}

QProcessEnvironment TestRelayctl::clean()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("RELAYCTL_DEVICE");
    return environment;
}

// With `cover`, in a private mount namespace where that pseudo-terminal is every serial node.
void TestRelayctl::start(QProcess &process, const QStringList &arguments, const QString &cover,
    const QProcessEnvironment &environment)
{
    process.setProcessEnvironment(environment);
    if (cover.isEmpty()) {
        QVERIFY(!picksPortByNumber(arguments));
        process.start(RELAYCTL, arguments);
        return;
    }
    SerialNodes::start(process, SerialNodes::command(cover, m_nodes, RELAYCTL, arguments));
}

ProcessOutcome TestRelayctl::run(
    const QStringList &arguments, const QString &cover, const QProcessEnvironment &environment)
{
    QProcess process;
    start(process, arguments, cover, environment);
    return finish(process, 15s);
}

void TestRelayctl::bursts_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("line");
    const auto row = [](const char *name, const QStringList &arguments, const QByteArray &line) {
        QTest::newRow(name) << arguments << line;
    };

    row("on 1 2 3 at 1", {"on", "1", "2", "3"},
        on1 + burstOf({13, 1, 83, 50, 109}) + burstOf({13, 1, 83, 51, 108}));
    row("off 8 at 0", {"--address", "0", "off", "8"}, burstOf({13, 0, 67, 56, 120}));
    row("toggle 4 5 at 255", {"--address", "255", "toggle", "4", "5"},
        burstOf({13, 255, 84, 52, 108}) + burstOf({13, 255, 84, 53, 107}));
    row("all-on at 1", {"all-on"}, burstOf({13, 1, 83, 57, 102}));
    row("all-off at 0", {"--address", "0", "all-off"}, burstOf({13, 0, 67, 57, 119}));
    row("stop at 255", {"--address", "255", "stop"}, burstOf({13, 255, 69, 49, 126}));
    row("show at 1", {"show"}, burstOf({13, 1, 68, 49, 125}));
    row("set-address 0 at 255, then on 1", {"--address", "255", "set-address", "0", "on", "1"},
        burstOf({13, 255, 65, 0, 179}) + burstOf({13, 0, 83, 49, 111}));
    row("set-address 7 at 1, then show", {"set-address", "7", "show"},
        burstOf({13, 1, 65, 7, 170}) + burstOf({13, 7, 68, 49, 119}));
    // Options count for the whole line wherever they stand.
    row("address last", {"on", "3", "off", "3", "--address", "42"},
        burstOf({13, 42, 83, 51, 67}) + burstOf({13, 42, 67, 51, 83}));
}

void TestRelayctl::bursts()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, line);

    PseudoTerminal pty;
    const ProcessOutcome outcome = run(QStringList{"--device", pty.name()} + arguments);
    QVERIFY2(outcome.exitCode == 0, qPrintable(outcome.errors));
    QCOMPARE(outcome.output, QByteArray());
    QCOMPARE(pty.readAll(), line);
}

void TestRelayctl::waitCountsFromTheLine()
{
    PseudoTerminal pty;
    QProcess ctl;
    // Started before relayctl is: whatever relayctl does comes later on this clock.
    QElapsedTimer clock;
    clock.start();
    start(ctl, {"--device", pty.name(), "on", "1", "wait", "500ms", "off", "1"});
    QCOMPARE(pty.read(20, 5s), on1);
    QCOMPARE(pty.read(20, 5s), burstOf({13, 1, 67, 49, 126}));
    // The wait starts once 2400 baud has carried the first burst (83 ms).
    const qint64 offWritten = clock.elapsed();
    QVERIFY2(offWritten >= 583 && offWritten < 5000, qPrintable(QString::number(offWritten)));
    const ProcessOutcome outcome = finish(ctl, 15s);
    QVERIFY2(outcome.exitCode == 0, qPrintable(outcome.errors));
    // Nor does it end before the line has carried the last burst.
    QVERIFY2(clock.elapsed() >= 583 + 83, "ended before the line could carry the last burst");
    QCOMPARE(pty.readAll(), QByteArray());
}

void TestRelayctl::holdBursts()
{
    PseudoTerminal pty;
    QProcess ctl;
    start(ctl, {"--device", pty.name(), "--address", "255", "hold", "8", "2s"});
    QByteArray line = pty.read(20, 5s);
    const termios settings = pty.settings(); // while open: closing puts the old ones back
    QCOMPARE(cfgetospeed(&settings), speed_t(B2400));
    const ProcessOutcome outcome = finish(ctl, 15s);
    QVERIFY2(outcome.exitCode == 0, qPrintable(outcome.errors));
    // No faster than the line's pace, 2 s of 83.3 ms bursts being 24 of them, and at least as
    // many as a card, which lets go 250 ms after the last, needs for 2 s (holdAtTheCard shows
    // that they came in time).
    line += pty.readAll();
    const qsizetype count = line.size() / 20;
    QVERIFY2(count >= 8 && count <= 25, qPrintable(QString::number(line.size())));
    QCOMPARE(line, burstOf({13, 255, 80, 56, 108}).repeated(count));
}

void TestRelayctl::holdAtTheCard()
{
    QProcess sim;
    sim.start(RELAYCARD_SIM, {"--headless"});
    QVERIFY(sim.waitForReadyRead(5000));
    const QString device = QString::fromLocal8Bit(sim.readLine()).trimmed();
    QVERIFY2(device.startsWith("/dev/pts/"), qPrintable(device));

    const ProcessOutcome outcome = run({"--device", device, "hold", "1", "2s"});
    QVERIFY2(outcome.exitCode == 0, qPrintable(outcome.errors));

    // One line per burst the card took as a command, then the let-go; any let-go before the
    // last burst would show as a "- -" line among them.
    QStringList lines;
    (void)QTest::qWaitFor(
        [&] {
            while (sim.canReadLine())
                lines << QString::fromLocal8Bit(sim.readLine()).trimmed();
            return !lines.isEmpty() && lines.last().contains(" - ");
        },
        3000);
    sim.kill();
    sim.waitForFinished();
    QVERIFY2(lines.size() >= 9 && lines.size() <= 26, qPrintable(lines.join(u'\n')));
    const QRegularExpression held(R"(^(\d+) 1 P 49 10000000$)");
    const QRegularExpression letGo(R"(^(\d+) 1 - - 00000000$)");
    for (qsizetype i = 0; i + 1 < lines.size(); ++i)
        QVERIFY2(held.match(lines.at(i)).hasMatch(), qPrintable(lines.at(i)));
    QVERIFY2(letGo.match(lines.last()).hasMatch(), qPrintable(lines.last()));

    const auto ms = [&lines](qsizetype i) {
        return lines.at(i).section(u' ', 0, 0).toLongLong();
    };
    // The card lets go 250 ms after the last burst on its own clock, whenever it gets to it;
    // and with no let-go in between, it held the relay from the first burst to beyond 2 s.
    const qint64 afterLast = ms(lines.size() - 1) - ms(lines.size() - 2);
    QVERIFY2(afterLast >= 250, qPrintable(QString::number(afterLast)));
    QVERIFY2(ms(lines.size() - 1) - ms(0) >= 2000, qPrintable(lines.join(u'\n')));
}

void TestRelayctl::dryRun_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("lines");
    // Whether to send it too, with --verbose: only the quick ones.
    QTest::addColumn<bool>("send");
    const auto row = [](const char *name, const QStringList &arguments, const QStringList &lines,
                         bool send = true) {
        QTest::newRow(name) << arguments << lines << send;
    };

    row("on 1", {"--dry-run", "on", "1"}, {burstLine("0d 01 53 31 6e", "relay 1 on")});
    row("at 255", {"--address", "255", "--dry-run", "off", "3", "toggle", "8"},
        {burstLine("0d ff 43 33 7e", "relay 3 off"),
            burstLine("0d ff 54 38 68", "toggle relay 8")});
    row("whole card at 0", {"--dry-run", "--address", "0", "all-on", "all-off", "stop", "show"},
        {burstLine("0d 00 53 39 67", "all relays on"),
            burstLine("0d 00 43 39 77", "all relays off"),
            burstLine("0d 00 45 31 7d", "emergency stop"),
            burstLine("0d 00 44 31 7e", "show address")});
    row("new address", {"--dry-run", "--address", "7", "set-address", "200", "on", "2"},
        {burstLine("0d 07 41 c8 e3", "new address 200"),
            burstLine("0d c8 53 32 a6", "relay 2 on")});
    row("hold and wait", {"--dry-run", "hold", "3", "1.5s", "wait", "250ms", "on", "1"},
        {burstLine("0d 01 50 33 6f", "hold relay 3 for 1500 ms"),
            burstLine("0d 01 53 31 6e", "relay 1 on")});
    row("an hour", {"--dry-run", "hold", "8", "60m", "wait", "3600s", "show"},
        {burstLine("0d 01 50 38 6a", "hold relay 8 for 3600000 ms"),
            burstLine("0d 01 44 31 7d", "show address")},
        false);
}

void TestRelayctl::dryRun()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, lines);
    QFETCH(bool, send);
    const QByteArray text = (lines.join(u'\n') + u'\n').toUtf8();

    // A device that is not there: a dry run opens nothing, so it does not notice.
    ProcessOutcome outcome = run(arguments + QStringList{"--device", missingDevice});
    QVERIFY2(outcome.exitCode == 0, qPrintable(outcome.errors));
    QCOMPARE(outcome.output, text);
    if (!send)
        return;

    arguments.removeAll("--dry-run");
    PseudoTerminal pty;
    outcome = run(arguments + QStringList{"--verbose", "--device", pty.name()});
    QCOMPARE(outcome.exitCode, 0);
    QCOMPARE(outcome.output, QByteArray());
    QCOMPARE(outcome.errors.toUtf8(), text);
    QVERIFY(pty.readAll().startsWith(
        QByteArray::fromHex(lines.first().section("  ", 0, 0).toLatin1())));
}

void TestRelayctl::deviceFromEnvironment()
{
    // --device before RELAYCTL_DEVICE.
    PseudoTerminal pty;
    QProcessEnvironment environment = clean();
    environment.insert("RELAYCTL_DEVICE", missingDevice);
    ProcessOutcome outcome = run({"--device", pty.name(), "on", "1"}, {}, environment);
    QVERIFY2(outcome.exitCode == 0, qPrintable(outcome.errors));
    QCOMPARE(pty.readAll(), on1);

    if (!m_noCover.isEmpty())
        QSKIP(qPrintable(m_noCover));
    // A port taken by number would get the burst instead.
    PseudoTerminal cover;
    environment.insert("RELAYCTL_DEVICE", pty.name());
    outcome = run({"on", "1"}, cover.name(), environment);
    QVERIFY2(outcome.exitCode == 0, qPrintable(outcome.errors));
    QCOMPARE(pty.readAll(), on1);
    QCOMPARE(cover.readAll(), QByteArray());
}

void TestRelayctl::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    // What the first line names as the mistake: a line refused for another reason fails.
    QTest::addColumn<QString>("reason");
    const auto row = [](const char *name, const QStringList &arguments, const QString &reason) {
        QTest::newRow(name) << arguments << reason;
    };
    const auto notDuration = [](const QString &command) {
        return command + ": a duration is a number with a unit (250ms, 2s, 1.5s, 1m)";
    };
    row("unknown command", {"--device", "PTY", "frobnicate"}, "unknown command \"frobnicate\"");
    row("unknown after a good one", {"--device", "PTY", "on", "1", "frobnicate"},
        "unknown command \"frobnicate\"");
    row("relay 0", {"--device", "PTY", "on", "0"}, "on 0: relays are 1 to 8");
    row("relay 9", {"--device", "PTY", "off", "9"}, "off 9: relays are 1 to 8");
    row("address 300", {"--device", "PTY", "--address", "300", "on", "1"},
        "--address 300: addresses are 0 to 255");
    row("address 2.5", {"--device", "PTY", "--address", "2.5", "on", "1"},
        "--address 2.5: addresses are 0 to 255");
    row("address 0x10", {"--device", "PTY", "--address", "0x10", "on", "1"},
        "--address 0x10: addresses are 0 to 255");
    row("address empty", {"--device", "PTY", "--address", "", "on", "1"},
        "--address : addresses are 0 to 255");
    row("address -1", {"--device", "PTY", "--address", "-1", "on", "1"},
        "--address -1: addresses are 0 to 255");
    row("new address 256", {"--device", "PTY", "set-address", "256"},
        "set-address 256: addresses are 0 to 255");
    row("duration 2", {"--device", "PTY", "hold", "1", "2"}, notDuration("hold 2"));
    row("duration 2h", {"--device", "PTY", "hold", "1", "2h"}, notDuration("hold 2h"));
    // Before --, a word starting with a dash is taken for options.
    row("duration -1s", {"--device", "PTY", "hold", "1", "-1s"}, "Unknown options: 1, s.");
    row("duration -1s after --", {"--device", "PTY", "hold", "1", "--", "-1s"},
        notDuration("hold -1s"));
    row("duration 0s", {"--device", "PTY", "hold", "1", "0s"}, notDuration("hold 0s"));
    row("duration 61m", {"--device", "PTY", "hold", "1", "61m"}, notDuration("hold 61m"));
    row("duration 1.5", {"--device", "PTY", "wait", "1.5", "on", "1"}, notDuration("wait 1.5"));
    row("duration 0.5ms", {"--device", "PTY", "on", "1", "wait", "0.5ms"},
        notDuration("wait 0.5ms"));
    row("on without relay", {"--device", "PTY", "on"}, "on needs a relay number, 1 to 8");
    row("hold without duration", {"--device", "PTY", "hold", "1"}, notDuration("hold "));
    row("--port with --device", {"--port", "1", "--device", "PTY", "on", "1"},
        "--port and --device name two ports: give one");
    row("ports with a command", {"ports", "on", "1"}, "ports stands alone on the line");
    row("ports with --device", {"ports", "--device", "PTY"}, "ports stands alone on the line");
    row("no port", {"on", "1"},
        "no port given: name it with --device PATH or --port N, or set RELAYCTL_DEVICE");
    row("no command", {"--device", "PTY"}, "no command given");
    row("--url with --device", {"--url", "http://127.0.0.1:8080", "--device", "PTY", "on", "1"},
        "--url and --device name two ways to the card: give one");
    for (const char *url : {"ftp://127.0.0.1:8080", "http://", "127.0.0.1:8080",
             "http://127.0.0.1:8080/api/cards", "http://user@127.0.0.1:8080"})
        row(url, {"--url", url, "on", "1"}, QString("--url %1: give relay-mqtt's page").arg(url));
    row("--token-file without --url", {"--device", "PTY", "--token-file", "t", "on", "1"},
        "--token-file and --cafile go with --url");
    row("--cafile over http", {"--url", "http://127.0.0.1:8080", "--cafile", "c", "on", "1"},
        "--cafile goes with an https:// page");
}

void TestRelayctl::usageErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, reason);

    // The line of --device, and in the namespace every serial node too: a burst sent in spite
    // of the error, or to a port taken by number, shows here.
    PseudoTerminal pty;
    const bool cover = picksPortByNumber(arguments);
    if (cover && !m_noCover.isEmpty())
        QSKIP(qPrintable(m_noCover));
    arguments.replaceInStrings(QRegularExpression("^PTY$"), pty.name());
    const ProcessOutcome outcome = run(arguments, cover ? pty.name() : QString());
    QVERIFY2(outcome.exitCode != SerialNodes::refused || !cover, "a serial node was uncovered");
    QCOMPARE(outcome.exitCode, 64);
    QCOMPARE(outcome.output, QByteArray());
    // The mistake comes first, before the usage.
    const QString firstLine = outcome.errors.section(u'\n', 0, 0);
    QVERIFY2(firstLine.startsWith("relayctl: " + reason), qPrintable(outcome.errors));
    QCOMPARE(pty.readAll(), QByteArray());
}

enum class Obstacle { Missing, InUse, NoPermission };

void TestRelayctl::portNotOpened_data()
{
    QTest::addColumn<Obstacle>("obstacle");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing") << Obstacle::Missing << "No such file or directory";
    QTest::newRow("in use") << Obstacle::InUse << "In use by another program";
    QTest::newRow("no permission")
        << Obstacle::NoPermission
        << "Permission denied: this user may not use serial ports (on Linux, the user must be "
           "in the dialout group)";
}

void TestRelayctl::portNotOpened()
{
    QFETCH(Obstacle, obstacle);
    QFETCH(QString, reason);

    PseudoTerminal pty;
    QString device = pty.name();
    QSerialPort otherProgram(pty.name());
    QStringList arguments{"--device", device, "on", "1"};
    QProcess ctl;
    switch (obstacle) {
    case Obstacle::Missing:
        device = arguments[1] = missingDevice;
        start(ctl, arguments);
        break;
    case Obstacle::InUse:
        QVERIFY(otherProgram.open(QIODevice::ReadOnly));
        start(ctl, arguments);
        break;
    case Obstacle::NoPermission:
        QVERIFY(::chmod(QFile::encodeName(device).constData(), 0) == 0);
        if (::geteuid() != 0) {
            start(ctl, arguments);
            break;
        }
        // Root may open anything: try as a user of no groups, as an operator outside dialout.
        if (QStandardPaths::findExecutable("setpriv").isEmpty())
            QSKIP("needs setpriv to try the port as another user");
        ctl.setProcessEnvironment(clean());
        ctl.start("setpriv",
            QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", RELAYCTL} + arguments);
        break;
    }
    const ProcessOutcome outcome = finish(ctl, 15s);
    QCOMPARE(outcome.exitCode, 69);
    QCOMPARE(outcome.output, QByteArray());
    QVERIFY2(outcome.errors.startsWith("relayctl: ")
            && outcome.errors.contains(device + " could not be opened: " + reason),
        qPrintable(outcome.errors));
    QCOMPARE(pty.readAll(), QByteArray());
}

void TestRelayctl::lineLost()
{
    PseudoTerminal pty;
    QProcess ctl;
    start(ctl, {"--device", pty.name(), "hold", "1", "5s"});
    QCOMPARE(pty.read(20, 5s), hold1);
    pty.hangUp();
    const ProcessOutcome outcome = finish(ctl, 15s);
    QCOMPARE(outcome.exitCode, 74);
    QVERIFY2(outcome.errors.startsWith("relayctl: ") && outcome.errors.contains("was lost"),
        qPrintable(outcome.errors));
}

void TestRelayctl::interrupted_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("status");
    // What may still arrive after the signal: a burst written just before it.
    QTest::addColumn<QByteArray>("straggler");

    const QStringList hold{"hold", "1", "5s"};
    const QStringList wait{"on", "1", "wait", "5s", "on", "2"};
    QTest::newRow("SIGINT in hold") << hold << SIGINT << 130 << hold1;
    QTest::newRow("SIGTERM in hold") << hold << SIGTERM << 143 << hold1;
    QTest::newRow("SIGINT in wait") << wait << SIGINT << 130 << QByteArray();
    QTest::newRow("SIGTERM in wait") << wait << SIGTERM << 143 << QByteArray();
}

void TestRelayctl::interrupted()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, signal);
    QFETCH(int, status);
    QFETCH(QByteArray, straggler);

    PseudoTerminal pty;
    QProcess ctl;
    start(ctl, QStringList{"--device", pty.name()} + arguments);
    const QByteArray first = arguments.first() == "hold" ? hold1 : on1;
    QCOMPARE(pty.read(first.size(), 5s), first);
    // With the first burst on the line, relayctl is in the wait, the only step after it.
    if (!straggler.isEmpty())
        QCOMPARE(pty.read(2 * first.size(), 5s), first.repeated(2)); // well into the hold
    (void)pty.read(4096, 0ms); // what came before the signal
    QCOMPARE(::kill(static_cast<pid_t>(ctl.processId()), signal), 0);

    const ProcessOutcome outcome = finish(ctl, 15s);
    QCOMPARE(outcome.exitCode, status);
    const QByteArray after = pty.readAll(200ms);
    QVERIFY2(after.isEmpty() || after == straggler, after.toHex(' ').constData());
}

void TestRelayctl::portsByNumber()
{
    if (!m_noCover.isEmpty())
        QSKIP(qPrintable(m_noCover));
    if (m_nodes.isEmpty())
        QSKIP("this machine has no serial device node to stand in for");

    PseudoTerminal pty;
    ProcessOutcome outcome = run({"ports"}, pty.name());
    QVERIFY2(outcome.exitCode == 0, qPrintable(outcome.errors));
    const QStringList lines
        = QString::fromLocal8Bit(outcome.output).split(u'\n', Qt::SkipEmptyParts);
    QVERIFY(!lines.isEmpty());
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QStringList fields = lines.at(i).split(u'\t');
        QCOMPARE(fields.size(), 5);
        QCOMPARE(fields.at(0), QString::number(i + 1));
        QVERIFY2(m_nodes.contains(fields.at(1)), qPrintable(lines.at(i)));
        QVERIFY2(!fields.contains(QString()), qPrintable(lines.at(i)));
    }
    QCOMPARE(pty.readAll(), QByteArray());

    outcome = run({"--port", "1", "on", "1"}, pty.name());
    QVERIFY2(outcome.exitCode == 0, qPrintable(outcome.errors));
    QCOMPARE(pty.readAll(), on1);
}

QTEST_GUILESS_MAIN(TestRelayctl)
#include "tst_relayctl.moc"
