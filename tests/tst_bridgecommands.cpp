#include "card/VirtualCard.h"
#include "relay-mqtt/BridgeCommand.h"
#include "relay-mqtt/CardMirror.h"
#include "relay-mqtt/CommandQueue.h"
#include "relay-mqtt/CommandReader.h"
#include "sim/HeadlessLog.h"

#include <QTest>

using namespace std::chrono_literals;
using Kind = BridgeCommand::Kind;
using Setting = BridgeCommand::Setting;
using Change = CardMirror::Change;
using Changes = QList<Change>;
using Commands = QList<BridgeCommand>;

Q_DECLARE_METATYPE(BridgeCommand)

namespace {

const QList<quint8> cards{1, 2, 12};

BridgeCommand set(quint8 card, int relay, Setting setting)
{
    return {card, Kind::Set, relay, setting, {}};
}

BridgeCommand stop(quint8 card)
{
    return {card, Kind::Stop};
}

// Every command the queue gives, in order.
Commands drain(CommandQueue &queue)
{
    Commands taken;
    while (const std::optional<BridgeCommand> command = queue.take())
        taken << *command;
    return taken;
}

VirtualCard::Relays relaysOf(const QString &text)
{
    VirtualCard::Relays relays{};
    for (int i = 0; i < VirtualCard::relayCount; ++i)
        relays.at(i) = text.at(i) == u'1';
    return relays;
}

} // namespace

namespace QTest {
template<>
char *toString(const Change &change)
{
    return qstrdup(QStringLiteral("card %1 relay %2 %3")
                       .arg(change.card)
                       .arg(change.relay)
                       .arg(change.on ? "ON" : "OFF")
                       .toUtf8()
                       .constData());
}
} // namespace QTest

class TestBridgeCommands : public QObject
{
    Q_OBJECT

private slots:
    void read_data();
    void read();
    void topicFiltersBringOnlyCommands();
    void queueRefusesTheNewestWhenFull();
    void stopJumpsTheQueueAndDropsItsCard();
    void stopsKeepTheirOrderOnePerCard();
    void mirror_data();
    void mirror();
    void mirrorLetsGoWhenTheHoldEnds();
};

void TestBridgeCommands::read_data()
{
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("retained");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<BridgeCommand>("command");
    QTest::addColumn<QString>("why"); // a part of the refusal's words

    const auto take = [](const char *name, const QString &topic, const QByteArray &payload,
                          const BridgeCommand &command) {
        QTest::newRow(name) << topic << payload << false << true << command << QString();
    };
    const auto refuse = [](const char *name, const QString &topic, const QByteArray &payload,
                            const QString &why, bool retained = false) {
        QTest::newRow(name) << topic << payload << retained << false << BridgeCommand{} << why;
    };
    const QString relay3 = QStringLiteral("relaycards/1/relay/3/set");
    const QString hold5 = QStringLiteral("relaycards/2/relay/5/hold");
    const BridgeCommand on3 = set(1, 3, Setting::On);
    const BridgeCommand off3 = set(1, 3, Setting::Off);
    const auto held5 = [](std::chrono::milliseconds length) {
        return BridgeCommand{2, Kind::Hold, 5, Setting::On, length};
    };

    take("ON", relay3, "ON", on3);
    take("lower case off", relay3, "off", off3);
    take("mixed case, blanks around", relay3, " \tOn \r\n", on3);
    take("1 is ON", relay3, "1", on3);
    take("0 is OFF", relay3, "0", off3);
    take("toggle", relay3, "Toggle", set(1, 3, Setting::Toggle));
    take("card 12 relay 8", "relaycards/12/relay/8/set", "on", set(12, 8, Setting::On));
    take("hold 1 ms", hold5, "1", held5(1ms));
    take("hold one hour", hold5, "3600000", held5(1h));
    take("hold with blanks", hold5, " 250\n", held5(250ms));
    take("all on", "relaycards/1/all/set", "on", BridgeCommand{1, Kind::All, 0, Setting::On, {}});
    take("all off as 0", "relaycards/2/all/set", "0",
        BridgeCommand{2, Kind::All, 0, Setting::Off, {}});
    take("stop, empty payload", "relaycards/1/stop", "", stop(1));
    take("stop, any payload", "relaycards/12/stop", "please", stop(12));
    take("stop, 256 bytes", "relaycards/1/stop", QByteArray(256, 'x'), stop(1));
    take("show", "relaycards/2/show", "", BridgeCommand{2, Kind::Show});

    refuse("set to something else", relay3, "MAYBE", "ON, OFF or TOGGLE");
    refuse("set, empty", relay3, "", "ON, OFF or TOGGLE");
    refuse("set to 2", relay3, "2", "ON, OFF or TOGGLE");
    refuse("all cannot toggle", "relaycards/1/all/set", "TOGGLE", "ON or OFF");
    refuse("hold 0", hold5, "0", "1 to 3600000");
    refuse("hold an hour and 1 ms", hold5, "3600001", "1 to 3600000");
    refuse("hold 2.5", hold5, "2.5", "1 to 3600000");
    refuse("hold abc", hold5, "abc", "1 to 3600000");
    refuse("hold negative", hold5, "-5", "1 to 3600000");
    refuse("hold, empty", hold5, "", "1 to 3600000");
    refuse("relay 0", "relaycards/1/relay/0/set", "ON", "no relay 0");
    refuse("relay 9", "relaycards/1/relay/9/hold", "100", "no relay 9");
    refuse("relay 03", "relaycards/1/relay/03/set", "ON", "no relay 03");
    refuse("card not configured", "relaycards/3/relay/1/set", "ON", "no card 3");
    refuse("card with a leading zero", "relaycards/01/relay/1/set", "ON", "no card 01");
    refuse("card 256", "relaycards/256/stop", "", "no card 256");
    refuse("card missing", "relaycards//stop", "", "no card");
    refuse("257 bytes", "relaycards/1/stop", QByteArray(257, 'x'), "longer than 256 bytes");
    refuse("257 bytes of ON", relay3, "ON" + QByteArray(255, ' '), "longer than 256 bytes");
    refuse("retained", relay3, "ON", "retained", true);
    refuse("retained stop", "relaycards/1/stop", "", "retained", true);
    refuse("another base topic", "othercards/1/relay/3/set", "ON", "not a topic under");
    refuse("base topic as a prefix", "relaycardsX/1/stop", "", "not a topic under");
    refuse("base topic alone", "relaycards", "", "not a topic under");
    refuse("extra level", "relaycards/1/relay/3/set/now", "ON", "not a command topic");
    refuse("extra level after stop", "relaycards/1/stop/now", "", "not a command topic");
    refuse("the state topic", "relaycards/1/relay/3/state", "ON", "not a command topic");
    refuse("relay without action", "relaycards/1/relay/3", "ON", "not a command topic");
    refuse("new address", "relaycards/1/address/set", "5", "address is not offered");
}

