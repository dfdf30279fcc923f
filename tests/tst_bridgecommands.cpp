#include "relay-mqtt/line/BridgeCommand.h"
#include "relay-mqtt/line/CardMirror.h"
#include "relay-mqtt/line/CommandQueue.h"
#include "relay-mqtt/mqtt/CommandReader.h"
#include "sim/HeadlessLog.h"

#include <QTest>

// The edges only: tst_relaymqtt shows the plain commands, refusals and states end to end.

using namespace std::chrono_literals;
using Kind = BridgeCommand::Kind;
using Setting = BridgeCommand::Setting;
using Commands = QList<BridgeCommand>;

Q_DECLARE_METATYPE(BridgeCommand)

namespace {

BridgeCommand set(quint8 card, int relay, Setting setting)
{
    return {card, Kind::Set, relay, setting, {}};
}

// The mirror's changes in short: "1.3+ 2.8-" is card 1's relay 3 on, card 2's relay 8 off.
QString text(const QList<CardMirror::Change> &changes)
{
    QStringList texts;
    for (const CardMirror::Change &c : changes)
        texts << QStringLiteral("%1.%2%3").arg(c.card).arg(c.relay).arg(QChar(c.on ? '+' : '-'));
    return texts.join(u' ');
}

} // namespace

class TestBridgeCommands : public QObject
{
    Q_OBJECT

private slots:
    void read_data();
    void read();
    void topicFilters();
    void queue();
    void mirror_data();
    void mirror();
    void mirrorLetsGoWhenTheHoldEnds();
};

void TestBridgeCommands::read_data()
{
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("retained");
    QTest::addColumn<bool>("taken");
    QTest::addColumn<QString>("words"); // the command as the log has it, or words of the refusal

    const auto take = [](const char *name, const QString &topic, const QByteArray &payload,
                          const QString &command) {
        QTest::newRow(name) << topic << payload << false << true << command;
    };
    const auto refuse = [](const char *name, const QString &topic, const QByteArray &payload,
                            const QString &why, bool retained = false) {
        QTest::newRow(name) << topic << payload << retained << false << why;
    };
    const QString hold5 = QStringLiteral("relaycards/2/relay/5/hold");

    take("case and blanks", "relaycards/1/relay/3/set", " \tOn \r\n", "card 1 relay 3 ON");
    take("card 0 relay 1", "relaycards/0/relay/1/set", "1", "card 0 relay 1 ON");
    take("card 255 relay 8", "relaycards/255/relay/8/set", "0", "card 255 relay 8 OFF");
    take("hold 1 ms", hold5, "1", "card 2 relay 5 held 1 ms");
    take("hold one hour, blanks", hold5, " 3600000\n", "card 2 relay 5 held 3600000 ms");
    // Stop takes any payload, up to the longest.
    take("stop, 256 bytes", "relaycards/1/stop", QByteArray(256, 'x'), "card 1 emergency stop");

    refuse(
        "set to 2", "relaycards/1/relay/3/set", "2", "ON, OFF, TOGGLE, true or false, not \"2\"");
    refuse("hold 0", hold5, "0", "1 to 3600000");
    refuse("hold an hour and 1 ms", hold5, "3600001", "1 to 3600000");
    refuse("hold 2.5", hold5, "2.5", "1 to 3600000");
    refuse("relay 0", "relaycards/1/relay/0/set", "ON", "no relay 0");
    refuse("relay 9", "relaycards/1/relay/9/hold", "100", "no relay 9");
    refuse("relay 03", "relaycards/1/relay/03/set", "ON", "no relay 03");
    refuse("card not configured", "relaycards/3/relay/1/set", "ON", "no card 3");
    refuse("card 01", "relaycards/01/relay/1/set", "ON", "no card 01");
    refuse("card 256, not 0", "relaycards/256/stop", "", "no card 256");
    // Digits of another script read as nothing, and so as card 0, by a lenient reader.
    refuse("card in Arabic-Indic digits", QStringLiteral("relaycards/\u0660/stop"), "", "no card");
    refuse("stop, 257 bytes", "relaycards/1/stop", QByteArray(257, 'x'), "longer than 256 bytes");
    // The broker replays it at every connection: an old stop is no stop.
    refuse("retained stop", "relaycards/1/stop", "", "retained", true);
    refuse("relay without action", "relaycards/1/relay/3", "ON", "not a command topic");
    refuse("new address", "relaycards/1/address/set", "5", "address is not offered");
}

void TestBridgeCommands::read()
{
    QFETCH(QString, topic);
    QFETCH(QByteArray, payload);
    QFETCH(bool, retained);
    QFETCH(bool, taken);
    QFETCH(QString, words);

    // Card 0 is bridged, so that card 256 could pass for it.
    const CommandReader reader(QStringLiteral("relaycards"), {0, 1, 2, 255});
    const CommandReader::Reading reading = reader.read(topic, payload, retained);
    const QString got = reading.command ? reading.command->text() : reading.refusal;
    QVERIFY2(reading.command.has_value() == taken, qPrintable(got));
    // A refusal is logged: it says which topic it was about.
    QVERIFY2(taken ? got == words : got.contains(words) && got.startsWith(topic), qPrintable(got));
}

