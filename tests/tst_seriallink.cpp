#include "serial/SerialLink.h"
#include "support/ModemLineRequests.h"
#include "support/PseudoTerminal.h"

#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

#include <chrono>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

const QString missingDevice = QStringLiteral("/nonexistent/relaypanel-test-port");

SerialLink::PortNames portsOf(const QStringList &names)
{
    return [names](int port) {
        return names.value(port - 1);
    };
}

} // namespace

class TestSerialLink : public QObject
{
    Q_OBJECT

private slots:
    void lineSettings();
    void everyByteValuePassesUnchanged();
    void openOnOpenPortReopensIt();
    void openMovesToAnotherPort();
    void probeLeavesPortClosed();
    void probeLeavesOpenPortAlone();
    void openOfMissingDeviceFails_data();
    void openOfMissingDeviceFails();
    void closeWithNoPortOpen();
    void dataTerminalReady_data();
    void dataTerminalReady();
    void writeWithNoPortOpen();
    void lostPortIsClosedAndReported();
    void refusedWriteClosesPort();
    void portInUse();
    void portWithoutPermission();
    void sendQueueNeverOverflows();
    void backlogFollowsLinePace();
    void portOrder_data();
    void portOrder();
    void listedPortNames_data();
    void listedPortNames();
};

void TestSerialLink::lineSettings()
{
    PseudoTerminal pty;
    QVERIFY(pty.isValid());
    SerialLink link(portsOf({pty.name()}));
    QVERIFY2(link.open(1), qPrintable(link.errorString()));

    const termios tio = pty.settings();
    QCOMPARE(cfgetospeed(&tio), speed_t(B2400));
    QVERIFY(cfgetispeed(&tio) == B2400 || cfgetispeed(&tio) == B0);
    QCOMPARE(tio.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
    QCOMPARE(tio.c_iflag & (IXON | IXOFF | IXANY), tcflag_t(0));
    QCOMPARE(tio.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | INPCK | PARMRK), tcflag_t(0));
    QCOMPARE(tio.c_oflag & OPOST, tcflag_t(0));
    QCOMPARE(tio.c_lflag & (ECHO | ECHONL | ICANON | ISIG | IEXTEN), tcflag_t(0));
}

void TestSerialLink::everyByteValuePassesUnchanged()
{
    PseudoTerminal pty;
    SerialLink link(portsOf({pty.name()}));
    QVERIFY(link.open(1));

    QByteArray all;
    for (int value = 0; value <= 255; ++value)
        all.append(static_cast<char>(value));
    QVERIFY(link.write(all));
    QCOMPARE(pty.read(all.size()), all);
    QCOMPARE(pty.readAll(), QByteArray());
}

void TestSerialLink::openOnOpenPortReopensIt()
{
    PseudoTerminal pty;
    SerialLink link(portsOf({pty.name()}));
    QVERIFY(link.open(1));

    // Spoil the settings behind the link's back; reopening must set them again.
    termios spoiled = pty.settings();
    cfsetospeed(&spoiled, B9600);
    spoiled.c_oflag |= OPOST | ONLCR;
    QVERIFY(pty.setSettings(spoiled));
    const termios before = pty.settings();
    QCOMPARE(cfgetospeed(&before), speed_t(B9600));
    QCOMPARE(before.c_oflag & (OPOST | ONLCR), tcflag_t(OPOST | ONLCR));

    QVERIFY(link.open(1));
    QVERIFY(link.isOpen());
    const termios tio = pty.settings();
    QCOMPARE(cfgetospeed(&tio), speed_t(B2400));
    QCOMPARE(tio.c_oflag & OPOST, tcflag_t(0));
    QVERIFY(link.write("\r\n"));
    QCOMPARE(pty.read(2), QByteArray("\r\n"));
}

void TestSerialLink::openMovesToAnotherPort()
{
    PseudoTerminal first;
    PseudoTerminal second;
    SerialLink link(portsOf({first.name(), second.name()}));
    QVERIFY(link.open(1));
    QVERIFY(link.open(2));
    QVERIFY(link.write("abc"));
    QCOMPARE(second.read(3), QByteArray("abc"));
    QCOMPARE(first.readAll(), QByteArray());
}

