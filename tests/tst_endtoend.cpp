// The real window, clicked as an operator would, driving virtual cards over a pseudo-terminal.

#include "serial/SerialLink.h"
#include "sim/CardBus.h"
#include "sim/CardWindow.h"
#include "sim/HeadlessLog.h"
#include "sim/PseudoTerminalLine.h"
#include "support/Controls.h"
#include "ui/MainWindow.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPainter>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

using namespace std::chrono_literals;

namespace {

// The panel with two cards, at addresses 1 and 2, on its port 1.
struct Bench
{
    Bench()
        : bus([this] { return now; }),
          link([this](int port) { return port == 1 ? line.slaveName() : QString(); })
    {
        bus.addCard(1);
        bus.addCard(2);
        QObject::connect(
            &line, &PseudoTerminalLine::bytesReceived, &bus, [this](const QByteArray &bytes) {
                lineBytes += bytes.size();
                lastBytesAt = now;
                bus.feed(bytes);
            });
        window = std::make_unique<MainWindow>(link);
        window->show();
        window->activateWindow();
        // The momentary buttons work by the keyboard focus, which an inactive window lacks.
        active = QTest::qWaitForWindowActive(window.get());
    }

    QWidget *control(const QString &name, int index = -1) const
    {
        return findControl(*window, name, index);
    }

    void click(const QString &name, int index = -1) const
    {
        QTest::mouseClick(control(name, index), Qt::LeftButton);
    }

    void type(const char *box, const QString &text) const
    {
        QLineEdit *edit = window->findChild<QComboBox *>(box)->lineEdit();
        QTest::mouseClick(edit, Qt::LeftButton);
        QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(edit, text);
    }

    QString relays(int card) { return HeadlessLog::relayString(bus.card(card).relays()); }

    // Runs the event loop until the line has carried nothing new for a while, or a bad packet
    // came: wrong bytes then fail the checks that follow at once instead of after a long retry.
    // A click writes its burst before it returns, so a quiet line has nothing left on its way.
    [[nodiscard]] bool waitForQuietLine()
    {
        constexpr qint64 quietTime = 250; // ms
        qint64 seen = -1;
        QElapsedTimer quiet;
        return QTest::qWaitFor(
            [&] {
                if (bus.decoder().badCount() > 0)
                    return true;
                if (lineBytes != seen) {
                    seen = lineBytes;
                    quiet.start();
                    return false;
                }
                return quiet.elapsed() >= quietTime;
            },
            5000);
    }

    // The cards' clock moves only when a test moves it, so no hold lets go and no address
    // display ends behind the test's back on a loaded machine. Set before the bus, which reads it.
    std::chrono::milliseconds now = 10s;
    // How many bytes the line carried, and the cards' time when the last of them came.
    qint64 lineBytes = 0;
    std::chrono::milliseconds lastBytesAt{};
    PseudoTerminalLine line;
    CardBus bus;
    SerialLink link;
    std::unique_ptr<MainWindow> window;
    bool active = false;
};

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void buttons_data();
    void buttons();
    void momentaryButtons_data();
    void momentaryButtons();
    void changeAddressThenRelays();
    void twoCardsOnOneLine();
    void simulatorPrintsWhatItDoes();
    void demoPicture();
};

void TestEndToEnd::buttons_data()
{
    // Clicks in order, as "Command3" or "Command22:4"; then the relays of card 1.
    QTest::addColumn<QStringList>("clicks");
    QTest::addColumn<QString>("relays");

    for (int relay = 0; relay < 8; ++relay) {
        QString alone(8, u'0');
        alone[relay] = u'1';
        QString allBut(8, u'1');
        allBut[relay] = u'0';
        QTest::addRow("relay %d on", relay + 1) << QStringList{relayOnButtons.at(relay)} << alone;
        QTest::addRow("relay %d off", relay + 1)
            << QStringList{"Command3", relayOffButtons.at(relay)} << allBut;
        QTest::addRow("toggle relay %d", relay + 1)
            << QStringList{QStringLiteral("Command22:%1").arg(relay)} << alone;
        QTest::addRow("toggle relay %d twice", relay + 1) << QStringList{
            QStringLiteral("Command22:%1").arg(relay),
            QStringLiteral("Command22:%1").arg(relay)} << "00000000";
    }
    QTest::newRow("SET ALL") << QStringList{"Command3"} << "11111111";
    QTest::newRow("CLEAR ALL") << QStringList{"Command3", "Command4"} << "00000000";
    QTest::newRow("emergency stop") << QStringList{"Command3", "Command5"} << "00000000";
}

void TestEndToEnd::buttons()
{
    QFETCH(QStringList, clicks);
    QFETCH(QString, relays);

    Bench bench;
    QVERIFY(bench.active);
    for (const QString &click : clicks) {
        const QStringList parts = click.split(u':');
        bench.click(parts.at(0), parts.size() > 1 ? parts.at(1).toInt() : -1);
    }
    QVERIFY2(bench.waitForQuietLine(), "the panel never stopped sending");
    QCOMPARE(bench.bus.decoder().badCount(), 0);
    QCOMPARE(bench.bus.decoder().goodCount(), 4 * clicks.size());
    QCOMPARE(bench.relays(0), relays);
    QCOMPARE(bench.relays(1), QStringLiteral("00000000"));
    QCOMPARE(bench.bus.card(0).commandCount(), clicks.size());
}

