// relaypanel-bench: how fast a click reaches the line, how steady a held button keeps it, how
// long an emergency stop waits behind a hold, what the panel costs to start and to keep running,
// and what relayctl costs beyond the line's own time and how busy its hold keeps the line. Every
// figure is measured side by side with its yardstick in the same run; the result is a Markdown
// table. It never opens a real serial device: the panel's ports are pseudo-terminals, and the
// installed program runs in a private mount namespace with a pseudo-terminal bound over every
// serial device node; it stops rather than start the program with a node left uncovered.
//
//   relaypanel-bench --output docs/performance.md --program PATH --minimal PATH
//                    --relayctl PATH --minimal-core PATH
//
// relayctl is only ever given a pseudo-terminal with --device, so it needs no namespace.
//
// Run it as root under an X server (xvfb-run); ./scripts/bench does all of it.

#include "Statistics.h"
#include "panel/PanelController.h"
#include "protocol/RelayPacket.h"
#include "serial/LineBacklog.h"
#include "serial/SerialLink.h"
#include "support/Controls.h"
#include "support/PseudoTerminal.h"
#include "support/RecordingView.h"
#include "support/SerialNodes.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSysInfo>
#include <QTest>
#include <QTextStream>
#include <QThread>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double burstMs = 1000.0 * 20 / 240; // one burst on a 2400-baud line
constexpr double byteMs = 1000.0 / 240; // one byte: a click later than that costs line time
constexpr double idleGoalMs = 5.0; // the hold's longest gap on the line
constexpr double packetMs = 1000.0 * 5 / 240;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

QString ms(double value, int decimals = 2)
{
    return QString::number(value, 'f', decimals) + QStringLiteral(" ms");
}

struct Row
{
    QString measure;
    QString figure;
    QString goal;
    QString met; // "yes", "no", or "-" for figures without a goal
};

// Reads a pseudo-terminal's far end on its own thread and notes when each burst was complete.
class BurstClock
{
public:
    explicit BurstClock(PseudoTerminal &line) : m_line(line), m_thread([this] { run(); }) { }
    ~BurstClock()
    {
        m_stop = true;
        m_thread.join();
    }
    QList<Clock::time_point> stop()
    {
        m_stop = true;
        m_thread.join();
        m_thread = std::thread([] {});
        return m_arrivals;
    }
    // Everything that arrived, once stopped.
    QByteArray received() const { return m_received; }

private:
    void run()
    {
        qsizetype pending = 0;
        while (!m_stop) {
            const QByteArray bytes = m_line.read(1, 20ms);
            const auto now = Clock::now();
            m_received += bytes;
            pending += bytes.size();
            for (; pending >= 20; pending -= 20)
                m_arrivals.append(now);
        }
    }

    PseudoTerminal &m_line;
    std::atomic<bool> m_stop = false;
    QList<Clock::time_point> m_arrivals;
    QByteArray m_received;
    std::thread m_thread;
};

// The bursts as a 2400-baud line would carry them: each starts when it has arrived and the one
// before has gone out. The line stands idle when a burst arrives after it went quiet.
struct PacedLine
{
    QList<double> intervals; // between arrivals, ms
    double longestIdle = 0; // ms
    double carried = 0; // ms after the first arrival when the line has carried them all
};

PacedLine paced(const QList<Clock::time_point> &arrivals)
{
    PacedLine result;
    double lineFree = 0; // ms after the first arrival when the line has carried all so far
    for (qsizetype i = 0; i < arrivals.size(); ++i) {
        const double at
            = std::chrono::duration<double, std::milli>(arrivals.at(i) - arrivals.first()).count();
        if (i > 0) {
            result.intervals.append(
                std::chrono::duration<double, std::milli>(arrivals.at(i) - arrivals.at(i - 1))
                    .count());
            result.longestIdle = std::max(result.longestIdle, at - lineFree);
        }
        lineFree = std::max(lineFree, at) + burstMs;
    }
    result.carried = lineFree;
    return result;
}