void TestSerialLink::probeLeavesPortClosed()
{
    PseudoTerminal pty;
    SerialLink link(portsOf({pty.name()}));
    QVERIFY(link.probe(1));
    QVERIFY(!link.isOpen());
    QVERIFY(!link.write("x"));
    QCOMPARE(pty.readAll(), QByteArray());
}

void TestSerialLink::probeLeavesOpenPortAlone()
{
    PseudoTerminal first;
    PseudoTerminal second;
    SerialLink link(portsOf({first.name(), second.name()}));
    QVERIFY(link.open(1));
    QVERIFY(link.probe(2));
    QVERIFY(link.isOpen());
    QVERIFY(link.write("z"));
    QCOMPARE(first.read(1), QByteArray("z"));
}

void TestSerialLink::openOfMissingDeviceFails_data()
{
    QTest::addColumn<int>("port");
    QTest::newRow("missing device") << 2;
    QTest::newRow("port number without a device") << 3;
    QTest::newRow("port 0") << 0;
    QTest::newRow("negative port") << -5;
}

void TestSerialLink::openOfMissingDeviceFails()
{
    QFETCH(int, port);
    PseudoTerminal pty;
    // The system's way of numbering ports: "/dev/pts/N" comes before "/nonexistent/...".
    SerialLink link(SerialLink::listedPortNames([&pty] {
        return QStringList{missingDevice, pty.name()};
    }));
    QVERIFY(link.open(1));

    QVERIFY(!link.open(port));
    QVERIFY(!link.isOpen());
    QVERIFY(!link.errorString().isEmpty());
    QVERIFY(!link.probe(port));
    QVERIFY(!link.write("x"));
    QCOMPARE(pty.readAll(), QByteArray());
}

void TestSerialLink::closeWithNoPortOpen()
{
    PseudoTerminal pty;
    SerialLink link(portsOf({pty.name()}));
    ModemLineRequests::clear();
    link.close();
    QVERIFY(!link.isOpen());
    link.close();

    // Nothing was opened, so nothing is asked of the line and nothing reaches it.
    QCOMPARE(ModemLineRequests::of(ModemLineRequests::deviceOf(pty.name())), QStringList());
    QCOMPARE(pty.readAll(), QByteArray());
    QCOMPARE(link.errorString(), QString());
    QVERIFY(link.open(1));
}

void TestSerialLink::dataTerminalReady_data()
{
    // What the link is asked to do, in order, and what it asks of the port's DTR line.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("requests");

    QTest::newRow("open") << QStringList{"open"} << QStringList{"DTR up"};
    QTest::newRow("open, close") << QStringList{"open", "close"}
                                 << QStringList{"DTR up", "DTR down"};
    QTest::newRow("close twice") << QStringList{"open", "close", "close"}
                                 << QStringList{"DTR up", "DTR down"};
    QTest::newRow("reopen") << QStringList{"open", "open", "close"}
                            << QStringList{"DTR up", "DTR up", "DTR down"};
    QTest::newRow("probe leaves the line alone") << QStringList{"probe"} << QStringList{};
    QTest::newRow("close with none open") << QStringList{"close"} << QStringList{};
}

void TestSerialLink::dataTerminalReady()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, requests);

    PseudoTerminal pty;
    PseudoTerminal other;
    SerialLink link(portsOf({pty.name(), other.name()}));
    ModemLineRequests::clear();
    for (const QString &step : steps) {
        if (step == "open")
            QVERIFY(link.open(1));
        else if (step == "probe")
            QVERIFY(link.probe(1));
        else
            link.close();
    }
    QCOMPARE(ModemLineRequests::of(ModemLineRequests::deviceOf(pty.name())), requests);
    QCOMPARE(ModemLineRequests::of(ModemLineRequests::deviceOf(other.name())), QStringList());
}

