// relay-mqtt while the broker's name cannot be looked up: a name server that takes the question
// and never answers. The bridge runs in a private mount namespace whose /etc/hosts,
// /etc/resolv.conf and /etc/nsswitch.conf are the test's own, so the machine's resolver is left
// alone; the name server is a UDP socket of the test's on a loopback address.

#include "support/RelayMqttTest.h"

#include <QFile>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QStandardPaths>
#include <QTest>
#include <QUdpSocket>

#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr auto brokerName = "broker.relaypanel.test";
constexpr quint16 nameServerPort = 53;

bool writeFile(const QString &path, const QByteArray &content)
{
    // In place: the namespace sees the file through a bind mount of this very inode.
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(content) == content.size();
}

} // namespace

class TestRelayMqttDns : public RelayMqttTest
{
    Q_OBJECT

public:
    TestRelayMqttDns() : RelayMqttTest(QStringLiteral(RELAY_MQTT)) { }

private slots:
    void initTestCase();
    void init() { initBase(); }
    void cleanup() { cleanupBase(); }

    void holdGoesOnWhileTheNameHangs();
};

void TestRelayMqttDns::initTestCase()
{
    initTestCaseBase();
    if (::geteuid() != 0 || QStandardPaths::findExecutable("unshare").isEmpty())
        QSKIP("needs root and unshare for a private mount namespace and a name server on port 53");
}

void TestRelayMqttDns::holdGoesOnWhileTheNameHangs()
{
    // A name server that reads every question and answers none.
    QUdpSocket nameServer;
    QString nameServerAddress;
    for (int host = 53; host < 63 && nameServerAddress.isEmpty(); ++host) {
        const QString address = QStringLiteral("127.0.53.%1").arg(host);
        if (nameServer.bind(QHostAddress(address), nameServerPort))
            nameServerAddress = address;
    }
    QVERIFY2(!nameServerAddress.isEmpty(), qPrintable(nameServer.errorString()));
    int questions = 0;
    connect(&nameServer, &QUdpSocket::readyRead, this, [&] {
        while (nameServer.hasPendingDatagrams()) {
            nameServer.receiveDatagram();
            ++questions;
        }
    });

    QTemporaryDir directory;
    const QString hosts = directory.filePath("hosts");
    const QString resolver = directory.filePath("resolv.conf");
    const QString nsswitch = directory.filePath("nsswitch.conf");
    QVERIFY(writeFile(hosts, QByteArray("127.0.0.1 localhost ") + brokerName + "\n"));
    QVERIFY(writeFile(resolver,
        "nameserver " + nameServerAddress.toLatin1() + "\noptions timeout:30 attempts:1\n"));
    // The machine's own list may answer unknown names at once: only files, then the name server.
    QVERIFY(writeFile(nsswitch, "hosts: files dns\n"));
    m_launcher = {"unshare", "--mount", "sh", "-c",
        QStringLiteral("mount --bind %1 /etc/hosts && mount --bind %2 /etc/resolv.conf && "
                       "mount --bind %3 /etc/nsswitch.conf && exec \"$0\" \"$@\"")
            .arg(hosts, resolver, nsswitch)};

    m_broker = std::make_unique<MosquittoBroker>();
    QVERIFY2(m_broker->start(), qPrintable(m_broker->errorString()));
    QStringList arguments = bridgeArguments();
    arguments[arguments.indexOf("--broker") + 1]
        = QStringLiteral("%1:%2").arg(brokerName).arg(m_broker->port());
    startBridge({}, arguments);
    QVERIFY(waitForRetained(name + "/status", "online"));

    // A hold of eight seconds; once it is on the line, the name is gone from the hosts file and
    // the broker stops, so the bridge's next attempts ask the name server, which keeps them
    // waiting. The line is read until it has been quiet for a second.
    constexpr auto holdLength = 8000ms;
    QVERIFY(publish(name + "/1/relay/4/hold", QByteArray::number(qint64(holdLength.count()))));
    bool nameGone = false;
    const QList<TimedPacket> packets = readTimed(
        [&](const QList<TimedPacket> &read) {
            if (!nameGone && !read.isEmpty()) {
                nameGone = writeFile(hosts, "127.0.0.1 localhost\n");
                m_broker->stop();
            }
            return nameGone;
        },
        1s);
    QVERIFY(nameGone);
    // The whole hold, however long the lookup took: the relay's bursts at the line's pace, the
    // card holding the relay all through.
    const QString fault = holdFault(packets, 1, 4, burstOf({13, 1, 'P', '4', 110}), holdLength);
    QVERIFY2(fault.isEmpty(), qPrintable(fault + "; the bridge logged: " + m_log));
    QTRY_VERIFY2_WITH_TIMEOUT(questions > 0, "the bridge never asked the name server", 10'000);
    QCOMPARE(m_bridge->state(), QProcess::Running);
}

QTEST_GUILESS_MAIN(TestRelayMqttDns)
#include "tst_relaymqttdns.moc"
