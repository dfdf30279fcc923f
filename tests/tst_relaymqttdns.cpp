// relay-mqtt while the broker's name cannot be looked up: a name server that takes the question
// and never answers. The bridge runs in a private mount namespace whose /etc/hosts,
// /etc/resolv.conf and /etc/nsswitch.conf are the test's own, so the machine's resolver is left
// alone; the name server is a UDP socket of the test's on a loopback address.

#include "support/RelayMqttTest.h"

#include <QElapsedTimer>
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

    // A hold of eight seconds; then the name is gone from the hosts file and the broker stops,
    // so the bridge's next attempts ask the name server, which keeps them waiting.
    constexpr auto holdLength = 8000ms;
    QElapsedTimer clock; // started before the hold can be
    clock.start();
    QVERIFY(publish(name + "/1/relay/4/hold", QByteArray::number(qint64(holdLength.count()))));
    VirtualCard card(1, [&clock] { return std::chrono::milliseconds(clock.elapsed()); });
    QByteArray held = m_pty->read(20, eventTimeout);
    QCOMPARE(held, relayBurst(1, 'P', 4));
    for (qsizetype at = 0; at < held.size(); at += 5)
        card.receive(QByteArrayView(held).sliced(at, 5));
    QVERIFY(writeFile(hosts, "127.0.0.1 localhost\n"));
    m_broker->stop();

    // What the line brings is handed over first, so a test that wakes late sees no gap of its
    // own; a bridge that stalls leaves nothing to hand over, and the card lets go.
    QElapsedTimer quiet;
    quiet.start();
    qint64 heldUntil = 0; // the last time the card was seen holding the relay
    while (quiet.elapsed() < 1000) {
        const QByteArray bytes = m_pty->read(1, 50ms);
        if (!bytes.isEmpty())
            quiet.restart();
        const QByteArray all = held + bytes;
        for (qsizetype at = held.size() / 5 * 5; at + 5 <= all.size(); at += 5)
            card.receive(QByteArrayView(all).sliced(at, 5));
        held = all;
        card.update();
        QVERIFY2(card.relays().at(3) || clock.elapsed() > holdLength.count(),
            qPrintable(QStringLiteral("the card let go %1 ms into the hold; the bridge logged: %2")
                           .arg(clock.elapsed())
                           .arg(m_log)));
        if (card.relays().at(3))
            heldUntil = clock.elapsed();
        QCoreApplication::processEvents();
    }
    // The whole hold, however long the lookup took: the relay's bursts alone, and no more than
    // the line carries in the hold's time; a machine that wakes the bridge late makes fewer.
    const qsizetype bursts = held.size() / 20;
    QVERIFY2(bursts <= 96, qPrintable(QString::number(held.size())));
    QCOMPARE(held, relayBurst(1, 'P', 4).repeated(bursts));
    QVERIFY2(heldUntil >= (holdLength - 1s).count(), qPrintable(QString::number(heldUntil)));
    QTRY_VERIFY2_WITH_TIMEOUT(questions > 0, "the bridge never asked the name server", 10'000);
    QCOMPARE(m_bridge->state(), QProcess::Running);
}

QTEST_GUILESS_MAIN(TestRelayMqttDns)
#include "tst_relaymqttdns.moc"