void TestSerialLink::writeWithNoPortOpen()
{
    PseudoTerminal pty;
    SerialLink link(portsOf({pty.name()}));
    QVERIFY(!link.write(QByteArray(20, 'x')));
    QCOMPARE(link.errorString(), QStringLiteral("No port is open"));

    QVERIFY(link.open(1));
    link.close();
    QVERIFY(!link.isOpen());
    QVERIFY(!link.write(QByteArray(20, 'x')));
    QCOMPARE(pty.readAll(), QByteArray());
}

void TestSerialLink::lostPortIsClosedAndReported()
{
    PseudoTerminal pty;
    SerialLink link(portsOf({pty.name()}));
    QSignalSpy lost(&link, &SerialLink::portLost);
    QVERIFY(link.open(1));

    pty.hangUp();
    QTRY_COMPARE(lost.count(), 1);
    QCOMPARE(lost.at(0).at(0).toInt(), 1);
    QVERIFY(!lost.at(0).at(1).toString().isEmpty());
    QVERIFY(!link.isOpen());
    QVERIFY(!link.write(QByteArray(20, 'x')));
    QCOMPARE(lost.count(), 1);
}

void TestSerialLink::refusedWriteClosesPort()
{
    PseudoTerminal pty;
    SerialLink link(portsOf({pty.name()}));
    QSignalSpy lost(&link, &SerialLink::portLost);
    QVERIFY(link.open(1));

    // The line is gone before the event loop could notice: the write itself finds out.
    pty.hangUp();
    QVERIFY(!link.write(QByteArray(20, 'x')));
    QVERIFY(!link.isOpen());
    QCOMPARE(lost.count(), 1);
    QVERIFY(!link.errorString().isEmpty());
}

void TestSerialLink::portInUse()
{
    PseudoTerminal pty;
    QSerialPort otherProgram(pty.name());
    QVERIFY(otherProgram.open(QIODevice::WriteOnly));

    SerialLink link(portsOf({pty.name()}));
    QVERIFY(!link.probe(1));
    QCOMPARE(link.errorString(), QStringLiteral("In use by another program"));
    QVERIFY(!link.open(1));
    QCOMPARE(link.errorString(), QStringLiteral("In use by another program"));

    otherProgram.close();
    QVERIFY(link.open(1));
}

void TestSerialLink::portWithoutPermission()
{
    PseudoTerminal pty;
    QVERIFY(::chmod(QFile::encodeName(pty.name()).constData(), 0) == 0);

    QString message;
    if (::geteuid() == 0) {
        // Root may open anything: ask as a user of no groups, as an operator outside dialout.
        if (QStandardPaths::findExecutable("setpriv").isEmpty())
            QSKIP("needs setpriv to try the port as another user");
        QProcess helper;
        helper.start("setpriv",
            {"--reuid=65534", "--regid=65534", "--clear-groups", PORT_OPEN_HELPER, pty.name()});
        QVERIFY(helper.waitForFinished());
        QCOMPARE(helper.exitCode(), 1);
        message = QString::fromLocal8Bit(helper.readAllStandardOutput());
    } else {
        SerialLink link(portsOf({pty.name()}));
        QVERIFY(!link.open(1));
        message = link.errorString();
    }
    QVERIFY2(message.startsWith("Permission denied") && message.contains("dialout"),
        qPrintable(message));
}

void TestSerialLink::sendQueueNeverOverflows()
{
    PseudoTerminal pty;
    SerialLink link(portsOf({pty.name()}));
    QVERIFY(link.open(1));

    // Nobody reads the far end, so the system's buffer fills and then the link's own queue.
    QByteArray burst;
    for (int i = 0; i < 20; ++i)
        burst.append(static_cast<char>(i * 13));
    qint64 accepted = 0;
    bool refused = false;
    for (int i = 0; i < 20000 && !refused; ++i) {
        if (link.write(burst))
            ++accepted;
        else
            refused = true;
    }
    QVERIFY2(refused, "the queue never filled");
    QCOMPARE(link.errorString(), QStringLiteral("The send queue is full"));
    QVERIFY(link.queuedBytes() <= SerialLink::sendQueueSize);
    QVERIFY(link.queuedBytes() > SerialLink::sendQueueSize - burst.size());

    // Everything accepted arrives, in whole bursts, and nothing of the refused one.
    QByteArray received;
    for (int round = 0; round < 200 && received.size() < accepted * burst.size(); ++round) {
        received += pty.readAll(10ms);
        QCoreApplication::processEvents();
    }
    QCOMPARE(received.size(), accepted * burst.size());
    QCOMPARE(received, burst.repeated(accepted));
}

