// relayctl beside a running relay-mqtt, as a script runs it: the job goes through relay-mqtt's
// local socket (or its page, with --url) rather than the port relay-mqtt owns, with its
// interlocks, and a hold ends when relayctl is killed. A user outside the serial group gets
// nothing switched.

#include "support/Bytes.h"
#include "support/RelayMqttTest.h"

#include <QFile>
#include <QTest>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// The packets of these tests, as the line carries them: each four times.
const QByteArray relay1On = burstOf({13, 1, 83, 49, 110});
const QByteArray relay2On = burstOf({13, 1, 83, 50, 109});
const QByteArray relay2Off = burstOf({13, 1, 67, 50, 125});
const QByteArray showCard1 = burstOf({13, 1, 68, 49, 125});
const QByteArray holdRelay3 = bytes({13, 1, 80, 51, 111});

} // namespace

class TestRelayctlService : public RelayMqttTest
{
    Q_OBJECT

public:
    TestRelayctlService() : RelayMqttTest(QStringLiteral(RELAY_MQTT)) { }

private slots:
    void initTestCase() { initTestCaseBase(); }
    void init() { initBase(); }
    void cleanup() { cleanupBase(); }

    void throughTheLocalSocket();
    void userOutsideTheSerialGroup();
    void throughThePage();

private:
    // relayctl with `arguments`, finding relay-mqtt's socket where the test's bridge puts it.
    void startRelayctl(QProcess &process, const QStringList &arguments,
        const QString &program = QStringLiteral(RELAYCTL));
    ProcessOutcome relayctl(const QStringList &arguments);
    // A hold through relay-mqtt, its relayctl killed while the relay is held: the bursts stop
    // at once, not after the renewals would have run out.
    void killedHoldLetsGo(const QStringList &arguments);
};

void TestRelayctlService::startRelayctl(
    QProcess &process, const QStringList &arguments, const QString &program)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_RUNTIME_DIR", m_runtime->path());
    environment.remove("RELAYCTL_DEVICE");
    environment.remove("RELAYCTL_TOKEN_FILE");
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
}

ProcessOutcome TestRelayctlService::relayctl(const QStringList &arguments)
{
    QProcess process;
    startRelayctl(process, arguments);
    return finish(process, 20s);
}

void TestRelayctlService::killedHoldLetsGo(const QStringList &arguments)
{
    QProcess holding;
    startRelayctl(holding, arguments + QStringList{"hold", "3", "1m"});
    const auto holds = [](const QList<TimedPacket> &packets) {
        return std::count_if(packets.begin(), packets.end(),
            [](const TimedPacket &packet) { return packet.bytes == holdRelay3; });
    };
    // Held: its bursts come one after another.
    const QList<TimedPacket> held = readTimed(
        [&holds](const QList<TimedPacket> &packets) { return holds(packets) >= 8; }, 0ms);
    QVERIFY2(holds(held) >= 8, qPrintable(m_log));
    holding.kill();
    QVERIFY(holding.waitForFinished());
    // relay-mqtt lets go as the connection closes: a burst on its way, perhaps one more, but
    // not the three or four that 300 ms without a renewal would take.
    const QList<TimedPacket> after
        = readTimed([](const QList<TimedPacket> &) { return true; }, 600ms);
    QVERIFY2(holds(after) <= 8, qPrintable(QString::number(holds(after))));
    QCOMPARE(after.size(), holds(after));
}

void TestRelayctlService::throughTheLocalSocket()
{
    QTemporaryDir directory;
    startBridge(configArguments(directory, "[card.1]\ninterlock = 1 2\n[card.2]\nname = Other\n"));
    QVERIFY(waitForLog("local socket for relayctl at " + runtimeFolder()));
    QVERIFY(waitForLog("is open"));

    // The job goes through relay-mqtt, which says so, and its MQTT clients see it. relay-mqtt's
    // interlock turns relay 2 off first.
    ProcessOutcome outcome = relayctl({"--verbose", "--device", m_pty->name(), "on", "1"});
    QCOMPARE(outcome.exitCode, 0);
    QVERIFY2(outcome.errors.contains("the line is relay-mqtt's"), qPrintable(outcome.errors));
    QCOMPARE(lineOf(40), relay2Off + relay1On);
    QVERIFY(waitForRetained(name + "/1/relay/1/state", "ON"));

    // relay-mqtt's interlock refuses all on for the card: its reason, nothing on the line.
    outcome = relayctl({"--device", m_pty->name(), "all-on"});
    QCOMPARE(outcome.exitCode, 75);
    QVERIFY2(outcome.errors.contains("interlocked relays"), qPrintable(outcome.errors));
    QCOMPARE(relayctl({"--device", m_pty->name(), "show"}).exitCode, 0);
    QCOMPARE(lineOf(20), showCard1);

    killedHoldLetsGo({"--device", m_pty->name()});
}

void TestRelayctlService::userOutsideTheSerialGroup()
{
    if (::geteuid() != 0)
        QSKIP("runs relayctl as nobody, which takes root");
    const passwd *nobody = ::getpwnam("nobody");
    QVERIFY(nobody != nullptr);
    startBridge();
    QVERIFY(waitForLog("local socket for relayctl at "));
    QVERIFY(waitForLog("is open"));
    // nobody may look into the folders, as into /run: the socket's own mode keeps it out.
    for (const QString &folder : {m_runtime->path(), runtimeFolder()})
        QVERIFY(QFile::setPermissions(
            folder, QFile::permissions(folder) | QFile::ReadOther | QFile::ExeOther));
    // A copy of relayctl that the user nobody can run, wherever the build lies.
    const QString program = m_runtime->filePath("relayctl");
    QVERIFY(QFile::copy(QStringLiteral(RELAYCTL), program));
    QVERIFY(QFile::setPermissions(program, QFile::permissions(program) | QFile::ExeOther));

    QProcess process;
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;
    process.setChildProcessModifier([uid, gid] {
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
            ::_exit(120);
    });
    startRelayctl(process, {"--device", m_pty->name(), "on", "1"}, program);
    const ProcessOutcome outcome = finish(process, 20s);
    QCOMPARE(outcome.exitCode, 69);
    QVERIFY2(outcome.errors.contains("Permission denied"), qPrintable(outcome.errors));
    QCOMPARE(relayctl({"--device", m_pty->name(), "show"}).exitCode, 0);
    QCOMPARE(lineOf(20), showCard1);
}

void TestRelayctlService::throughThePage()
{
    QTemporaryDir directory;
    startWeb(false, webLoginArguments(directory, "sesame", "t0ken"));
    const QString token = directory.filePath("relayctl-token");
    const QString wrong = directory.filePath("wrong-token");
    for (const auto &[file, text] : {std::pair{token, "t0ken\n"}, std::pair{wrong, "t0ke\n"}}) {
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(text);
    }

    const QStringList page{"--url", m_pageUrl, "--token-file", token};
    ProcessOutcome outcome = relayctl(page + QStringList{"on", "2"});
    QCOMPARE(outcome.exitCode, 0);
    QCOMPARE(lineOf(20), relay2On);

    outcome = relayctl({"--url", m_pageUrl, "--token-file", wrong, "on", "1"});
    QCOMPARE(outcome.exitCode, 77);
    QVERIFY2(outcome.errors.contains("log in"), qPrintable(outcome.errors));

    killedHoldLetsGo(page);
    QVERIFY(drainTimed().isEmpty());
}

QTEST_GUILESS_MAIN(TestRelayctlService)
#include "tst_relayctlservice.moc"