void TestEndToEnd::momentaryButtons_data()
{
    QTest::addColumn<int>("index");
    for (int index = 0; index < 8; ++index)
        QTest::addRow("Command24(%d)", index) << index;
}

void TestEndToEnd::momentaryButtons()
{
    QFETCH(int, index);
    Bench bench;
    QVERIFY(bench.active);
    QString held(8, u'0');
    held[index] = u'1';

    const PacketDecoder &decoder = bench.bus.decoder();
    const VirtualCard &card = bench.bus.card(0);

    QWidget *button = bench.control("Command24", index);
    QTest::mousePress(button, Qt::LeftButton);
    QVERIFY2(QTest::qWaitFor([&] { return card.commandCount() > 0 || decoder.badCount() > 0; }),
        "nothing arrived while the button was held");
    QCOMPARE(decoder.badCount(), 0);
    bench.bus.update(); // a card that let go at once would do it here
    QCOMPARE(bench.relays(0), held);

    // Past the hold time on the card's clock, half of it at a time and each step behind a
    // newer burst: only the panel's repeats can keep the relay held.
    for (int step = 0; step < 3; ++step) {
        const qint64 commands = card.commandCount();
        QVERIFY2(QTest::qWaitFor(
                     [&] { return card.commandCount() > commands || decoder.badCount() > 0; }),
            "the held button's burst was not repeated");
        QCOMPARE(decoder.badCount(), 0);
        bench.now += VirtualCard::holdTime / 2;
        bench.bus.update();
        QCOMPARE(bench.relays(0), held); // still held while the button is
    }

    QTest::mouseRelease(button, Qt::LeftButton);
    QVERIFY2(bench.waitForQuietLine(), "the panel went on sending after the release");
    QCOMPARE(decoder.badCount(), 0);
    QCOMPARE(decoder.goodCount() % 4, 0); // whole bursts only
    // Let go by the card's clock: a hold time after the last packet, not a moment sooner.
    bench.now = bench.lastBytesAt + VirtualCard::holdTime - 1ms;
    bench.bus.update();
    QCOMPARE(bench.relays(0), held);
    bench.now = bench.lastBytesAt + VirtualCard::holdTime;
    bench.bus.update();
    QCOMPARE(bench.relays(0), QStringLiteral("00000000"));
}

void TestEndToEnd::changeAddressThenRelays()
{
    Bench bench;
    QVERIFY(bench.active);
    bench.type("Combo3", "7");
    bench.click("Command7");
    QVERIFY2(bench.waitForQuietLine(), "the panel never stopped sending");
    QCOMPARE(bench.bus.decoder().badCount(), 0);
    QCOMPARE(bench.bus.decoder().goodCount(), 4);
    QCOMPARE(int(bench.bus.card(0).address()), 7);
    QCOMPARE(int(bench.bus.card(1).address()), 2);

    bench.click("Command10"); // relay 3 on, now at address 7
    bench.click("Command6"); // show address
    QVERIFY2(bench.waitForQuietLine(), "the panel never stopped sending");
    QCOMPARE(bench.bus.decoder().badCount(), 0);
    QCOMPARE(bench.bus.decoder().goodCount(), 12);
    QCOMPARE(bench.relays(0), QStringLiteral("00100000"));
    QVERIFY(bench.bus.card(0).isShowingAddress());
    QCOMPARE(bench.relays(1), QStringLiteral("00000000"));
}

void TestEndToEnd::twoCardsOnOneLine()
{
    Bench bench;
    QVERIFY(bench.active);
    bench.click("Command1"); // card 1, relay 1
    bench.type("Combo2", "2");
    bench.click("Command8"); // card 2, relay 2
    bench.click("Command22", 7);
    QVERIFY2(bench.waitForQuietLine(), "the panel never stopped sending");
    QCOMPARE(bench.bus.decoder().badCount(), 0);
    QCOMPARE(bench.bus.decoder().goodCount(), 12);
    QCOMPARE(bench.relays(1), QStringLiteral("01000001"));
    QCOMPARE(bench.relays(0), QStringLiteral("10000000"));

    bench.type("Combo2", "1");
    bench.click("Command3");
    QVERIFY2(bench.waitForQuietLine(), "the panel never stopped sending");
    QCOMPARE(bench.bus.decoder().badCount(), 0);
    QCOMPARE(bench.bus.decoder().goodCount(), 16);
    QCOMPARE(bench.relays(0), QStringLiteral("11111111"));
    QCOMPARE(bench.relays(1), QStringLiteral("01000001"));
    QCOMPARE(bench.bus.card(1).ignoredCount(), 8);
}