// 1. A click on a relay button of the real window until its 20th byte can be read at the far
// end, against a bare write() of 20 bytes to a pseudo-terminal.
QList<Row> clickToLine()
{
    constexpr int clicks = 1000;
    PseudoTerminal line;
    SerialLink link([&line](int port) { return port == 1 ? line.name() : QString(); });
    MainWindow window(link);
    window.show();
    (void)QTest::qWaitForWindowExposed(&window);
    QWidget *relay1 = findControl(window, "Command1");
    line.readAll(10ms);

    QList<double> panel;
    for (int i = 0; i < clicks; ++i) {
        const auto start = Clock::now();
        QTest::mouseClick(relay1, Qt::LeftButton);
        if (line.read(20, 1s).size() != 20)
            qFatal("a click did not reach the line");
        panel.append(msSince(start));
    }

    PseudoTerminal bare;
    const int fd = ::open(QFile::encodeName(bare.name()).constData(), O_RDWR | O_NOCTTY);
    termios raw{};
    ::tcgetattr(fd, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(fd, TCSANOW, &raw);
    const QByteArray burst(20, 'x');
    QList<double> plain;
    for (int i = 0; i < clicks; ++i) {
        const auto start = Clock::now();
        if (::write(fd, burst.constData(), 20) != 20 || bare.read(20, 1s).size() != 20)
            qFatal("a bare write did not reach the line");
        plain.append(msSince(start));
    }
    ::close(fd);

    const Statistics p(panel);
    const Statistics b(plain);
    const double ratio = p.median() / b.median();
    return {
        {"1. Click to line, panel: median / 99th percentile (1,000 clicks)",
            ms(p.median(), 3) + " / " + ms(p.percentile(99), 3),
            "99th under one byte time (4.17 ms)", p.percentile(99) < byteMs ? "yes" : "no"},
        {"1. Bare write() of 20 bytes (the floor): median / 99th percentile",
            ms(b.median(), 3) + " / " + ms(b.percentile(99), 3), "", "-"},
        {"1. Panel median / bare median", QString::number(ratio, 'f', 2) + "×", "", "-"},
    };
}

// 2. A momentary button held for 60 s of real time while a load process keeps the other core
// busy.
QList<Row> steadyHold(int seconds)
{
    QProcess load;
    load.start("sh", {"-c", "while :; do :; done"});
    load.waitForStarted();

    PseudoTerminal line;
    SerialLink link([&line](int port) { return port == 1 ? line.name() : QString(); });
    MainWindow window(link);
    window.show();
    window.activateWindow();
    (void)QTest::qWaitForWindowActive(&window);
    QWidget *hold = findControl(window, "Command24", 0);

    BurstClock clock(line);
    QTest::mousePress(hold, Qt::LeftButton);
    QTest::qWait(seconds * 1000);
    QTest::mouseRelease(hold, Qt::LeftButton);
    QTest::qWait(300);
    const QList<Clock::time_point> arrivals = clock.stop();
    load.kill();
    load.waitForFinished();

    const PacedLine pace = paced(arrivals);
    const double longestIdle = pace.longestIdle;
    const Statistics s(pace.intervals);
    const double capacity = seconds * 1000.0 / burstMs;
    return {
        {QStringLiteral("2. Hold for %1 s, other core loaded: bursts sent / line capacity")
                .arg(seconds),
            QStringLiteral("%1 / %2").arg(arrivals.size()).arg(capacity, 0, 'f', 0), "", "-"},
        {"2. Interval between bursts: median / 99th percentile / worst",
            ms(s.median(), 1) + " / " + ms(s.percentile(99), 1) + " / " + ms(s.worst(), 1), "",
            "-"},
        {"2. Longest time the line stood idle while held", ms(std::max(0.0, longestIdle), 1),
            "under 5 ms", longestIdle < idleGoalMs ? "yes" : "no"},
    };
}

// 3. The emergency stop pressed at random moments behind a 60 s hold, on an injected line
// clock: how long until its first packet would be on the wire. Beside it, the repeat as first
// specified: a burst every 80 ms with no regard for the line.
QList<Row> stopBehindHold()
{
    std::chrono::nanoseconds now = 1h;
    PseudoTerminal line;
    RecordingView view;
    SerialLink link([&line](int port) { return port == 1 ? line.name() : QString(); });
    link.setClock([&now] { return now; });
    PanelController controller(view, link);
    view.attach(&controller);
    controller.start();

    LineBacklog everyTick([&now] { return now; });
    const QByteArray held = controller.sendBuffer();
    const auto tick = [&] {
        now += 80ms;
        controller.repeatTick();
        everyTick.recordWrite(20);
        line.readAll(0ms);
    };
    controller.momentaryPress(0);
    for (int i = 0; i < 60 * 1000 / 80; ++i)
        tick();

    QRandomGenerator random(6);
    QList<double> ours;
    QList<double> specified;
    for (int trial = 0; trial < 100; ++trial) {
        for (int i = random.bounded(1, 26); i > 0; --i)
            tick();
        const auto into = std::chrono::milliseconds(random.bounded(80));
        now += into;
        ours.append(double(link.bytesWaiting()) * 1000.0 / 240 + packetMs);
        specified.append(double(everyTick.bytesWaiting()) * 1000.0 / 240 + packetMs);
        controller.emergencyStop();
        everyTick.recordWrite(20);
        controller.momentaryPress(0); // the operator holds the button again
        now += 80ms - into;
        line.readAll(0ms);
    }
    const Statistics o(ours);
    const Statistics s(specified);
    const double limit = 2 * burstMs + packetMs;
    return {
        {"3. Emergency stop behind a hold, until its first packet is on the wire: median / worst",
            ms(o.median(), 1) + " / " + ms(o.worst(), 1), "never more than 187.5 ms",
            o.worst() <= limit + 0.01 ? "yes" : "no"},
        {"3. The same with a burst every 80 ms and no backlog rule: median / worst",
            ms(s.median(), 1) + " / " + ms(s.worst(), 1), "", "-"},
    };
}

// Runs PROGRAM in a private mount namespace with a pseudo-terminal over every serial device node.
struct Launched
{
    double shownMs = 0;
    double peakRssMiB = 0;
    qint64 pid = 0;
    bool shown = false;
};

// The nodes to cover, found once before anything is measured.
QStringList serialNodes()
{
    PseudoTerminal probe;
    QString error;
    QStringList nodes = SerialNodes::survey(probe.name(), &error);
    if (!error.isEmpty())
        qFatal("4 and 5 cannot run: %s", qPrintable(error));
    return nodes;
}

// The shell prints a dot just before it execs the program: start-up is timed from there, so
// setting up and checking the namespace does not count as the program's.
QString marked(const QString &program)
{
    return "printf . && exec " + SerialNodes::quoted(program);
}

QString namespaced(const QString &program, const QString &line, const QStringList &nodes)
{
    return SerialNodes::coverCommand(line, nodes) + " && " + marked(program);
}

// The namespace ended before the program showed a window: stop if it refused to start it.
void checkNotRefused(const QProcess &process)
{
    if (process.state() == QProcess::NotRunning && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == SerialNodes::refused)
        qFatal("refused to start the installed panel: a serial device node was left uncovered");
}

bool windowShown(const QString &title)
{
    QProcess search;
    search.start("xdotool", {"search", "--onlyvisible", "--name", "^" + title + "$"});
    search.waitForFinished();
    return search.exitCode() == 0 && !search.readAllStandardOutput().trimmed().isEmpty();
}

double peakRssMiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return 0;
}

double cpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return (fields.at(11).toDouble() + fields.at(12).toDouble()) / double(::sysconf(_SC_CLK_TCK));
}

// 4. Start-up to the window shown (and, for the panel, port 1 open), and peak memory.
QList<Row> startUp(const QString &program, const QString &minimal, const QStringList &nodes)
{
    constexpr int runs = 10;
    const auto launch = [](const QString &command, const QString &title, PseudoTerminal *port) {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("QT_QPA_PLATFORM");
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        SerialNodes::start(process, command);
        process.waitForReadyRead(20000);
        const auto start = Clock::now();
        const auto portOpen = [port] {
            if (!port)
                return true;
            const termios settings = port->settings();
            return cfgetospeed(&settings) == B2400;
        };
        bool shown = false;
        while (!shown && process.state() == QProcess::Running && msSince(start) < 20000) {
            shown = portOpen() && windowShown(title);
            // A pause that also notices the process ending, which a sleep would not.
            if (!shown)
                process.waitForFinished(2);
        }
        checkNotRefused(process);
        Launched result{msSince(start), 0, process.processId(), shown};
        QThread::msleep(500);
        result.peakRssMiB = peakRssMiB(process.processId());
        process.kill();
        process.waitForFinished();
        return result;
    };

    // A start that never showed its window (the X server turned a client away, say) is tried
    // again rather than counted.
    QList<double> panelMs, panelRss, minimalMs, minimalRss;
    for (int tries = 0; panelMs.size() < runs && tries < 3 * runs; ++tries) {
        PseudoTerminal port;
        const Launched panel
            = launch(namespaced(program, port.name(), nodes), "8 Channel relay board", &port);
        const Launched bare = launch(marked(minimal), "minimal window", nullptr);
        if (!panel.shown || !bare.shown)
            continue;
        panelMs << panel.shownMs;
        panelRss << panel.peakRssMiB;
        minimalMs << bare.shownMs;
        minimalRss << bare.peakRssMiB;
    }
    const Statistics pt(panelMs), pr(panelRss), mt(minimalMs), mr(minimalRss);
    const double timeRatio = pt.median() / mt.median();
    const double rssRatio = pr.median() / mr.median();
    return {
        {"4. Start to window shown with port 1 open, installed relaypanel (median of 10)",
            ms(pt.median(), 0), "", "-"},
        {"4. Start to window shown, minimal Qt Widgets program (median of 10)", ms(mt.median(), 0),
            "", "-"},
        {"4. Start-up, panel / minimal", QString::number(timeRatio, 'f', 2) + "×", "within 1.3×",
            timeRatio <= 1.3 ? "yes" : "no"},
        {"4. Peak resident memory, panel / minimal",
            QStringLiteral("%1 MiB / %2 MiB = %3×")
                .arg(pr.median(), 0, 'f', 1)
                .arg(mr.median(), 0, 'f', 1)
                .arg(rssRatio, 0, 'f', 2),
            "within 1.2×", rssRatio <= 1.2 ? "yes" : "no"},
    };
}