void TestBridgeCommands::topicFilters()
{
    // Only the command topics: never the states the bridge publishes itself.
    const CommandReader reader(QStringLiteral("home/relays"), {7});
    QCOMPARE(reader.topicFilters(),
        QStringList({"home/relays/7/relay/+/set", "home/relays/7/relay/+/hold",
            "home/relays/7/all/set", "home/relays/7/stop", "home/relays/7/show"}));
    // A base topic of several levels reads like any other.
    QVERIFY(reader.read(QStringLiteral("home/relays/7/show"), "").command);
}

void TestBridgeCommands::queue()
{
    CommandQueue queue;
    Commands kept; // card 2's, which card 1's stop must leave alone
    for (int i = 0; i < CommandQueue::capacity; ++i) {
        const BridgeCommand command = set(quint8(1 + i % 2), 1 + i % 8, Setting::Toggle);
        QVERIFY(queue.push(command));
        if (command.card == 2)
            kept << command;
    }
    // Full: the newest is refused. Once one is taken, there is room for one more, and only one.
    QVERIFY(!queue.push(set(2, 8, Setting::On)));
    QCOMPARE(queue.take(), set(1, 1, Setting::Toggle));
    QVERIFY(queue.push(set(2, 8, Setting::On)));
    QVERIFY(!queue.push(set(2, 8, Setting::Off)));
    kept << set(2, 8, Setting::On);

    // A stop is taken all the same, goes ahead of all but earlier stops, and drops its card's
    // commands; a second stop for a card takes the place of its first.
    for (const quint8 card : {1, 3, 1})
        QVERIFY(queue.push({card, Kind::Stop}));
    QVERIFY(queue.stopWaiting());
    Commands taken;
    while (const std::optional<BridgeCommand> command = queue.take())
        taken << *command;
    QCOMPARE(taken, Commands({{3, Kind::Stop}, {1, Kind::Stop}}) + kept);
    QVERIFY(!queue.stopWaiting());
}

void TestBridgeCommands::mirror_data()
{
    QTest::addColumn<Commands>("commands");
    QTest::addColumn<QString>("changes");

    const BridgeCommand allOn{1, Kind::All, 0, Setting::On, {}};
    QTest::newRow("on twice is one change")
        << Commands{set(1, 2, Setting::On), set(1, 2, Setting::On)} << "1.2+";
    // Only the relays that were off are news.
    QTest::newRow("all on") << Commands{set(1, 3, Setting::On), allOn}
                            << "1.3+ 1.1+ 1.2+ 1.4+ 1.5+ 1.6+ 1.7+ 1.8+";
    QTest::newRow("stop") << Commands{set(1, 2, Setting::On), set(1, 4, Setting::On),
        {1, Kind::Stop}} << "1.2+ 1.4+ 1.2- 1.4-";
    QTest::newRow("another card's commands")
        << Commands{set(2, 1, Setting::On), set(99, 1, Setting::On)} << "2.1+";
}

void TestBridgeCommands::mirror()
{
    QFETCH(Commands, commands);
    QFETCH(QString, changes);

    CardMirror mirror({1, 2});
    QString changed;
    for (const BridgeCommand &command : commands)
        changed += u' ' + text(mirror.apply(command.burst()));
    QCOMPARE(changed.simplified(), changes);
    QVERIFY(!mirror.relays(99));
}

void TestBridgeCommands::mirrorLetsGoWhenTheHoldEnds()
{
    CardMirror mirror({4});
    const BridgeCommand hold{4, Kind::Hold, 6, Setting::On, 500ms};
    QCOMPARE(text(mirror.apply(hold.burst())), "4.6+");
    // The repeats keep it on, however long they go on.
    for (int repeat = 0; repeat < 20; ++repeat)
        QCOMPARE(text(mirror.apply(hold.burst())), QString());
    QCOMPARE(text(mirror.holdEnded(4, 6)), "4.6-");
    QCOMPARE(text(mirror.holdEnded(4, 6)), QString());
    QCOMPARE(HeadlessLog::relayString(*mirror.relays(4)), "00000000");
    // A relay that was on before it was held is off after the hold, as on the card.
    QCOMPARE(text(mirror.apply(set(4, 6, Setting::On).burst() + hold.burst())), "4.6+");
    QCOMPARE(text(mirror.holdEnded(4, 6)), "4.6-");
}

QTEST_APPLESS_MAIN(TestBridgeCommands)
#include "tst_bridgecommands.moc"