void TestBridgeCommands::read()
{
    QFETCH(QString, topic);
    QFETCH(QByteArray, payload);
    QFETCH(bool, retained);
    QFETCH(bool, accepted);
    QFETCH(BridgeCommand, command);
    QFETCH(QString, why);

    const CommandReader reader(QStringLiteral("relaycards"), cards);
    const CommandReader::Reading reading = reader.read(topic, payload, retained);
    QCOMPARE(reading.command.has_value(), accepted);
    if (accepted) {
        QCOMPARE(reading.command->text(), command.text());
        QVERIFY(*reading.command == command);
        QCOMPARE(reading.refusal, QString());
    } else {
        QVERIFY2(reading.refusal.contains(why), qPrintable(reading.refusal));
        // The log line says which topic it was about.
        QVERIFY2(reading.refusal.startsWith(topic), qPrintable(reading.refusal));
    }
}

void TestBridgeCommands::topicFiltersBringOnlyCommands()
{
    const CommandReader reader(QStringLiteral("home/relays"), {7});
    const QStringList filters = reader.topicFilters();
    QCOMPARE(filters,
        QStringList({"home/relays/7/relay/+/set", "home/relays/7/relay/+/hold",
            "home/relays/7/all/set", "home/relays/7/stop", "home/relays/7/show"}));
    // A base topic of several levels reads like any other.
    const CommandReader::Reading reading
        = reader.read(QStringLiteral("home/relays/7/relay/2/set"), "off");
    QVERIFY(reading.command);
    QVERIFY(*reading.command == set(7, 2, Setting::Off));
}

void TestBridgeCommands::queueRefusesTheNewestWhenFull()
{
    CommandQueue queue;
    Commands pushed;
    for (int i = 0; i < CommandQueue::capacity; ++i) {
        const BridgeCommand command = set(quint8(1 + i % 2), 1 + i % 8, Setting::Toggle);
        QVERIFY(queue.push(command));
        pushed << command;
    }
    QCOMPARE(queue.size(), 32);
    QVERIFY(!queue.push(set(1, 8, Setting::On)));
    QVERIFY(!queue.push(BridgeCommand{2, Kind::Show}));
    QCOMPARE(queue.size(), 32);
    QCOMPARE(drain(queue), pushed);

    // Once one is taken, there is room for one more.
    for (const BridgeCommand &command : pushed)
        QVERIFY(queue.push(command));
    QVERIFY(queue.take());
    QVERIFY(queue.push(set(1, 8, Setting::On)));
    QVERIFY(!queue.push(set(1, 8, Setting::On)));
}

void TestBridgeCommands::stopJumpsTheQueueAndDropsItsCard()
{
    CommandQueue queue;
    Commands others;
    for (int i = 0; i < CommandQueue::capacity; ++i) {
        const BridgeCommand command = set(quint8(i % 2 == 0 ? 1 : 2), 1 + i % 8, Setting::On);
        QVERIFY(queue.push(command));
        if (command.card == 2)
            others << command;
    }
    // The queue is full, and still takes the stop; card 2's commands stay, in order.
    QVERIFY(queue.push(stop(1)));
    QVERIFY(queue.stopWaiting());
    QCOMPARE(queue.size(), 1 + others.size());
    QCOMPARE(drain(queue), Commands{stop(1)} + others);
    QVERIFY(!queue.stopWaiting());
}