void TestSerialLink::backlogFollowsLinePace()
{
    PseudoTerminal pty;
    SerialLink link(portsOf({pty.name()}));
    std::chrono::nanoseconds now = 1h;
    link.setClock([&now] { return now; });
    QVERIFY(link.open(1));

    QCOMPARE(link.bytesWaiting(), 0);
    QCOMPARE(link.timeToCarry(), 0ns);
    QVERIFY(link.write(QByteArray(20, 'a')));
    QCOMPARE(link.bytesWaiting(), 20);
    QCOMPARE(link.timeToCarry(), 83'333'334ns); // 1/12 s, rounded up
    QVERIFY(link.write(QByteArray(20, 'b')));
    QCOMPARE(link.bytesWaiting(), 40);
    now += 125ms; // 30 byte times
    QCOMPARE(link.bytesWaiting(), 10);
    QCOMPARE(link.timeToCarry(), 41'666'667ns);
    now += 41'666'666ns;
    QCOMPARE(link.bytesWaiting(), 1); // a third of a nanosecond is still a byte under way
    now += 1s;
    QCOMPARE(link.bytesWaiting(), 0);
    QCOMPARE(link.timeToCarry(), 0ns);
    // An idle line does not bank time for later writes.
    QVERIFY(link.write(QByteArray(20, 'c')));
    QCOMPARE(link.bytesWaiting(), 20);
}

void TestSerialLink::portOrder_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("numbers in names")
        << QStringList{"ttyS10", "ttyS2", "ttyS1"} << QStringList{"ttyS1", "ttyS2", "ttyS10"};
    QTest::newRow("kinds of port")
        << QStringList{"ttyUSB0", "ttyS0", "ttyACM0"} << QStringList{"ttyACM0", "ttyS0", "ttyUSB0"};
    QTest::newRow("mixed") << QStringList{"ttyUSB10", "ttyS3", "ttyUSB9", "ttyACM1", "ttyS0"}
                           << QStringList{"ttyACM1", "ttyS0", "ttyS3", "ttyUSB9", "ttyUSB10"};
}

void TestSerialLink::portOrder()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, expected);
    QCOMPARE(SerialLink::portOrder(names), expected);
}

void TestSerialLink::listedPortNames_data()
{
    QTest::addColumn<QStringList>("listed");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("device");

    const QStringList machine{"ttyUSB0", "ttyS10", "rfcomm0", "ttyS2", "ttyACM0", "ttyS0"};
    QTest::newRow("port 1") << machine << 1 << "rfcomm0";
    QTest::newRow("port 2") << machine << 2 << "ttyACM0";
    QTest::newRow("ttyS2 before ttyS10") << machine << 4 << "ttyS2";
    QTest::newRow("ttyS10") << machine << 5 << "ttyS10";
    QTest::newRow("last port") << machine << 6 << "ttyUSB0";
    QTest::newRow("past the last port") << machine << 7 << "";
    QTest::newRow("port 0") << machine << 0 << "";
    QTest::newRow("negative port") << machine << -1 << "";
    QTest::newRow("lowest 16-bit port") << machine << -32768 << "";
    QTest::newRow("no ports") << QStringList{} << 1 << "";
    QTest::newRow("only an adapter") << QStringList{"ttyUSB0"} << 1 << "ttyUSB0";
}

void TestSerialLink::listedPortNames()
{
    QFETCH(QStringList, listed);
    QFETCH(int, port);
    QFETCH(QString, device);

    int asked = 0;
    const SerialLink::PortNames names = SerialLink::listedPortNames([&] {
        ++asked;
        return listed;
    });
    QCOMPARE(names(port), device);
    // Ports come and go: the list is asked again for each port, never kept.
    names(port);
    QCOMPARE(asked, 2);
}

QTEST_GUILESS_MAIN(TestSerialLink)
#include "tst_seriallink.moc"