void TestEndToEnd::simulatorPrintsWhatItDoes()
{
    QProcess sim;
    sim.start(RELAYCARD_SIM, {"--headless"});
    QVERIFY(sim.waitForStarted());
    QVERIFY(sim.waitForReadyRead(5000));
    const QString device = QString::fromLocal8Bit(sim.readLine()).trimmed();
    QVERIFY2(device.startsWith("/dev/pts/"), qPrintable(device));

    SerialLink link([&device](int port) { return port == 1 ? device : QString(); });
    MainWindow window(link);
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    const auto control = [&window](const char *name, int index = -1) {
        return findControl(window, name, index);
    };
    QStringList lines;
    const auto nextLine = [&sim, &lines] {
        // Waits with the event loop running, so the panel's repeat timer goes on ticking.
        if (lines.isEmpty())
            (void)QTest::qWaitFor([&sim] { return sim.canReadLine(); }, 3000);
        while (sim.canReadLine())
            lines << QString::fromLocal8Bit(sim.readLine()).trimmed();
        return lines.isEmpty() ? QString() : lines.takeFirst();
    };
    const QRegularExpression format(R"(^(\d+) (\d+) (\S) (\S+) ([01]{8})$)");

    QTest::mouseClick(control("Command10"), Qt::LeftButton);
    const QString first = nextLine();
    QRegularExpressionMatch match = format.match(first);
    QVERIFY2(match.hasMatch(), first.isEmpty() ? "the card printed nothing" : qPrintable(first));
    QCOMPARE(match.captured(2) + ' ' + match.captured(3) + ' ' + match.captured(4) + ' '
            + match.captured(5),
        QStringLiteral("1 S 51 00100000"));
    // The card takes every four identical packets as one command: three more clicks are three
    // more lines only if each burst has its four copies.
    for (int click = 0; click < 3; ++click)
        QTest::mouseClick(control("Command10"), Qt::LeftButton);
    for (int click = 0; click < 3; ++click) {
        const QString again = nextLine();
        QVERIFY2(QRegularExpression(R"(^\d+ 1 S 51 00100000$)").match(again).hasMatch(),
            qPrintable(QStringLiteral("click %1 again: \"%2\"").arg(click + 2).arg(again)));
    }

    QTest::mousePress(control("Command24", 0), Qt::LeftButton);
    const QString held = nextLine();
    match = format.match(held);
    QVERIFY2(match.hasMatch(), qPrintable(held));
    QCOMPARE(match.captured(3) + match.captured(4) + ' ' + match.captured(5),
        QStringLiteral("P49 10100000"));
    QTest::mouseRelease(control("Command24", 0), Qt::LeftButton);
    // Repeats of the held burst, then the let-go without a command.
    QString line;
    do {
        line = nextLine();
        QVERIFY2(!line.isEmpty(), "the held relay was never let go");
    } while (line.contains(" P "));
    QVERIFY2(
        QRegularExpression(R"(^\d+ 1 - - 00100000$)").match(line).hasMatch(), qPrintable(line));

    QTest::mouseClick(control("Command5"), Qt::LeftButton);
    QVERIFY2(QRegularExpression(R"(^\d+ 1 E 49 00000000$)").match(nextLine()).hasMatch(),
        "no emergency stop line");

    window.close();
    sim.kill();
    sim.waitForFinished();
}

void TestEndToEnd::demoPicture()
{
    // What relaypanel-demo shows, after a few clicks: the panel with its two cards beside it.
    Bench bench;
    QVERIFY(bench.active);
    CardWindow first(bench.bus, 0);
    CardWindow second(bench.bus, 1);
    first.show();
    second.show();
    bench.click("Command3");
    bench.click("Command11");
    bench.click("Command6");
    bench.type("Combo2", "2");
    bench.click("Command22", 4);
    QVERIFY2(bench.waitForQuietLine(), "the panel never stopped sending");
    QCOMPARE(bench.bus.decoder().badCount(), 0);
    QCOMPARE(bench.bus.decoder().goodCount(), 16);
    QCOMPARE(bench.relays(1), QStringLiteral("00001000"));
    QCOMPARE(bench.relays(0), QStringLiteral("11011111"));
    QVERIFY(bench.bus.card(0).isShowingAddress());
    QVERIFY(QTest::qWaitForWindowExposed(&first) && QTest::qWaitForWindowExposed(&second));

    const QPixmap panel = bench.window->grab();
    const QPixmap card1 = first.grab();
    const QPixmap card2 = second.grab();
    QVERIFY(!card1.isNull() && card1.width() >= 300);
    QPixmap picture(panel.width() + 12 + card1.width(),
        std::max(panel.height(), card1.height() + 12 + card2.height()));
    picture.fill(Qt::darkGray);
    QPainter painter(&picture);
    painter.drawPixmap(0, 0, panel);
    painter.drawPixmap(panel.width() + 12, 0, card1);
    painter.drawPixmap(panel.width() + 12, card1.height() + 12, card2);
    painter.end();
    QVERIFY(picture.save(QStringLiteral("relaypanel-demo.png")));
}

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