// 5. CPU time of the installed panel over a quiet minute, and over a minute with a momentary
// button held.
QList<Row> idleCost(const QString &program, int seconds, const QStringList &nodes)
{
    PseudoTerminal port;
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("QT_QPA_PLATFORM");
    process.setProcessEnvironment(environment);
    SerialNodes::start(process, namespaced(program, port.name(), nodes));
    process.waitForStarted();
    const auto start = Clock::now();
    while (process.state() == QProcess::Running && !windowShown("8 Channel relay board")
        && msSince(start) < 20000)
        process.waitForFinished(10);
    checkNotRefused(process);
    BurstClock drain(port);
    QThread::msleep(2000); // let start-up settle

    const qint64 pid = process.processId();
    const double idleStart = cpuSeconds(pid);
    QThread::sleep(seconds);
    const double idle = cpuSeconds(pid) - idleStart;

    QProcess search;
    search.start("xdotool", {"search", "--onlyvisible", "--name", "^8 Channel relay board$"});
    search.waitForFinished();
    const QString window = QString::fromLatin1(search.readAllStandardOutput()).section('\n', 0, 0);
    QProcess::execute("xdotool", {"windowfocus", "--sync", window});
    // The first momentary button: Left 480, Top 4200, 375 twips square.
    QProcess::execute("xdotool", {"mousemove", "--window", window, "44", "292", "mousedown", "1"});
    const double heldStart = cpuSeconds(pid);
    QThread::sleep(seconds);
    const double held = cpuSeconds(pid) - heldStart;
    QProcess::execute("xdotool", {"mouseup", "1"});
    const qsizetype bursts = drain.stop().size();

    process.kill();
    process.waitForFinished();
    const double idleShare = 100.0 * idle / seconds;
    return {
        {QStringLiteral("5. CPU used over %1 s idle").arg(seconds),
            QStringLiteral("%1 s (%2 % of a core)").arg(idle, 0, 'f', 3).arg(idleShare, 0, 'f', 3),
            "under 0.1 % of a core", idleShare < 0.1 ? "yes" : "no"},
        {QStringLiteral("5. CPU used over %1 s with a momentary button held").arg(seconds),
            QStringLiteral("%1 s (%2 % of a core; %3 bursts sent)")
                .arg(held, 0, 'f', 3)
                .arg(100.0 * held / seconds, 0, 'f', 3)
                .arg(bursts),
            "", "-"},
    };
}

