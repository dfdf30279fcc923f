// relaypanel-bench: how fast a click reaches the line, how steady a held button keeps it, how
// long an emergency stop waits behind a hold, what the panel costs to start and to keep running,
// and what relayctl costs beyond the line's own time and how busy its hold keeps the line, alone
// and through a relay-mqtt that owns the line. Every
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
#include "relay-mqtt/mqtt/MqttConnection.h"
#include "serial/LineBacklog.h"
#include "serial/SerialLink.h"
#include "support/BrowserRemote.h"
#include "support/Controls.h"
#include "support/DiesWithParent.h"
#include "support/HostileClient.h"
#include "support/MosquittoBroker.h"
#include "support/ProcessStatus.h"
#include "support/PseudoTerminal.h"
#include "support/RecordingView.h"
#include "support/RelayMqttTest.h"
#include "support/SerialNodes.h"
#include "support/WebClient.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QSysInfo>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>
#include <QThread>
#include <QTimer>
#include <QWebSocket>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <utility>

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
    return double(std::max<qint64>(statusKiB(pid, "VmHWM:"), 0)) / 1024.0;
}

// Lowers the process's peak resident memory to what it holds now (root only), so that a later
// peak is what came since, not what an earlier step left behind.
bool resetPeakRss(qint64 pid)
{
    QFile refs(QStringLiteral("/proc/%1/clear_refs").arg(pid));
    return refs.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && refs.write("5") == 1;
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
        {"4. Peak resident memory, panel beside an empty Qt window (no goal: the figure is for "
         "watching)",
            QStringLiteral("%1 MiB / %2 MiB = %3×")
                .arg(pr.median(), 0, 'f', 1)
                .arg(mr.median(), 0, 'f', 1)
                .arg(rssRatio, 0, 'f', 2),
            "", "-"},
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
// `runtime`, if given, is where relayctl looks for relay-mqtt's local socket (XDG_RUNTIME_DIR).
Exited runToExit(const QStringList &arguments, const QString &line, std::chrono::milliseconds limit,
    const QString &runtime = {})
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // Should --device ever be passed over, relayctl still finds nothing but the pseudo-terminal.
    environment.insert("RELAYCTL_DEVICE", line);
    if (!runtime.isEmpty())
        environment.insert("XDG_RUNTIME_DIR", runtime);
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

// A run's times as the rows give them: median / 90th percentile / worst.
QString spread(const Statistics &s)
{
    return ms(s.median(), 1) + " / " + ms(s.percentile(90), 1) + " / " + ms(s.worst(), 1);
}

// A hold's bursts against the line's capacity over `seconds`, and what went wrong, if anything.
QString holdCount(qsizetype bursts, int seconds, bool allHeld, int status)
{
    const double capacity = seconds * 1000.0 / burstMs;
    QString count = QStringLiteral("%1 / %2").arg(bursts).arg(capacity, 0, 'f', 0);
    if (!allHeld)
        count += " (not all of them relay 1's hold burst)";
    if (status != 0)
        count += QStringLiteral(" (relayctl exited with %1)").arg(status);
    return count;
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
    const QString count = holdCount(arrivals.size(), seconds, allHeld, ctl.status);
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

// What reaches a pseudo-terminal's far end, burst by burst, each with the moment its first byte
// could be read; read on its own thread, so the moments do not wait for the event loop.
class LineTap
{
public:
    struct Burst
    {
        Clock::time_point firstByte;
        QByteArray bytes;
    };

    explicit LineTap(PseudoTerminal &line) : m_line(line), m_thread([this] { run(); }) { }
    ~LineTap()
    {
        m_stop = true;
        m_thread.join();
    }
    LineTap(const LineTap &) = delete;
    LineTap &operator=(const LineTap &) = delete;

    qsizetype count() const
    {
        const std::lock_guard lock(m_mutex);
        return m_bursts.size();
    }
    QList<Burst> bursts() const
    {
        const std::lock_guard lock(m_mutex);
        return m_bursts;
    }
    // Whether every tap so far read its line at real-time priority (it takes root).
    static bool allRealTime() { return s_allRealTime; }

private:
    void run()
    {
        // A serial line's far end is hardware, which never waits for a processor: at real-time
        // priority the tap reads a burst as soon as it is written, not when the scheduler next
        // gets round to the bench.
        const sched_param priority{.sched_priority = 1};
        if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority) != 0)
            s_allRealTime = false;
        QByteArray pending;
        Clock::time_point first;
        while (!m_stop) {
            const QByteArray bytes = m_line.read(1, 20ms);
            if (bytes.isEmpty())
                continue;
            const auto now = Clock::now();
            if (pending.isEmpty())
                first = now;
            pending += bytes;
            const std::lock_guard lock(m_mutex);
            for (; pending.size() >= RelayPacket::burstSize; first = now) {
                m_bursts.append({first, pending.left(RelayPacket::burstSize)});
                pending.remove(0, RelayPacket::burstSize);
            }
        }
    }

    static inline std::atomic<bool> s_allRealTime = true;
    PseudoTerminal &m_line;
    std::atomic<bool> m_stop = false;
    mutable std::mutex m_mutex;
    QList<Burst> m_bursts;
    std::thread m_thread;
};

// When relay-mqtt hands each burst to write(), as noted by the library the bench preloads into
// it (bench/write-stamp.cpp): relay-mqtt's own time, without the pseudo-terminal's hand-over of
// the bytes to the far end. The stamps come through a pipe that never blocks the writer.
class WriteStamps
{
public:
    WriteStamps()
    {
        if (::pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
            qFatal("9 cannot run: no pipe for relay-mqtt's write() stamps");
    }
    ~WriteStamps()
    {
        ::close(m_pipe[0]);
        ::close(m_pipe[1]);
    }
    WriteStamps(const WriteStamps &) = delete;
    WriteStamps &operator=(const WriteStamps &) = delete;

    // Has `process` load the library and write to the pipe; `modifier` runs in the child too.
    void prepare(QProcess &process, const std::function<void()> &modifier) const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("LD_PRELOAD", QStringLiteral(WRITE_STAMP));
        environment.insert("RELAYPANEL_WRITE_STAMP_FD", QString::number(m_pipe[1]));
        process.setProcessEnvironment(environment);
        // Only this child keeps the pipe's end across exec: whatever else the bench starts
        // leaves it closed.
        process.setChildProcessModifier([modifier, fd = m_pipe[1]] {
            modifier();
            ::fcntl(fd, F_SETFD, 0);
        });
    }
    // Drops the stamps of the bursts written so far.
    void discard() const
    {
        std::int64_t stamp = 0;
        while (::read(m_pipe[0], &stamp, sizeof stamp) == sizeof stamp) { }
    }
    // The next burst's write(), if one comes within `limit`.
    std::optional<Clock::time_point> next(std::chrono::milliseconds limit) const
    {
        pollfd ready{m_pipe[0], POLLIN, 0};
        std::int64_t stamp = 0;
        if (::poll(&ready, 1, int(limit.count())) != 1
            || ::read(m_pipe[0], &stamp, sizeof stamp) != sizeof stamp)
            return std::nullopt;
        return Clock::time_point{std::chrono::nanoseconds(stamp)};
    }

private:
    int m_pipe[2] = {-1, -1};
};

constexpr auto bridgeName = "bench";
constexpr int latencyCommands = 500;
constexpr auto latencyPace = 100ms; // more than a burst's time: the line is never behind
constexpr int floodCommands = 2000;
constexpr auto floodLength = 1000ms;
constexpr double floodBusyGoal = 95.0; // % of the time the line carries bursts while draining
constexpr double floodMemoryGoal = 2.0; // peak memory after the flood / idle peak
constexpr double bridgeIdleGoal = 0.1; // % of a core
// Both write to a pseudo-terminal for a message: what is left is relay-mqtt's own.
constexpr double bareLatencyGoal = 1.5;