void TestBridgeCommands::stopsKeepTheirOrderOnePerCard()
{
    CommandQueue queue;
    QVERIFY(queue.push(set(3, 1, Setting::On)));
    QVERIFY(queue.push(stop(2)));
    QVERIFY(queue.push(set(1, 1, Setting::On)));
    QVERIFY(queue.push(stop(1)));
    // A second stop for card 2 takes the place of the first, behind card 1's.
    QVERIFY(queue.push(stop(2)));
    QCOMPARE(drain(queue), Commands({stop(1), stop(2), set(3, 1, Setting::On)}));
}

void TestBridgeCommands::mirror_data()
{
    QTest::addColumn<QString>("initial"); // card 1's relays before the commands
    QTest::addColumn<Commands>("commands");
    QTest::addColumn<QString>("relays"); // card 1's relays after them
    QTest::addColumn<Changes>("changes");

    const auto relay = [](int number, bool on) {
        return Change{1, number, on};
    };
    QTest::newRow("toggle twice") << "00000000"
                                  << Commands{set(1, 3, Setting::Toggle),
                                         set(1, 3, Setting::Toggle)}
                                  << "00000000" << Changes{relay(3, true), relay(3, false)};
    QTest::newRow("on twice is one change")
        << "00000000" << Commands{set(1, 2, Setting::On), set(1, 2, Setting::On)} << "01000000"
        << Changes{relay(2, true)};
    QTest::newRow("all on") << "00100001" << Commands{{1, Kind::All, 0, Setting::On, {}}}
                            << "11111111"
                            << Changes{relay(1, true), relay(2, true), relay(4, true),
                                   relay(5, true), relay(6, true), relay(7, true)};
    QTest::newRow("all off") << "10000001" << Commands{{1, Kind::All, 0, Setting::Off, {}}}
                             << "00000000" << Changes{relay(1, false), relay(8, false)};
    QTest::newRow("stop") << "01000000" << Commands{set(1, 4, Setting::On), stop(1)} << "00000000"
                          << Changes{relay(4, true), relay(2, false), relay(4, false)};
    QTest::newRow("toggle from the initial states")
        << "11110000" << Commands{set(1, 1, Setting::Toggle), set(1, 5, Setting::Toggle)}
        << "01111000" << Changes{relay(1, false), relay(5, true)};
    QTest::newRow("show changes nothing")
        << "00010000" << Commands{{1, Kind::Show}} << "00010000" << Changes{};
    QTest::newRow("another card's commands")
        << "00000000" << Commands{set(2, 1, Setting::On), set(99, 1, Setting::On)} << "00000000"
        << Changes{Change{2, 1, true}};
}

void TestBridgeCommands::mirror()
{
    QFETCH(QString, initial);
    QFETCH(Commands, commands);
    QFETCH(QString, relays);
    QFETCH(Changes, changes);

    CardMirror mirror({1, 2});
    QCOMPARE(HeadlessLog::relayString(*mirror.relays(1)), "00000000");
    mirror.setRelays(1, relaysOf(initial));
    QCOMPARE(HeadlessLog::relayString(*mirror.relays(1)), initial);
    Changes changed;
    for (const BridgeCommand &command : commands)
        changed += mirror.apply(command.burst());
    QCOMPARE(changed, changes);
    QCOMPARE(HeadlessLog::relayString(*mirror.relays(1)), relays);
    QVERIFY(!mirror.relays(99));
}

void TestBridgeCommands::mirrorLetsGoWhenTheHoldEnds()
{
    CardMirror mirror({4});
    const Changes on6{Change{4, 6, true}};
    const Changes off6{Change{4, 6, false}};
    const BridgeCommand hold{4, Kind::Hold, 6, Setting::On, 500ms};
    QCOMPARE(mirror.apply(hold.burst()), on6);
    // The repeats keep it on, however long they go on.
    for (int repeat = 0; repeat < 20; ++repeat)
        QCOMPARE(mirror.apply(hold.burst()), Changes{});
    QCOMPARE(mirror.holdEnded(4, 6), off6);
    QCOMPARE(mirror.holdEnded(4, 6), Changes{});
    QCOMPARE(HeadlessLog::relayString(*mirror.relays(4)), "00000000");
    // A relay that was on before it was held is off after the hold, as on the card.
    mirror.setRelays(4, relaysOf("00000100"));
    QCOMPARE(mirror.apply(hold.burst()), Changes{});
    QCOMPARE(mirror.holdEnded(4, 6), off6);
}

QTEST_APPLESS_MAIN(TestBridgeCommands)
#include "tst_bridgecommands.moc"