// A program run to its end, timed from just before it is started to the moment it has exited.
struct Exited
{
    double ms = 0;
    int status = -1; // its exit status; -1 when killed or stopped at the time limit
};

// posix_spawn() and a pidfd rather than QProcess: nothing but starting the program and noticing
// its end falls inside the time, for relayctl and its yardstick alike.
Exited runToExit(const QStringList &arguments, const QString &line, std::chrono::milliseconds limit)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // Should --device ever be passed over, relayctl still finds nothing but the pseudo-terminal.
    environment.insert("RELAYCTL_DEVICE", line);
    QList<QByteArray> argumentBytes;
    for (const QString &argument : arguments)
        argumentBytes << QFile::encodeName(argument);
    QList<QByteArray> environmentBytes;
    for (const QString &variable : environment.toStringList())
        environmentBytes << QFile::encodeName(variable);
    const auto pointers = [](QList<QByteArray> &strings) {
        QList<char *> list;
        for (QByteArray &string : strings)
            list << string.data();
        list << nullptr;
        return list;
    };
    QList<char *> argv = pointers(argumentBytes);
    QList<char *> envp = pointers(environmentBytes);

    pid_t pid = 0;
    const auto start = Clock::now();
    if (::posix_spawn(&pid, argv.first(), nullptr, nullptr, argv.data(), envp.data()) != 0)
        qFatal("cannot start %s", qPrintable(arguments.first()));
    // Through syscall(): Debian 12's <sys/pidfd.h> lacks the C linkage C++ needs.
    const auto handle = int(::syscall(SYS_pidfd_open, pid, 0));
    if (handle < 0)
        qFatal("cannot watch %s", qPrintable(arguments.first()));
    pollfd ended{handle, POLLIN, 0};
    const bool exited = ::poll(&ended, 1, int(limit.count())) == 1;
    const double took = msSince(start);
    if (!exited)
        ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(handle);
    return {took, exited && WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

// 6. relayctl switching one relay on, from start to exit, against the 83.3 ms it must wait for
// its burst to leave plus the start and exit of a minimal Qt Core program; the burst is read at
// the far end after every run.
QList<Row> relayctlOnce(const QString &relayctl, const QString &minimal)
{
    constexpr int runs = 100;
    constexpr int warmUp = 3; // loads both programs into the page cache
    const QByteArray burst = RelayPacket::makeBurst(RelayPacket::makePacket(1, 'S', '1'));
    QList<double> ctlMs;
    QList<double> minimalMs;
    int delivered = 0;
    for (int i = 0; i < warmUp + runs; ++i) {
        PseudoTerminal line;
        const Exited ctl
            = runToExit({relayctl, "--device", line.name(), "on", "1"}, line.name(), 10s);
        // The burst, whole, and nothing after it.
        const QByteArray arrived = line.read(RelayPacket::burstSize, 1s) + line.readAll(0ms);
        const Exited bare = runToExit({minimal}, line.name(), 10s);
        if (i < warmUp)
            continue;
        ctlMs << ctl.ms;
        minimalMs << bare.ms;
        if (ctl.status == 0 && arrived == burst)
            ++delivered;
    }
    const Statistics c(ctlMs);
    const Statistics m(minimalMs);
    const double own = c.median() - burstMs;
    const double ratio = own / m.median();
    const auto spread = [](const Statistics &s) {
        return ms(s.median(), 1) + " / " + ms(s.percentile(90), 1) + " / " + ms(s.worst(), 1);
    };
    return {
        {QStringLiteral("6. `relayctl --device PTY on 1`, start to exit: median / 90th "
                        "percentile / worst (%1 runs)")
                .arg(runs),
            spread(c), "", "-"},
        {"6. Minimal Qt Core program, start to exit: median / 90th percentile / worst", spread(m),
            "", "-"},
        {"6. relayctl's own time (its median less the burst's 83.3 ms) / minimal median",
            QStringLiteral("%1 / %2 = %3×")
                .arg(ms(own, 1), ms(m.median(), 1))
                .arg(ratio, 0, 'f', 2),
            "within 1.5×", ratio <= 1.5 ? "yes" : "no"},
        {"6. Runs that left the whole burst on the line and exited with 0",
            QStringLiteral("%1 of %2").arg(delivered).arg(runs), "every run",
            delivered == runs ? "yes" : "no"},
    };
}

// 7. relayctl holding a relay for 10 s: how many of the bursts the line could carry arrived, and
// how long the paced line ever stood idle.
QList<Row> relayctlHold(const QString &relayctl)
{
    constexpr int seconds = 10;
    const QByteArray burst = RelayPacket::makeBurst(RelayPacket::makePacket(1, 'P', '1'));
    PseudoTerminal line;
    BurstClock clock(line);
    const Exited ctl = runToExit(
        {relayctl, "--device", line.name(), "hold", "1", QStringLiteral("%1s").arg(seconds)},
        line.name(), 30s);
    QThread::msleep(100); // the last burst's bytes reach the far end
    const QList<Clock::time_point> arrivals = clock.stop();
    const bool allHeld = clock.received() == burst.repeated(arrivals.size());

    const PacedLine pace = paced(arrivals);
    const Statistics s(pace.intervals);
    const double capacity = seconds * 1000.0 / burstMs;
    QString count = QStringLiteral("%1 / %2").arg(arrivals.size()).arg(capacity, 0, 'f', 0);
    if (!allHeld)
        count += " (not all of them relay 1's hold burst)";
    if (ctl.status != 0)
        count += QStringLiteral(" (relayctl exited with %1)").arg(ctl.status);
    return {
        {QStringLiteral("7. `relayctl --device PTY hold 1 %1s`: bursts on the line / line "
                        "capacity")
                .arg(seconds),
            count, "at least 118",
            arrivals.size() >= 118 && allHeld && ctl.status == 0 ? "yes" : "no"},
        {"7. The same, start to exit", QStringLiteral("%1 s").arg(ctl.ms / 1000, 0, 'f', 2), "",
            "-"},
        {QStringLiteral("7. Time the line takes to carry the hold's bursts (%1 s asked)")
                .arg(seconds),
            QStringLiteral("%1 s").arg(pace.carried / 1000, 0, 'f', 2), "", "-"},
        {"7. Interval between bursts: median / 99th percentile / worst",
            ms(s.median(), 1) + " / " + ms(s.percentile(99), 1) + " / " + ms(s.worst(), 1), "",
            "-"},
        {"7. Longest time the line stood idle during the hold",
            ms(std::max(0.0, pace.longestIdle), 1), "under 5 ms",
            pace.longestIdle < idleGoalMs ? "yes" : "no"},
    };
}

QString machine()
{
    QString cpu;
    QFile info("/proc/cpuinfo");
    if (info.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : info.readAll().split('\n')) {
            if (line.startsWith("model name")) {
                cpu = QString::fromLatin1(line.mid(line.indexOf(':') + 1).trimmed());
                break;
            }
        }
    }
    return QStringLiteral("%1, %2 cores; %3 %4; Qt %5")
        .arg(cpu)
        .arg(QThread::idealThreadCount())
        .arg(QSysInfo::prettyProductName(), QSysInfo::kernelVersion(),
            QString::fromLatin1(qVersion()));
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Measures the relay panel; see the head of relaypanel-bench.cpp.");
    parser.addHelpOption();
    parser.addOption({"output", "Where the Markdown table goes.", "FILE", "performance.md"});
    parser.addOption({"program", "The installed relaypanel.", "PATH"});
    parser.addOption({"minimal", "The minimal Qt Widgets program.", "PATH"});
    parser.addOption({"relayctl", "The installed relayctl.", "PATH"});
    parser.addOption({"minimal-core", "The minimal Qt Core program.", "PATH"});
    parser.addOption({"seconds", "Length of the panel's hold and idle runs.", "S", "60"});
    parser.process(app);
    const int seconds = parser.value("seconds").toInt();
    const bool asRoot = parser.isSet("program") && parser.isSet("minimal") && ::geteuid() == 0;
    const QStringList nodes = asRoot ? serialNodes() : QStringList();
    // The installed panel opens its port 1 at start-up: without a node to stand in for, it has
    // no port to open and there is nothing to measure.
    const bool installed = asRoot && !nodes.isEmpty();

    QList<Row> rows;
    QTextStream err(stderr);
    err << "1. click to line\n" << Qt::flush;
    rows += clickToLine();
    err << "2. steady hold, " << seconds << " s\n" << Qt::flush;
    rows += steadyHold(seconds);
    err << "3. stop behind a hold\n" << Qt::flush;
    rows += stopBehindHold();
    if (installed) {
        err << "4. start-up and footprint\n" << Qt::flush;
        rows += startUp(parser.value("program"), parser.value("minimal"), nodes);
        err << "5. idle cost, 2 × " << seconds << " s\n" << Qt::flush;
        rows += idleCost(parser.value("program"), seconds, nodes);
    } else {
        err << "4 and 5 skipped: they need root, --program, --minimal and a serial device node "
               "to stand in for\n";
    }
    if (parser.isSet("relayctl") && parser.isSet("minimal-core")) {
        err << "6. relayctl on 1, start to exit\n" << Qt::flush;
        rows += relayctlOnce(parser.value("relayctl"), parser.value("minimal-core"));
        err << "7. relayctl hold 1 10s\n" << Qt::flush;
        rows += relayctlHold(parser.value("relayctl"));
    } else {
        err << "6 and 7 skipped: they need --relayctl and --minimal-core\n";
    }

    QFile file(parser.value("output"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(file.fileName()));
    QTextStream out(&file);
    out << "# Performance\n\n"
        << "Reproduce with `sudo ./scripts/bench` from the project's root (about five minutes).\n\n"
        << "Measured on " << QDateTime::currentDateTimeUtc().toString(Qt::ISODate) << ", on "
        << machine() << ".\n\n"
        << "Every figure comes from one run of that command; ratios compare figures measured "
           "side by side in the same run. A goal that is not met says so in the last column.\n\n"
        << "| Measure | Figure | Goal | Met |\n|---|---|---|---|\n";
    for (const Row &row : rows)
        out << "| " << row.measure << " | " << row.figure << " | " << row.goal << " | " << row.met
            << " |\n";
    out.flush();
    err << "wrote " << file.fileName() << '\n';
    return 0;
}