// relay-mqtt between a mosquitto of the bench's own on 127.0.0.1 and a pseudo-terminal, and a
// client of the bench's in this thread's event loop.
class BridgeRun
{
public:
    // `extra`: more options for relay-mqtt, such as its web page's; `stamps`: where it reports
    // its bursts' write(), if anywhere.
    explicit BridgeRun(
        const QString &program, const QStringList &extra = {}, const WriteStamps *stamps = nullptr)
    {
        if (!m_broker.setUpError().isEmpty() || !m_broker.start())
            qFatal("8 cannot run: %s", qPrintable(m_broker.errorString()));
        if (!m_log.isValid())
            qFatal("8 cannot run: no temporary directory");
        const QString broker
            = QStringLiteral("%1:%2").arg(MosquittoBroker::address).arg(m_broker.port());
        dieWithParent(m_bridge);
        if (stamps)
            stamps->prepare(m_bridge, m_bridge.childProcessModifier());
        m_bridge.setStandardErrorFile(m_log.filePath("stderr"));
        // Always the pseudo-terminal by its name: never a port by number.
        m_bridge.start(program,
            QStringList{"--device", m_line.name(), "--card", "1", "--card", "2", "--broker", broker,
                "--name", bridgeName, "--no-discovery"}
                + extra);
        if (!m_bridge.waitForStarted())
            qFatal("cannot start %s", qPrintable(program));

        MqttSettings settings;
        settings.setBroker(broker);
        settings.clientId = QStringLiteral("relaypanel-bench");
        m_client = std::make_unique<MqttConnection>(settings);
        QObject::connect(m_client.get(), &MqttConnection::connected, m_client.get(),
            [this] { m_client->subscribe({topic("status")}); });
        QObject::connect(m_client.get(), &MqttConnection::messageReceived, m_client.get(),
            [this](const QString &name, const QByteArray &payload) {
                if (name == topic("status"))
                    m_online = payload == "online";
            });
        m_client->connectToBroker();
        if (!waitFor([this] { return m_online; }, 10s))
            qFatal("relay-mqtt did not come online: %s", log().constData());
        QThread::msleep(500); // let start-up settle
    }
    ~BridgeRun()
    {
        m_client.reset();
        m_bridge.kill();
        m_bridge.waitForFinished();
    }
    BridgeRun(const BridgeRun &) = delete;
    BridgeRun &operator=(const BridgeRun &) = delete;

