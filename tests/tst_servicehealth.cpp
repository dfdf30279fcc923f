// Whether relay-mqtt's line counts as usable, and its status line, after a history of the
// port and the broker on a clock the test moves.

#include "relay-mqtt/watch/ServiceHealth.h"

#include <QTest>

using namespace std::chrono_literals;

class TestServiceHealth : public QObject
{
    Q_OBJECT

private slots:
    void answers_data();
    void answers();
};

void TestServiceHealth::answers_data()
{
    QTest::addColumn<bool>("withBroker");
    // What happens, in turn: "port+", "port-", "broker+", "broker-", or seconds passing ("61").
    QTest::addColumn<QString>("history");
    QTest::addColumn<bool>("usable");
    QTest::addColumn<QString>("reason"); // how it begins
    QTest::addColumn<QString>("status");

    const QString online = QStringLiteral("online: 2 cards, %1, 1 page open");
    QTest::newRow("no broker, the port never opened")
        << false << "5" << false << "the port is not open yet: /dev/ttyUSB0"
        << "waiting for /dev/ttyUSB0";
    QTest::newRow("no broker, the port open")
        << false << "port+" << true << "" << online.arg("no broker");
    QTest::newRow("the port lost")
        << false << "port+ 10 port-" << false << "port lost: /dev/ttyUSB0"
        << "port lost: /dev/ttyUSB0";
    QTest::newRow("the port back")
        << false << "port+ port- port+" << true << "" << online.arg("no broker");
    QTest::newRow("a broker not yet reached, within the minute")
        << true << "port+ 60" << true << "" << online.arg("broker disconnected");
    QTest::newRow("a broker not reached for over a minute")
        << true << "port+ 61" << false << "the broker has taken no commands for 61 s"
        << online.arg("broker disconnected");
    QTest::newRow("the broker connected a while")
        << true << "port+ broker+ 3600" << true << "" << online.arg("broker connected");
    QTest::newRow("the broker away since it left, not since the start")
        << true << "port+ 50 broker+ 3600 broker- 60" << true << ""
        << online.arg("broker disconnected");
    QTest::newRow("the broker away too long")
        << true << "port+ broker+ 10 broker- 90" << false
        << "the broker has taken no commands for 90 s" << online.arg("broker disconnected");
    QTest::newRow("the port is the first reason")
        << true << "port+ port- 90" << false << "port lost: "
        << "port lost: /dev/ttyUSB0";
}

void TestServiceHealth::answers()
{
    QFETCH(bool, withBroker);
    QFETCH(QString, history);
    QFETCH(bool, usable);
    QFETCH(QString, reason);
    QFETCH(QString, status);

    auto now = std::chrono::steady_clock::time_point(1h);
    ServiceHealth health(2, withBroker, [&now] { return now; });
    for (const QString &step : history.split(u' ')) {
        if (step == u"port+" || step == u"port-")
            health.setPortUp(step.endsWith(u'+'));
        else if (step == u"broker+" || step == u"broker-")
            health.setBrokerConnected(step.endsWith(u'+'));
        else
            now += std::chrono::seconds(step.toInt());
    }
    const QString device = QStringLiteral("/dev/ttyUSB0");
    const ServiceHealth::Answer answer = health.check(device);
    QCOMPARE(answer.usable, usable);
    QCOMPARE(answer.body.contains("reason"), !usable);
    if (!usable) {
        QVERIFY2(answer.body.value("reason").toString().startsWith(reason),
            qPrintable(answer.body.value("reason").toString()));
    }
    QCOMPARE(health.statusLine(device, 1), status);
}

QTEST_GUILESS_MAIN(TestServiceHealth)
#include "tst_servicehealth.moc"