    static QString topic(const QString &below)
    {
        return QString::fromLatin1(bridgeName) + u'/' + below;
    }
    MqttConnection &client() { return *m_client; }
    const MosquittoBroker &broker() const { return m_broker; }
    const LineTap &line() const { return m_tap; }
    qint64 pid() const { return m_bridge.processId(); }
    QByteArray log() const
    {
        QFile file(m_log.filePath("stderr"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // "http://127.0.0.1:PORT", as relay-mqtt logs its web page's address; empty without one.
    QString pageUrl() const
    {
        const QByteArray said = "web page at ";
        const QByteArray text = log();
        const qsizetype at = text.indexOf(said);
        if (at < 0)
            return {};
        const qsizetype start = at + said.size();
        return QString::fromLatin1(text.mid(start, text.indexOf('/', start + 8) - start));
    }

    // Runs the event loop until `done` or `limit` has passed; whether it is done.
    static bool waitFor(const std::function<bool()> &done, std::chrono::milliseconds limit)
    {
        QEventLoop loop;
        QTimer check;
        check.setTimerType(Qt::PreciseTimer);
        const auto start = Clock::now();
        QObject::connect(&check, &QTimer::timeout, &loop, [&] {
            if (done() || Clock::now() - start >= limit)
                loop.quit();
        });
        check.start(1ms);
        if (!done())
            loop.exec();
        return done();
    }

private:
    MosquittoBroker m_broker;
    PseudoTerminal m_line;
    LineTap m_tap{m_line};
    QTemporaryDir m_log{QDir::tempPath() + "/mqtt-bench-XXXXXX"};
    QProcess m_bridge;
    std::unique_ptr<MqttConnection> m_client;
    bool m_online = false;
};

// 8.3 (measured first, before any command): relay-mqtt's CPU time over a quiet spell.
struct BridgeIdle
{
    double cpuShare = 0; // % of a core
    double cpu = 0; // s
    double peakMiB = 0;
};

BridgeIdle bridgeIdle(const BridgeRun &run, int seconds)
{
    const double start = cpuSeconds(run.pid());
    // The bench's own client keeps answering the broker meanwhile: a client silent for longer
    // than its keepalive is dropped.
    QEventLoop quiet;
    QTimer::singleShot(std::chrono::seconds(seconds), &quiet, &QEventLoop::quit);
    quiet.exec();
    BridgeIdle idle;
    idle.cpu = cpuSeconds(run.pid()) - start;
    idle.cpuShare = 100.0 * idle.cpu / seconds;
    idle.peakMiB = peakRssMiB(run.pid());
    return idle;
}

// 8.1's yardstick for the line's side of the path: a bare client of the broker, mosquitto_sub,
// writing 20 bytes to a pseudo-terminal of its own for every message on its topic.
class BareClient
{
public:
    static constexpr auto topic = "relaypanel-bench/bare";

    explicit BareClient(const MosquittoBroker &broker)
    {
        dieWithParent(m_client);
        m_client.setStandardOutputFile(m_line.name());
        m_client.start(QStringLiteral("mosquitto_sub"),
            broker.clientArguments()
                + QStringList{"-t", topic, "-q", "1", "-N", "-F", "01234567890123456789"});
        if (!m_client.waitForStarted())
            qFatal("cannot start mosquitto_sub");
    }
    ~BareClient()
    {
        m_client.kill();
        m_client.waitForFinished();
    }
    BareClient(const BareClient &) = delete;
    BareClient &operator=(const BareClient &) = delete;

    const LineTap &line() const { return m_tap; }

private:
    PseudoTerminal m_line;
    LineTap m_tap{m_line};
    QProcess m_client;
};

// Lets the event loop run until `until`.
void pauseUntil(Clock::time_point until)
{
    BridgeRun::waitFor(
        [] { return false; }, std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()));
}

// From just before `send` puts a command on its way to the first byte of the next burst on
// `line`; relay-mqtt's log, in `run`, says why if none comes.
double toLine(const BridgeRun &run, const LineTap &line, const std::function<void()> &send)
{
    const qsizetype before = line.count();
    const auto start = Clock::now();
    send();
    if (!BridgeRun::waitFor([&] { return line.count() > before; }, 2s))
        qFatal("a command did not reach its line: %s", run.log().constData());
    return std::chrono::duration<double, std::milli>(line.bursts().at(before).firstByte - start)
        .count();
}

// 8.1. A command published by the bench's client until the first byte of its burst can be read
// at the far end, against the same client's publish to a topic it is subscribed to, and against
// the bare client's 20 bytes. The three take turns, a third of a pace apart, so each starts from
// the same quiet machine: a round trip timed back to back would find every process awake and
// its caches warm.
struct BridgeLatency
{
    Statistics bridge{{}};
    Statistics broker{{}};
    Statistics bare{{}};
};

BridgeLatency bridgeLatency(BridgeRun &run)
{
    MqttConnection &client = run.client();
    const QString command = BridgeRun::topic("1/relay/1/set");
    const QString echo = QStringLiteral("relaypanel-bench/echo");
    BareClient bare(run.broker());
    bool subscribed = false;
    std::optional<int> echoSubscription;
    std::optional<Clock::time_point> arrived;
    const QMetaObject::Connection onSubscribed
        = QObject::connect(&client, &MqttConnection::subscribed, &client,
            [&](int mid) { subscribed = subscribed || mid == echoSubscription; });
    const QMetaObject::Connection onMessage = QObject::connect(
        &client, &MqttConnection::messageReceived, &client, [&](const QString &topic) {
            if (topic == echo)
                arrived = Clock::now();
        });
    echoSubscription = client.subscribe({echo});
    // The bare client's subscription is in once a message to its topic reaches its line.
    for (int tries = 0; bare.line().count() == 0 && tries < 50; ++tries) {
        client.publish(QString::fromLatin1(BareClient::topic), "ready");
        BridgeRun::waitFor([&] { return bare.line().count() > 0; }, 100ms);
    }
    if (!BridgeRun::waitFor([&] { return subscribed; }, 5s) || bare.line().count() == 0)
        qFatal("the broker did not take the bench's subscriptions");
    BridgeRun::waitFor([] { return false; }, 200ms); // the last tries' messages, if any

    QList<double> bridge;
    QList<double> broker;
    QList<double> bareToLine;
    for (int i = 0; i < latencyCommands; ++i) {
        const QByteArray payload = i % 2 == 0 ? "ON" : "OFF";
        const auto start = Clock::now();
        bridge.append(toLine(run, run.line(), [&] { client.publish(command, payload); }));
        pauseUntil(start + latencyPace / 3);

        arrived.reset();
        const auto sent = Clock::now();
        client.publish(echo, payload);
        if (!BridgeRun::waitFor([&] { return arrived.has_value(); }, 2s))
            qFatal("the broker did not echo a message");
        broker.append(std::chrono::duration<double, std::milli>(*arrived - sent).count());
        pauseUntil(start + 2 * latencyPace / 3);

        bareToLine.append(toLine(run, bare.line(),
            [&] { client.publish(QString::fromLatin1(BareClient::topic), payload); }));
        pauseUntil(start + latencyPace);
    }
    QObject::disconnect(onSubscribed);
    QObject::disconnect(onMessage);
    client.unsubscribe({echo});
    return {Statistics(bridge), Statistics(broker), Statistics(bareToLine)};
}

// 8.2. 2,000 commands spread over one second, for cards 1 and 2 by turns, with card 1's
// emergency stop halfway: how busy the line stays while the queue drains, what was refused,
// what it cost in memory, and how soon the stop went out. Before the stop card 1's commands are
// for relays 1 to 4, after it for 5 to 8, so a burst left over from before it can be told apart.
struct BridgeFlood
{
    int scrapes = 0; // answered scrapes of /metrics meanwhile
    qsizetype bursts = 0; // the flood's, the stop's left out
    qsizetype refused = 0;
    double busyShare = 0; // %
    double peakMiB = 0;
    double stopMs = -1; // -1: its burst never came
    qsizetype lateForCard1 = 0; // bursts from before the stop for card 1 after its burst
};

constexpr auto scrapePace = 100ms;

// `metricsUrl`: scraped at scrapePace from the flood's start until the queue has drained.
BridgeFlood bridgeFlood(BridgeRun &run, const QString &metricsUrl = {})
{
    QNetworkAccessManager scraper;
    int scrapes = 0;
    int scraping = 0; // scrapes still on their way
    std::optional<Clock::time_point> lastScrape;
    const auto scrapeIfDue = [&] {
        if (metricsUrl.isEmpty() || (lastScrape && Clock::now() - *lastScrape < scrapePace))
            return;
        lastScrape = Clock::now();
        QNetworkReply *reply = scraper.get(QNetworkRequest(QUrl(metricsUrl)));
        ++scraping;
        QObject::connect(reply, &QNetworkReply::finished, reply, [reply, &scrapes, &scraping] {
            scrapes += reply->error() == QNetworkReply::NoError ? 1 : 0;
            --scraping;
            reply->deleteLater();
        });
    };
    MqttConnection &client = run.client();
    const qsizetype before = run.line().count();
    const qsizetype refusedBefore = RelayMqttTest::refusalsIn(QString::fromUtf8(run.log()));
    const auto start = Clock::now();
    std::optional<Clock::time_point> stopSent;
    int sent = 0;
    // As many as are due by now, every millisecond; QoS 0, so that none waits in the client for
    // an earlier one's acknowledgement.
    BridgeRun::waitFor(
        [&] {
            scrapeIfDue();
            const double due = msSince(start) * floodCommands / double(floodLength.count());
            for (; sent < std::min(double(floodCommands), due); ++sent) {
                if (sent == floodCommands / 2) {
                    stopSent = Clock::now();
                    client.publish(BridgeRun::topic("1/stop"), "");
                }
                const int card = 1 + sent % 2;
                const int relay
                    = card == 2 ? 1 + (sent / 2) % 8 : 1 + (sent / 2) % 4 + (stopSent ? 4 : 0);
                client.publish(
                    BridgeRun::topic(QStringLiteral("%1/relay/%2/set").arg(card).arg(relay)),
                    (sent / 16) % 2 == 0 ? "ON" : "OFF", 0);
            }
            return sent >= floodCommands;
        },
        floodLength * 2);
    // Drained once the line has been quiet for two burst times.
    qsizetype seen = run.line().count();
    for (;;) {
        BridgeRun::waitFor(
            [&] {
                scrapeIfDue();
                return false;
            },
            200ms);
        const qsizetype now = run.line().count();
        if (now == seen)
            break;
        seen = now;
    }

    BridgeFlood flood;
    // The last scrape's answer, if it is still on its way.
    BridgeRun::waitFor([&] { return scraping == 0; }, 2s);
    flood.scrapes = scrapes;
    flood.peakMiB = peakRssMiB(run.pid());
    // The log counts the refusals of each second after it; the last count comes a second late.
    BridgeRun::waitFor([] { return false; }, 1200ms);
    flood.refused = RelayMqttTest::refusalsIn(QString::fromUtf8(run.log())) - refusedBefore;
    const QList<LineTap::Burst> bursts = run.line().bursts().mid(before);
    const QByteArray stopBurst = RelayPacket::makeBurst(RelayPacket::makePacket(1, 'E', '1'));
    qsizetype stopAt = -1;
    for (qsizetype i = 0; i < bursts.size(); ++i) {
        const QByteArray &bytes = bursts.at(i).bytes;
        if (bytes == stopBurst && stopAt < 0) {
            stopAt = i;
            flood.stopMs
                = std::chrono::duration<double, std::milli>(bursts.at(i).firstByte - *stopSent)
                      .count();
        } else if (stopAt >= 0 && quint8(bytes.at(1)) == 1 && bytes.at(3) >= '1'
            && bytes.at(3) <= '4') {
            ++flood.lateForCard1;
        }
    }
    flood.bursts = bursts.size() - (stopAt >= 0 ? 1 : 0);
    // A burst may be written while the one before is still going out: the line's own pace,
    // not the arrivals, says how long it took to carry them.
    QList<Clock::time_point> arrivals;
    for (const LineTap::Burst &burst : bursts)
        arrivals.append(burst.firstByte);
    if (!arrivals.isEmpty())
        flood.busyShare = 100.0 * double(arrivals.size()) * burstMs / paced(arrivals).carried;
    return flood;
}

// 8.4. relay-mqtt started with every card address a port can have, against one card: until it
// says online and every discovery config and relay state it owes has reached a subscriber, and
// its peak memory by then. Each start has a fresh broker, so nothing retained is left over.
constexpr int manyCards = 255;
constexpr int startRuns = 5;
constexpr auto startLimit = 60s;
constexpr double manyCardsMemoryGoal = 2.0; // peak memory once online, 255 cards / one card

struct BridgeStart
{
    double readyMs = -1; // -1: not all of it arrived within startLimit
    double peakMiB = 0;
};

BridgeStart bridgeStart(const QString &program, int cards)
{
    MosquittoBroker broker;
    if (!broker.setUpError().isEmpty() || !broker.start())
        qFatal("8.4 cannot run: %s", qPrintable(broker.errorString()));
    const QString address
        = QStringLiteral("%1:%2").arg(MosquittoBroker::address).arg(broker.port());
    const QString name = QString::fromLatin1(bridgeName);
    const QString discoveryPrefix = QStringLiteral("homeassistant");

    // Subscribed before the bridge starts, so every message is seen as it arrives. QoS 0: the
    // broker queues at most 1,000 QoS 1 messages for a client, fewer than a start brings.
    MqttSettings settings;
    settings.setBroker(address);
    settings.clientId = QStringLiteral("relaypanel-bench-start");
    MqttConnection client(settings);
    std::optional<int> subscription;
    bool subscribed = false;
    QObject::connect(&client, &MqttConnection::connected, &client, [&] {
        subscription = client.subscribe(
            {discoveryPrefix + "/#", name + "/status", name + "/+/relay/+/state"}, 0);
    });
    QObject::connect(&client, &MqttConnection::subscribed, &client,
        [&](int mid) { subscribed = subscribed || mid == subscription; });

    // Counted by topic, each once, and only the topics owed: whatever else the bridge leaves
    // retained does not count.
    QSet<QString> configs;
    QSet<QString> states;
    bool online = false;
    std::optional<Clock::time_point> complete;
    const qsizetype configsOwed = qsizetype(cards) * 10;
    const qsizetype statesOwed = qsizetype(cards) * 8;
    QObject::connect(&client, &MqttConnection::messageReceived, &client,
        [&](const QString &topic, const QByteArray &payload) {
            const QStringList levels = topic.split(u'/');
            if (topic == name + "/status") {
                online = payload == "online";
            } else if (!payload.isEmpty() && levels.size() == 4 && levels.at(0) == discoveryPrefix
                && (levels.at(1) == "switch" || levels.at(1) == "button")
                && levels.at(3) == "config") {
                configs.insert(topic);
            } else if (levels.size() == 5 && levels.at(0) == name && levels.at(2) == "relay"
                && levels.at(4) == "state") {
                states.insert(topic);
            }
            if (!complete && online && configs.size() >= configsOwed && states.size() >= statesOwed)
                complete = Clock::now();
        });
    client.connectToBroker();
    if (!BridgeRun::waitFor([&] { return subscribed; }, 10s))
        qFatal("8.4: the broker did not take the bench's subscriptions");

    PseudoTerminal line;
    const LineTap tap(line); // whatever it writes is read, so the line never fills
    QTemporaryDir log(QDir::tempPath() + "/mqtt-bench-XXXXXX");
    QProcess bridge;
    dieWithParent(bridge);
    bridge.setStandardErrorFile(log.filePath("stderr"));
    // Always the pseudo-terminal by its name: never a port by number.
    QStringList arguments{"--device", line.name(), "--broker", address, "--name", name};
    for (int card = 1; card <= cards; ++card)
        arguments << "--card" << QString::number(card);
    const auto start = Clock::now();
    bridge.start(program, arguments);
    if (!bridge.waitForStarted())
        qFatal("cannot start %s", qPrintable(program));
    BridgeRun::waitFor([&] { return complete.has_value(); }, startLimit);

    BridgeStart result;
    if (complete) {
        result.readyMs = std::chrono::duration<double, std::milli>(*complete - start).count();
    } else {
        QFile stderrFile(log.filePath("stderr"));
        const QByteArray said = stderrFile.open(QIODevice::ReadOnly) ? stderrFile.readAll() : "";
        qWarning("8.4: relay-mqtt with %d card(s) not ready within %lld s (%lld configs, %lld "
                 "states, %s): %s",
            cards, qlonglong(std::chrono::seconds(startLimit).count()), qlonglong(configs.size()),
            qlonglong(states.size()), online ? "online" : "not online", said.constData());
    }
    BridgeRun::waitFor([] { return false; }, 500ms); // let start-up settle
    result.peakMiB = peakRssMiB(bridge.processId());
    bridge.kill();
    bridge.waitForFinished();
    return result;
}

struct BridgeStarts
{
    Statistics manyMs{{}};
    Statistics oneMs{{}};
    Statistics manyMiB{{}};
    Statistics oneMiB{{}};
    // Starts that were not ready within startLimit, left out of the figures.
    int manyIncomplete = 0;
    int oneIncomplete = 0;
};

// The two take turns, so both start on the same machine.
BridgeStarts bridgeStarts(const QString &program)
{
    QList<double> manyMs, oneMs, manyMiB, oneMiB;
    BridgeStarts starts;
    for (int run = 0; run < startRuns; ++run) {
        for (const int cards : {manyCards, 1}) {
            const BridgeStart start = bridgeStart(program, cards);
            const bool one = cards == 1;
            if (start.readyMs < 0) {
                ++(one ? starts.oneIncomplete : starts.manyIncomplete);
                continue;
            }
            (one ? oneMs : manyMs) << start.readyMs;
            (one ? oneMiB : manyMiB) << start.peakMiB;
        }
    }
    starts.manyMs = Statistics(manyMs);
    starts.oneMs = Statistics(oneMs);
    starts.manyMiB = Statistics(manyMiB);
    starts.oneMiB = Statistics(oneMiB);
    return starts;
}

// 8. relay-mqtt: from a publish to the line, against a bare client's and the broker's own round
// trip; a flood with an emergency stop in it; its idle cost; and its start with 255 cards.
QList<Row> relayMqtt(const QString &program, int seconds)
{
    const auto [idle, latency, flood] = [&] {
        BridgeRun run(program);
        const BridgeIdle idle = bridgeIdle(run, seconds);
        const BridgeLatency latency = bridgeLatency(run);
        return std::tuple(idle, latency, bridgeFlood(run));
    }();
    // The same flood with the page on and its metrics scraped throughout: counting for them
    // must cost the line nothing.
    const BridgeFlood scraped = [&] {
        BridgeRun run(program, {"--http", "127.0.0.1:0"});
        return bridgeFlood(run, run.pageUrl() + "/metrics");
    }();
    // With the first bridge and its broker gone.
    const BridgeStarts starts = bridgeStarts(program);

    const double bareRatio = latency.bridge.median() / latency.bare.median();
    const double brokerRatio = latency.bridge.median() / latency.broker.median();
    const double stopLimit = 2 * burstMs + latency.broker.median();
    const double memoryRatio = flood.peakMiB / idle.peakMiB;
    const auto startSpread = [](const Statistics &s, int incomplete) {
        QString text
            = s.isEmpty() ? QStringLiteral("never") : ms(s.median(), 1) + " / " + ms(s.worst(), 1);
        if (incomplete > 0)
            text += QStringLiteral(" (%1 of %2 starts not ready within %3 s)")
                        .arg(incomplete)
                        .arg(startRuns)
                        .arg(std::chrono::seconds(startLimit).count());
        return text;
    };
    const bool startsReady = !starts.manyMs.isEmpty() && !starts.oneMs.isEmpty();
    const double startRatio = startsReady ? starts.manyMs.median() / starts.oneMs.median() : 0;
    const double startMemoryRatio
        = startsReady ? starts.manyMiB.median() / starts.oneMiB.median() : 0;
    const QLocale english(QLocale::English); // 2,550
    return {
        {QStringLiteral("8.1 relay-mqtt, publish of `%1/1/relay/1/set` to its burst's first byte "
                        "at the far end: median / 99th percentile (%2 commands, one per %3 ms)")
                .arg(bridgeName)
                .arg(latencyCommands)
                .arg(latencyPace.count()),
            ms(latency.bridge.median(), 3) + " / " + ms(latency.bridge.percentile(99), 3), "", "-"},
        {"8.1 The broker's own round trip, publish to a subscriber in the same client, taking "
         "turns with the commands: median / 99th percentile",
            ms(latency.broker.median(), 3) + " / " + ms(latency.broker.percentile(99), 3), "", "-"},
        {"8.1 A bare client (mosquitto_sub) writing 20 bytes to a pseudo-terminal of its own for "
         "each message, taking turns with the commands: median / 99th percentile",
            ms(latency.bare.median(), 3) + " / " + ms(latency.bare.percentile(99), 3), "", "-"},
        {"8.1 relay-mqtt median / bare client median", QString::number(bareRatio, 'f', 2) + "×",
            "within 1.5×", bareRatio <= bareLatencyGoal ? "yes" : "no"},
        {"8.1 relay-mqtt median / broker round trip median",
            QString::number(brokerRatio, 'f', 2) + "×", "", "-"},
        {QStringLiteral("8.2 Flood of 2,000 commands in 1 s, cards 1 and 2 by turns: bursts on "
                        "the line / refused (in the log, most as counts) / neither (queued for "
                        "card 1 when its stop "
                        "came, or lost)"),
            QStringLiteral("%1 / %2 / %3")
                .arg(flood.bursts)
                .arg(flood.refused)
                .arg(floodCommands - flood.bursts - flood.refused),
            "", "-"},
        {"8.2 Line busy while the queue drains",
            QStringLiteral("%1 %").arg(flood.busyShare, 0, 'f', 1), "at least 95 %",
            flood.busyShare >= floodBusyGoal ? "yes" : "no"},
        {"8.2 Peak resident memory of relay-mqtt, after the flood / idle",
            QStringLiteral("%1 MiB / %2 MiB = %3×")
                .arg(flood.peakMiB, 0, 'f', 1)
                .arg(idle.peakMiB, 0, 'f', 1)
                .arg(memoryRatio, 0, 'f', 2),
            "under 2×", memoryRatio < floodMemoryGoal ? "yes" : "no"},
        {"8.2 Card 1's emergency stop, published halfway through the flood, to its burst's "
         "first byte",
            flood.stopMs < 0 ? QStringLiteral("never") : ms(flood.stopMs, 1),
            QStringLiteral("2 burst times + the broker's median (%1)").arg(ms(stopLimit, 1)),
            flood.stopMs >= 0 && flood.stopMs <= stopLimit ? "yes" : "no"},
        {"8.2 Bursts for card 1 sent before its stop that reached the line after it",
            QString::number(flood.lateForCard1), "none",
            flood.stopMs >= 0 && flood.lateForCard1 == 0 ? "yes" : "no"},
        {QStringLiteral("8.2 The same flood, relay-mqtt's page on and its /metrics scraped every "
                        "%1 ms until the queue drained (%2 scrapes answered): line busy / card "
                        "1's stop to its burst's first byte")
                .arg(std::chrono::milliseconds(scrapePace).count())
                .arg(scraped.scrapes),
            QStringLiteral("%1 % / %2")
                .arg(scraped.busyShare, 0, 'f', 1)
                .arg(scraped.stopMs < 0 ? QStringLiteral("never") : ms(scraped.stopMs, 1)),
            "as without: busy at least 95 % and within 1 point, the stop within its limit",
            scraped.scrapes > 0 && scraped.busyShare >= floodBusyGoal
                    && scraped.busyShare >= flood.busyShare - 1.0 && scraped.stopMs >= 0
                    && scraped.stopMs <= stopLimit
                ? "yes"
                : "no"},
        {QStringLiteral("8.3 relay-mqtt's CPU used over %1 s idle").arg(seconds),
            QStringLiteral("%1 s (%2 % of a core)")
                .arg(idle.cpu, 0, 'f', 3)
                .arg(idle.cpuShare, 0, 'f', 3),
            "under 0.1 % of a core", idle.cpuShare < bridgeIdleGoal ? "yes" : "no"},
        {QStringLiteral("8.4 relay-mqtt with %1 cards (addresses 1 to %1), start until `%2/status` "
                        "is online and its %3 discovery configs and %4 relay states have reached "
                        "a subscriber: median / worst (%5 starts)")
                .arg(manyCards)
                .arg(bridgeName)
                .arg(english.toString(manyCards * 10), english.toString(manyCards * 8))
                .arg(startRuns),
            startSpread(starts.manyMs, starts.manyIncomplete), "", "-"},
        {"8.4 The same with one card (10 configs, 8 states), taking turns: median / worst",
            startSpread(starts.oneMs, starts.oneIncomplete), "", "-"},
        {QStringLiteral("8.4 Start until all is published, %1 cards / one card, medians")
                .arg(manyCards),
            startsReady ? QString::number(startRatio, 'f', 2) + "×" : QStringLiteral("-"), "", "-"},
        {QStringLiteral("8.4 Peak resident memory once online, %1 cards / one card, medians")
                .arg(manyCards),
            QStringLiteral("%1 MiB / %2 MiB = %3×")
                .arg(starts.manyMiB.median(), 0, 'f', 1)
                .arg(starts.oneMiB.median(), 0, 'f', 1)
                .arg(startMemoryRatio, 0, 'f', 2),
            "under 2× the one-card bridge",
            startsReady && startMemoryRatio < manyCardsMemoryGoal ? "yes" : "no"},
    };
}

// 9. relay-mqtt's web page and API, in one run with the MQTT path: a request to relay-mqtt's
// write() and to the line beside a publish, a click in a real browser to the line, what pages cost
// it while idle, and what an attack on its web port costs an emergency stop and its memory.
constexpr int webLatencyRequests = 500;
constexpr int browserClicks = 100;
// All from 127.0.0.1, and relay-mqtt lets one address hold 32 connections at most.
constexpr int idlePages = 30;
constexpr double idlePagesGoal = 0.1; // % of a core
constexpr int attackedStops = 20;
// Each attacker turned away and back a few times: the attack is under way.
constexpr long attackWarmUp = 20;
constexpr auto attackWarmUpLimit = 10s;
constexpr double attackedStopGoalMs = 2 * burstMs;
constexpr double attackMemoryGoalMiB = 8.0;

struct WebLatency
{
    Statistics api{{}};
    Statistics mqtt{{}};
    Statistics apiToWrite{{}};
    Statistics mqttToWrite{{}};
};

// 9.1's client: one kept-alive connection, each request written whole, as a script's HTTP
// client does; a client with threads and caches of its own would time itself more than the
// server.
class RawHttp
{
public:
    explicit RawHttp(const QString &pageUrl) : m_host(QUrl(pageUrl).authority().toLatin1())
    {
        m_socket.connectToHost(QUrl(pageUrl).host(), quint16(QUrl(pageUrl).port()));
        if (!m_socket.waitForConnected(5000))
            qFatal("9: cannot connect to %s", qPrintable(pageUrl));
    }
    void post(const QByteArray &path, const QByteArray &body)
    {
        m_answer.clear();
        m_socket.write("POST " + path + " HTTP/1.1\r\nHost: " + m_host
            + "\r\nContent-Type: application/json\r\nContent-Length: "
            + QByteArray::number(body.size()) + "\r\n\r\n" + body);
        m_socket.flush();
    }
    // Waits for the answer's status line and headers; its status.
    int answer()
    {
        BridgeRun::waitFor(
            [this] { return (m_answer += m_socket.readAll()).contains("\r\n\r\n{"); }, 2s);
        m_answer += m_socket.readAll();
        return m_answer.mid(9, 3).toInt();
    }

private:
    QByteArray m_host;
    QTcpSocket m_socket;
    QByteArray m_answer;
};

// From just before `send`, as toLine times it: to relay-mqtt's write() of the burst, and to its
// first byte at the far end.
std::pair<double, double> toWriteAndLine(
    const BridgeRun &run, const WriteStamps &stamps, const std::function<void()> &send)
{
    stamps.discard();
    std::optional<Clock::time_point> sent;
    const double toFarEnd = toLine(run, run.line(), [&] {
        sent = Clock::now();
        send();
    });
    const std::optional<Clock::time_point> written = stamps.next(2s);
    if (!written)
        qFatal("9.1: relay-mqtt's write() of a burst went unnoted: %s", run.log().constData());
    return {std::chrono::duration<double, std::milli>(*written - *sent).count(), toFarEnd};
}

// 9.1. A POST to the API and a publish to the command topic take turns, a pace apart: the line
// has carried one's burst before the other is sent.
WebLatency webLatency(BridgeRun &run, const WriteStamps &stamps)
{
    RawHttp api(run.pageUrl());
    QList<double> byApi, byMqtt, apiToWrite, mqttToWrite;
    for (int i = 0; i < webLatencyRequests; ++i) {
        const auto start = Clock::now();
        const QByteArray state = i % 2 == 0 ? "ON" : "OFF";
        const auto [apiWrite, apiLine] = toWriteAndLine(run, stamps,
            [&] { api.post("/api/cards/1/relays/2", R"({"state":")" + state + R"("})"); });
        apiToWrite.append(apiWrite);
        byApi.append(apiLine);
        if (api.answer() != 202)
            qFatal("9.1: the API refused a command: %s", run.log().constData());
        pauseUntil(start + latencyPace);
        const auto [mqttWrite, mqttLine] = toWriteAndLine(
            run, stamps, [&] { run.client().publish(BridgeRun::topic("1/relay/3/set"), state); });
        mqttToWrite.append(mqttWrite);
        byMqtt.append(mqttLine);
        pauseUntil(start + 2 * latencyPace);
    }
    return {Statistics(byApi), Statistics(byMqtt), Statistics(apiToWrite), Statistics(mqttToWrite)};
}

// Playwright's own choice for a browser without a window: Chromium's headless shell, which
// carries no desktop browser's parts around the page.
constexpr auto headlessShell = "/usr/bin/chromium-headless-shell";

// 9.2. A click on a relay's switch in Chromium, from the button's release to the first byte of
// its burst; the page shows the new state before the next click.
Statistics browserClickToLine(const BridgeRun &run)
{
    BrowserRemote browser(QStringLiteral(WEB_TESTS "/browser.mjs"),
        QFile::exists(headlessShell) ? QString::fromLatin1(headlessShell) : QString());
    if (!browser.run("open", {{"page", "a"}, {"url", run.pageUrl() + "/"}}))
        qFatal("9.2: %s", qPrintable(browser.error()));
    QList<double> clicks;
    for (int i = 0; i < browserClicks; ++i) {
        const QJsonObject relay = BrowserRemote::control("a", "Card 2", "switch", "Relay 5");
        QJsonObject shown = relay;
        shown.insert("checked", i % 2 == 1);
        if (!browser.run("waitFor", shown))
            qFatal("9.2: %s", qPrintable(browser.error()));
        const qsizetype before = run.line().count();
        const std::optional<QJsonValue> released = browser.call("clickTimed", relay);
        if (!released)
            qFatal("9.2: %s", qPrintable(browser.error()));
        if (!BridgeRun::waitFor([&] { return run.line().count() > before; }, 2s))
            qFatal("9.2: a click did not reach the line: %s", run.log().constData());
        const Clock::time_point at{std::chrono::nanoseconds(released->toString().toLongLong())};
        clicks.append(
            std::chrono::duration<double, std::milli>(run.line().bursts().at(before).firstByte - at)
                .count());
        BridgeRun::waitFor([] { return false; }, latencyPace);
    }
    return Statistics(clicks);
}

struct PagesIdle
{
    double cpu = 0; // s
    double cpuShare = 0; // % of a core
    double kibPerPage = 0;
};

double residentKiB(qint64 pid)
{
    return double(std::max<qint64>(statusKiB(pid, "VmRSS:"), 0));
}

// 9.3 and 9.4. Pages open on the live socket, as the page opens it, and then nothing happens.
PagesIdle pagesIdle(const BridgeRun &run, int seconds)
{
    const double before = residentKiB(run.pid());
    std::vector<std::unique_ptr<QWebSocket>> pages;
    int greeted = 0;
    const QString origin = run.pageUrl();
    for (int i = 0; i < idlePages; ++i) {
        auto &page = pages.emplace_back(std::make_unique<QWebSocket>(origin));
        QObject::connect(page.get(), &QWebSocket::textMessageReceived, page.get(),
            [&greeted](
                const QString &message) { greeted += message.contains("\"cards\"") ? 1 : 0; });
        page->open(QUrl(QString(origin).replace("http:", "ws:") + "/api/live"));
    }
    if (!BridgeRun::waitFor([&] { return greeted == idlePages; }, 10s))
        qFatal("9.3: %d of %d pages got the cards", greeted, idlePages);
    BridgeRun::waitFor([] { return false; }, 500ms); // let the opening settle
    PagesIdle idle;
    idle.kibPerPage = (residentKiB(run.pid()) - before) / idlePages;
    const double start = cpuSeconds(run.pid());
    BridgeRun::waitFor([] { return false; }, std::chrono::seconds(seconds));
    idle.cpu = cpuSeconds(run.pid()) - start;
    idle.cpuShare = 100.0 * idle.cpu / seconds;
    return idle;
}

struct UnderAttack
{
    Statistics stops{{}};
    long connections = 0;
    long long bytesSent = 0;
    double seconds = 0; // the attack's length
    double peakBeforeMiB = 0;
    double peakAfterMiB = 0;
    bool peakReset = false; // else the peak before may be an earlier step's, hiding growth
};

// 9.5 and 9.6. Card 1's emergency stop by the API, timed as 9.1 times a request, while one
// attacker sends a 300 MiB body to /api/login and another a header that never ends, each
// coming back whenever it is cut off; and relay-mqtt's peak memory before and after.
UnderAttack attackedStop(BridgeRun &run)
{
    UnderAttack result;
    result.peakReset = resetPeakRss(run.pid());
    result.peakBeforeMiB = peakRssMiB(run.pid());
    const auto start = Clock::now();
    HostileClient attack(quint16(QUrl(run.pageUrl()).port()),
        {HostileClient::Attack::HugeBody, HostileClient::Attack::EndlessHeader});
    if (!BridgeRun::waitFor(
            [&] { return attack.connections() >= attackWarmUp; }, attackWarmUpLimit))
        qFatal("9.5: the attack made %ld connections in %lld s", attack.connections(),
            qlonglong(attackWarmUpLimit.count()));
    // Connected once the attack is under way, as an operator's client would be.
    RawHttp api(run.pageUrl());
    QList<double> stops;
    for (int i = 0; i < attackedStops; ++i) {
        const auto sent = Clock::now();
        stops.append(toLine(run, run.line(), [&] { api.post("/api/cards/1/stop", ""); }));
        if (api.answer() != 202)
            qFatal("9.5: the API refused a stop: %s", run.log().constData());
        pauseUntil(sent + 2 * latencyPace);
    }
    attack.stop();
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.connections = attack.connections();
    result.bytesSent = attack.bytesSent();
    // Whatever the attackers' last connections left in relay-mqtt's sockets is read by now.
    BridgeRun::waitFor([] { return false; }, 500ms);
    result.peakAfterMiB = peakRssMiB(run.pid());
    result.stops = Statistics(stops);
    return result;
}

QList<Row> relayMqttWeb(const QString &program, int seconds)
{
    const WriteStamps stamps;
    BridgeRun run(program, {"--http", "127.0.0.1:0"}, &stamps);
    if (run.pageUrl().isEmpty())
        qFatal("9: relay-mqtt names no web page: %s", run.log().constData());
    const PagesIdle idle = pagesIdle(run, seconds);
    const WebLatency latency = webLatency(run, stamps);
    const Statistics clicks = browserClickToLine(run);
    // Last, so that nothing else in 9 runs beside the attack.
    const UnderAttack attacked = attackedStop(run);
    const double attackGrowthMiB = attacked.peakAfterMiB - attacked.peakBeforeMiB;
    const QLocale english(QLocale::English); // 6,658
    return {
        {QStringLiteral(
             "9.1 relay-mqtt, POST to /api/cards/1/relays/2 to relay-mqtt's write() "
             "of its burst to the line: median / 99th percentile (%1 requests, one per %2 ms)")
                .arg(webLatencyRequests)
                .arg(2 * latencyPace.count()),
            ms(latency.apiToWrite.median(), 3) + " / " + ms(latency.apiToWrite.percentile(99), 3),
            "", "-"},
        {"9.1 The MQTT path in the same run, taking turns with the requests, publish to "
         "relay-mqtt's write() of its burst: median / 99th percentile",
            ms(latency.mqttToWrite.median(), 3) + " / " + ms(latency.mqttToWrite.percentile(99), 3),
            "", "-"},
        {"9.1 API median / MQTT median, to write()",
            QString::number(latency.apiToWrite.median() / latency.mqttToWrite.median(), 'f', 2)
                + "×",
            "no slower than MQTT (at most 1×)",
            latency.apiToWrite.median() <= latency.mqttToWrite.median() ? "yes" : "no"},
        {"9.1 The same POST to its burst's first byte at the far end, the pseudo-terminal's "
         "hand-over included: median / 99th percentile",
            ms(latency.api.median(), 3) + " / " + ms(latency.api.percentile(99), 3), "", "-"},
        {"9.1 The same publish to its burst's first byte at the far end: median / 99th "
         "percentile",
            ms(latency.mqtt.median(), 3) + " / " + ms(latency.mqtt.percentile(99), 3), "", "-"},
        {QStringLiteral("9.2 A click on a relay's switch in %1 (playwright-core), the "
                        "button's release to its burst's first byte: median / 99th percentile "
                        "(%2 clicks)")
                .arg(QFile::exists(headlessShell) ? "Chromium's headless shell" : "Chromium")
                .arg(browserClicks),
            ms(clicks.median(), 3) + " / " + ms(clicks.percentile(99), 3),
            "99th under one byte time (4.17 ms)", clicks.percentile(99) < byteMs ? "yes" : "no"},
        {QStringLiteral("9.3 relay-mqtt's CPU over %1 s with %2 pages open on its live socket "
                        "(from 127.0.0.1, which may hold 32 connections), idle but for its ping "
                        "to each page every 10 s")
                .arg(seconds)
                .arg(idlePages),
            QStringLiteral("%1 s (%2 % of a core)")
                .arg(idle.cpu, 0, 'f', 3)
                .arg(idle.cpuShare, 0, 'f', 3),
            "under 0.1 % of a core", idle.cpuShare < idlePagesGoal ? "yes" : "no"},
        {QStringLiteral("9.4 Resident memory per open page (%1 pages)").arg(idlePages),
            QStringLiteral("%1 KiB").arg(idle.kibPerPage, 0, 'f', 1), "", "-"},
        {QStringLiteral("9.5 Card 1's emergency stop, POST to /api/cards/1/stop to its burst's "
                        "first byte at the far end, while two threads attack the web port, one "
                        "sending a 300 MiB body to /api/login and one a header that never ends, "
                        "each connecting again whenever cut off: median / worst (%1 stops, one "
                        "per %2 ms)")
                .arg(attackedStops)
                .arg(2 * latencyPace.count()),
            ms(attacked.stops.median(), 3) + " / " + ms(attacked.stops.worst(), 3)
                + QStringLiteral(" (the attack: %1 connections, %2 MiB written to their "
                                 "sockets, in %3 s)")
                      .arg(english.toString(qlonglong(attacked.connections)),
                          english.toString(double(attacked.bytesSent) / (1024 * 1024), 'f', 1))
                      .arg(attacked.seconds, 0, 'f', 1),
            "within two burst times (166.7 ms)",
            attacked.stops.worst() <= attackedStopGoalMs + 0.01 ? "yes" : "no"},
        {QStringLiteral("9.6 Growth of relay-mqtt's peak resident memory over 9.5's attack (%1)")
                .arg(attacked.peakReset
                        ? "the peak reset to the resident memory when it began"
                        : "the peak not reset when it began, not being root: an earlier peak "
                          "may hide some"),
            QStringLiteral("%1 MiB (%2 MiB before, %3 MiB after)")
                .arg(attackGrowthMiB, 0, 'f', 1)
                .arg(attacked.peakBeforeMiB, 0, 'f', 1)
                .arg(attacked.peakAfterMiB, 0, 'f', 1),
            "under 8 MiB", attackGrowthMiB < attackMemoryGoalMiB ? "yes" : "no"},
    };
}

// 10. relayctl beside a running relay-mqtt, which owns the line: `on 1` through relay-mqtt's local
// socket against the same directly on a free port, by turns, and a 10 s hold through the socket
// against the line's capacity. relay-mqtt runs without a broker, its socket in a folder of the
// bench's own.
QList<Row> relayctlThroughService(const QString &relayctl, const QString &relayMqtt)
{
    constexpr int runs = 100;
    constexpr int warmUp = 3;
    constexpr int seconds = 10;
    const QByteArray on = RelayPacket::makeBurst(RelayPacket::makePacket(1, 'S', '1'));
    const QByteArray held = RelayPacket::makeBurst(RelayPacket::makePacket(1, 'P', '1'));
    QTemporaryDir runtime(QDir::tempPath() + "/relayctl-bench-XXXXXX");
    PseudoTerminal owned;
    QProcess bridge;
    dieWithParent(bridge);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("RUNTIME_DIRECTORY", runtime.filePath("relay-mqtt"));
    bridge.setProcessEnvironment(environment);
    bridge.setProcessChannelMode(QProcess::MergedChannels);
    bridge.start(relayMqtt,
        {"--device", owned.name(), "--card", "1", "--no-broker", "--http", "127.0.0.1:0"});
    QByteArray log;
    const bool ready = BridgeRun::waitFor(
        [&] {
            log += bridge.readAll();
            return log.contains("local socket for relayctl at") && log.contains("is open");
        },
        10s);
    if (!ready)
        qFatal("10: relay-mqtt opened no local socket: %s", log.constData());

    QList<double> serviceMs;
    QList<double> directMs;
    int delivered = 0;
    for (int i = 0; i < warmUp + runs; ++i) {
        const Exited through = runToExit(
            {relayctl, "--device", owned.name(), "on", "1"}, owned.name(), 10s, runtime.path());
        const QByteArray arrived = owned.read(RelayPacket::burstSize, 1s) + owned.readAll(0ms);
        PseudoTerminal free;
        const Exited direct = runToExit(
            {relayctl, "--device", free.name(), "on", "1"}, free.name(), 10s, runtime.path());
        const QByteArray freeArrived = free.read(RelayPacket::burstSize, 1s) + free.readAll(0ms);
        if (i < warmUp)
            continue;
        serviceMs << through.ms;
        directMs << direct.ms;
        if (through.status == 0 && arrived == on && direct.status == 0 && freeArrived == on)
            ++delivered;
    }

    BurstClock clock(owned);
    const Exited hold = runToExit(
        {relayctl, "--device", owned.name(), "hold", "1", QStringLiteral("%1s").arg(seconds)},
        owned.name(), 30s, runtime.path());
    QThread::msleep(100); // the last burst's bytes reach the far end
    const QList<Clock::time_point> arrivals = clock.stop();
    const bool allHeld = clock.received() == held.repeated(arrivals.size());
    bridge.kill();
    bridge.waitForFinished();

    const Statistics service(serviceMs);
    const Statistics direct(directMs);
    const double ratio = service.median() / direct.median();
    const QString count = holdCount(arrivals.size(), seconds, allHeld, hold.status);
    return {
        {QStringLiteral("10. `relayctl --device PTY on 1` through relay-mqtt's socket, start to "
                        "exit: median / 90th percentile / worst (%1 runs)")
                .arg(runs),
            spread(service), "", "-"},
        {"10. The same directly on a free port, by turns with it: median / 90th percentile / worst",
            spread(direct), "", "-"},
        {"10. Through relay-mqtt / directly (medians)",
            QStringLiteral("%1 / %2 = %3×")
                .arg(ms(service.median(), 1), ms(direct.median(), 1))
                .arg(ratio, 0, 'f', 2),
            "within 1.2×", ratio <= 1.2 ? "yes" : "no"},
        {"10. Runs, both ways, that left the whole burst on the line and exited with 0",
            QStringLiteral("%1 of %2").arg(delivered).arg(runs), "every run",
            delivered == runs ? "yes" : "no"},
        {QStringLiteral("10. `relayctl --device PTY hold 1 %1s` through relay-mqtt's socket: "
                        "bursts on the line / line capacity")
                .arg(seconds),
            count, "at least 118 (as 7)",
            arrivals.size() >= 118 && allHeld && hold.status == 0 ? "yes" : "no"},
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
    parser.addOption({"relay-mqtt", "The installed relay-mqtt.", "PATH"});
    parser.addOption({"seconds", "Length of the panel's hold and idle runs.", "S", "60"});
    parser.addOption({"only", "Only these sections, for a quick look (1,2,...,10).", "LIST"});
    parser.process(app);
    const QStringList only = parser.value("only").split(u',', Qt::SkipEmptyParts);
    const auto wanted = [&only](int section) {
        return only.isEmpty() || only.contains(QString::number(section));
    };
    const int seconds = parser.value("seconds").toInt();
    const bool asRoot = parser.isSet("program") && parser.isSet("minimal") && ::geteuid() == 0;
    const QStringList nodes = asRoot ? serialNodes() : QStringList();
    // The installed panel opens its port 1 at start-up: without a node to stand in for, it has
    // no port to open and there is nothing to measure.
    const bool installed = asRoot && !nodes.isEmpty();

    QList<Row> rows;
    QTextStream err(stderr);
    if (wanted(1)) {
        err << "1. click to line\n" << Qt::flush;
        rows += clickToLine();
    }
    if (wanted(2)) {
        err << "2. steady hold, " << seconds << " s\n" << Qt::flush;
        rows += steadyHold(seconds);
    }
    if (wanted(3)) {
        err << "3. stop behind a hold\n" << Qt::flush;
        rows += stopBehindHold();
    }
    if (installed && wanted(4)) {
        err << "4. start-up and footprint\n" << Qt::flush;
        rows += startUp(parser.value("program"), parser.value("minimal"), nodes);
    }
    if (installed && wanted(5)) {
        err << "5. idle cost, 2 × " << seconds << " s\n" << Qt::flush;
        rows += idleCost(parser.value("program"), seconds, nodes);
    }
    if (!installed) {
        err << "4 and 5 skipped: they need root, --program, --minimal and a serial device node "
               "to stand in for\n";
    }
    const bool relayctl = parser.isSet("relayctl") && parser.isSet("minimal-core");
    if (relayctl && wanted(6)) {
        err << "6. relayctl on 1, start to exit\n" << Qt::flush;
        rows += relayctlOnce(parser.value("relayctl"), parser.value("minimal-core"));
    }
    if (relayctl && wanted(7)) {
        err << "7. relayctl hold 1 10s\n" << Qt::flush;
        rows += relayctlHold(parser.value("relayctl"));
    }
    if (!relayctl) {
        err << "6 and 7 skipped: they need --relayctl and --minimal-core\n";
    }
    const QString relayMqttPath = parser.value("relay-mqtt");
    const bool relayMqttThere = !relayMqttPath.isEmpty() && QFileInfo(relayMqttPath).isExecutable()
        && MosquittoBroker::available();
    if (relayMqttThere && wanted(8)) {
        err << "8. relay-mqtt: latency, flood, " << seconds << " s idle, start with " << manyCards
            << " cards\n"
            << Qt::flush;
        rows += relayMqtt(relayMqttPath, seconds);
    }
    if (relayMqttThere && wanted(9)) {
        err << "9. relay-mqtt's web page: API and browser latency, " << seconds
            << " s idle with pages open, a stop under attack\n"
            << Qt::flush;
        rows += relayMqttWeb(relayMqttPath, seconds);
    }
    if (!relayMqttThere) {
        err << "8 and 9 skipped: they need --relay-mqtt and " << MosquittoBroker::program << '\n';
    }
    const bool bothThere
        = relayctl && !relayMqttPath.isEmpty() && QFileInfo(relayMqttPath).isExecutable();
    if (bothThere && wanted(10)) {
        err << "10. relayctl through relay-mqtt: on 1 against directly, a 10 s hold\n" << Qt::flush;
        rows += relayctlThroughService(parser.value("relayctl"), relayMqttPath);
    }
    if (!bothThere)
        err << "10 skipped: it needs --relayctl, --minimal-core and --relay-mqtt\n";

    QFile file(parser.value("output"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(file.fileName()));
    QTextStream out(&file);
    out << "# Performance\n\n"
        << "Reproduce with `sudo ./scripts/bench` from the project's root (about ten minutes).\n\n"
        << "Measured on " << QDateTime::currentDateTimeUtc().toString(Qt::ISODate) << ", on "
        << machine() << ".\n\n"
        << "Every figure comes from one run of that command; ratios compare figures measured "
           "side by side in the same run. A goal that is not met says so in the last column.\n\n"
        << (!relayMqttThere ? ""
                   : LineTap::allRealTime()
                   ? "relay-mqtt's line (8 and 9) is read by a thread at real-time priority: a "
                     "serial line's far end is hardware, which never waits for a processor.\n\n"
                   : "relay-mqtt's line (8 and 9) could not be read at real-time priority (not "
                     "root): its figures include the bench's own wait for a processor.\n\n")
        << "| Measure | Figure | Goal | Met |\n|---|---|---|---|\n";
    for (const Row &row : rows)
        out << "| " << row.measure << " | " << row.figure << " | " << row.goal << " | " << row.met
            << " |\n";
    out.flush();
    err << "wrote " << file.fileName() << '\n';
    return 0;
}
