#include "panel/PanelController.h"
#include "protocol/RelayPacket.h"
#include "serial/SerialLink.h"
#include "support/Bytes.h"
#include "support/PseudoTerminal.h"
#include "support/RecordingView.h"

#include <QLocale>
#include <QTest>

#include <chrono>
#include <memory>
#include <termios.h>
#include <utility>

using namespace std::chrono_literals;
using Box = PanelView::Box;
using OptionalInt = std::optional<qint16>;

namespace {

const QString missingDevice = QStringLiteral("/nonexistent/relaypanel-test-port");
constexpr auto tick = 80ms;

QByteArray burstOf(std::initializer_list<int> packet)
{
    return bytes(packet).repeated(4);
}

QByteArray burstOf(int address, char instruction, int parameter)
{
    return RelayPacket::makePacket(quint8(address), instruction, quint8(parameter)).repeated(4);
}

// A controller wired to a recording view and a link on the given device names, with a clock
// the test moves.
struct Panel
{
    explicit Panel(QStringList devices)
        : ports(std::move(devices)),
          link([this](int port) { return ports.value(port - 1); }),
          controller(view, link)
    {
        view.attach(&controller);
        link.setClock([this] { return now; });
    }

    void ticks(int count)
    {
        for (int i = 0; i < count; ++i) {
            now += tick;
            controller.repeatTick();
        }
    }

    std::chrono::nanoseconds now = 1h;
    QStringList ports; // device names of ports 1, 2, ...; a test may swap one
    RecordingView view;
    SerialLink link;
    PanelController controller;
};

} // namespace

class TestPanelController : public QObject
{
    Q_OBJECT

private slots:
    void start_data();
    void start();
    void addressLists();
    void selectAddress_data();
    void selectAddress();
    void addressProblemClearedOnce();
    void anyTextInAnyBox_data();
    void anyTextInAnyBox();
    void decimalCommaUnderGermanLocale();
    void selectPort();
    void operations_data();
    void operations();
    void sameClickTwiceWritesTwice();
    void changeAddressMovesThePanel_data();
    void changeAddressMovesThePanel();
    void changeAddressToInvalidSendsNothing_data();
    void changeAddressToInvalidSendsNothing();
    void nothingSentWhileAddressInvalid();
    void momentaryPressWritesOnTicksOnly();
    void holdOfLittleOver400ms();
    void releaseWithinFirstTick();
    void repeatTakesOverOtherBurst();
    void tenSecondHold();
    void longHoldBuildsNoBacklog();
    void noPortOpen();
    void sendQueueFull();
    void lostPortShownUntilReopened();
    void shutdownClosesPort();
};

void TestPanelController::start_data()
{
    QTest::addColumn<bool>("firstUsable");
    QTest::addColumn<bool>("secondUsable");
    QTest::addColumn<QStringList>("portList");
    QTest::addColumn<int>("openedPort");

    QTest::newRow("both ports") << true << true << QStringList{"1", "2"} << 1;
    QTest::newRow("only port 1") << true << false << QStringList{"1"} << 1;
    QTest::newRow("only port 2") << false << true << QStringList{"2"} << 2;
    QTest::newRow("neither") << false << false << QStringList{} << 0;
}

void TestPanelController::start()
{
    QFETCH(bool, firstUsable);
    QFETCH(bool, secondUsable);
    QFETCH(QStringList, portList);
    QFETCH(int, openedPort);

    PseudoTerminal first;
    PseudoTerminal second;
    Panel panel(
        {firstUsable ? first.name() : missingDevice, secondUsable ? second.name() : missingDevice});
    panel.controller.start();

    QCOMPARE(panel.view.items.value(Box::Combo1), portList);
    QCOMPARE(panel.controller.cardAddress(), OptionalInt(1));
    QCOMPARE(panel.view.texts.value(Box::Combo2), QStringLiteral("1"));
    QVERIFY(!panel.view.texts.contains(Box::Combo3));
    QCOMPARE(panel.view.timerEnabled, false);
    QCOMPARE(panel.link.isOpen(), openedPort != 0);
    if (openedPort != 0) {
        QCOMPARE(panel.view.texts.value(Box::Combo1), QString::number(openedPort));
        QVERIFY(panel.view.problemCalls.isEmpty());
        const termios tio = (openedPort == 1 ? first : second).settings();
        QCOMPARE(cfgetospeed(&tio), speed_t(B2400));
    } else {
        QVERIFY(!panel.view.texts.contains(Box::Combo1));
        QVERIFY(panel.view.problems.value(Box::Combo1).startsWith("No serial port found"));
    }

    panel.controller.allOn();
    const QByteArray allOn = burstOf({13, 1, 83, 57, 102});
    QCOMPARE(first.readAll(), openedPort == 1 ? allOn : QByteArray());
    QCOMPARE(second.readAll(), openedPort == 2 ? allOn : QByteArray());
}

void TestPanelController::addressLists()
{
    Panel panel({missingDevice});
    panel.controller.start();

    for (Box box : {Box::Combo2, Box::Combo3}) {
        const QStringList list = panel.view.items.value(box);
        QCOMPARE(list.size(), 255);
        for (int i = 0; i < list.size(); ++i)
            QCOMPARE(list.at(i), u' ' + QString::number(i + 1));
    }
}

void TestPanelController::selectAddress_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<OptionalInt>("address");

    QTest::newRow("7") << "7" << OptionalInt(7);
    QTest::newRow("list entry, blank first") << " 7" << OptionalInt(7);
    QTest::newRow("2.5 to even") << "2.5" << OptionalInt(2);
    QTest::newRow("letters address card 0") << "abc" << OptionalInt(0);
    QTest::newRow("trailing letters") << "12abc" << OptionalInt(12);
    QTest::newRow("exponent") << "1e2" << OptionalInt(100);
    QTest::newRow("255") << "255" << OptionalInt(255);
    QTest::newRow("-1") << "-1" << OptionalInt(-1);
    QTest::newRow("256") << "256" << OptionalInt(256);
    QTest::newRow("255.5 rounds to 256") << "255.5" << OptionalInt(256);
    QTest::newRow("99999") << "99999" << OptionalInt();
    QTest::newRow("1e999") << "1e999" << OptionalInt();
}

void TestPanelController::selectAddress()
{
    QFETCH(QString, text);
    QFETCH(OptionalInt, address);

    PseudoTerminal pty;
    Panel panel({pty.name()});
    panel.controller.start();
    panel.view.setText(Box::Combo2, text);

    QCOMPARE(panel.controller.cardAddress(), address);
    const bool onTheLine = address && *address >= 0 && *address <= 255;
    QCOMPARE(panel.view.problems.value(Box::Combo2).isEmpty(), onTheLine);

    panel.controller.relayOn(1);
    QCOMPARE(pty.readAll(), onTheLine ? burstOf(*address, 'S', '1') : QByteArray());
}

void TestPanelController::anyTextInAnyBox_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<OptionalInt>("number");

    QTest::newRow("empty") << "" << OptionalInt(0);
    QTest::newRow("blanks only") << " \t  " << OptionalInt(0);
    QTest::newRow("plus") << "+" << OptionalInt(0);
    QTest::newRow("minus") << "-" << OptionalInt(0);
    QTest::newRow("two signs") << "--1" << OptionalInt(0);
    QTest::newRow("signed") << "+1" << OptionalInt(1);
    QTest::newRow("1e999") << "1e999" << OptionalInt();
    QTest::newRow("-0") << "-0" << OptionalInt(0);
    QTest::newRow(".5 to even") << ".5" << OptionalInt(0);
    QTest::newRow("255.5 rounds to 256") << "255.5" << OptionalInt(256);
    QTest::newRow("254.5 to even") << "254.5" << OptionalInt(254);
    QTest::newRow("32767") << "32767" << OptionalInt(32767);
    QTest::newRow("32768") << "32768" << OptionalInt();
    QTest::newRow("-32769") << "-32769" << OptionalInt();
    QTest::newRow("10000 digits") << QString(10000, u'7') << OptionalInt();
    QTest::newRow("control characters")
        << QStringLiteral("\u0001\u0002\u001b[2J") << OptionalInt(0);
    QTest::newRow("digit, NUL, digit") << QString::fromUtf16(u"1\u00002", 3) << OptionalInt(1);
    QTest::newRow("Arabic-Indic digits") << QStringLiteral("\u0661\u0662") << OptionalInt(0);
    QTest::newRow("Devanagari digit") << QStringLiteral("\u0967") << OptionalInt(0);
    QTest::newRow("decimal comma") << "2,5" << OptionalInt(2);
    QTest::newRow("lone surrogate") << QString(QChar(0xd800)) << OptionalInt(0);
}

void TestPanelController::anyTextInAnyBox()
{
    QFETCH(QString, text);
    QFETCH(OptionalInt, number);
    const bool isAddress = number && *number >= 0 && *number <= 255;

    PseudoTerminal pty;
    Panel panel({pty.name()});
    panel.controller.start();

    // The new address box: a packet only for an address a byte can carry.
    panel.controller.changeAddress(text);
    QCOMPARE(pty.readAll(), isAddress ? burstOf(1, 'A', *number) : QByteArray());
    QCOMPARE(panel.view.problems.value(Box::Combo3).isEmpty(), isAddress);

    // The address box: nothing goes to any card while the address is not one.
    panel.view.setText(Box::Combo2, text);
    QCOMPARE(panel.controller.cardAddress(), number);
    panel.controller.relayOn(2);
    QCOMPARE(pty.readAll(), isAddress ? burstOf(*number, 'S', '2') : QByteArray());

    // The port box: only port 1 exists.
    panel.view.setText(Box::Combo1, text);
    QCOMPARE(panel.link.isOpen(), number == OptionalInt(1));
}

void TestPanelController::addressProblemClearedOnce()
{
    Panel panel({missingDevice});
    panel.controller.start();
    panel.view.problemCalls.clear();

    for (const char *text : {"3", "30", "300", "3000", "300", "30", "3", "3"})
        panel.view.setText(Box::Combo2, text);
    QCOMPARE(panel.view.problemCalls,
        QStringList({"Address 300 is outside 0 to 255: nothing is sent",
            "Address 3000 is outside 0 to 255: nothing is sent",
            "Address 300 is outside 0 to 255: nothing is sent", ""}));
}

void TestPanelController::decimalCommaUnderGermanLocale()
{
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    Panel panel({missingDevice});
    panel.controller.selectAddress("2,7");
    const OptionalInt withComma = panel.controller.cardAddress();
    panel.controller.selectAddress("2.7");
    const OptionalInt withPoint = panel.controller.cardAddress();
    QLocale::setDefault(previous);

    QCOMPARE(withComma, OptionalInt(2));
    QCOMPARE(withPoint, OptionalInt(3));
}

void TestPanelController::selectPort()
{
    PseudoTerminal first;
    PseudoTerminal second;
    Panel panel({first.name(), second.name(), missingDevice});
    panel.controller.start();
    const QByteArray allOff = burstOf({13, 1, 67, 57, 118});

    panel.view.setText(Box::Combo1, "2");
    panel.controller.allOff();
    QCOMPARE(second.readAll(), allOff);
    QCOMPARE(first.readAll(), QByteArray());

    // Typing "12" opens port 1, then port 12, which does not exist: the port stays closed.
    panel.view.setText(Box::Combo1, "1");
    panel.view.setText(Box::Combo1, "12");
    QVERIFY(!panel.link.isOpen());
    QCOMPARE(panel.view.problems.value(Box::Combo1),
        QStringLiteral("Port 12 could not be opened: No such port"));
    // A click then sends nothing, and the reason stays in view.
    panel.controller.allOff();
    QCOMPARE(first.readAll() + second.readAll(), QByteArray());
    QCOMPARE(panel.view.problems.value(Box::Combo1),
        QStringLiteral("Port 12 could not be opened: No such port"));

    // The system's own reason is shown.
    panel.view.setText(Box::Combo1, "3");
    const QString problem = panel.view.problems.value(Box::Combo1);
    QVERIFY2(problem.startsWith("Port 3 could not be opened: ") && problem.size() > 28,
        qPrintable(problem));

    panel.view.setText(Box::Combo1, "99999");
    QVERIFY(!panel.link.isOpen());
    QVERIFY(!panel.view.problems.value(Box::Combo1).isEmpty());

    // A later choice that opens clears the problem; picking the open port reopens it.
    panel.view.setText(Box::Combo1, " 1");
    QVERIFY(panel.link.isOpen());
    QCOMPARE(panel.view.problems.value(Box::Combo1), QString());
    panel.view.setText(Box::Combo1, "1");
    panel.controller.allOff();
    QCOMPARE(first.readAll(), allOff);
}

void TestPanelController::operations_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("argument");
    QTest::addColumn<int>("address");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("relayOn(3)") << "relayOn"
                                << "3" << 1 << burstOf({13, 1, 83, 51, 108});
    QTest::newRow("relayOn(8) at 5") << "relayOn"
                                     << "8" << 5 << burstOf({13, 5, 83, 56, 99});
    QTest::newRow("allOff") << "allOff"
                            << "" << 1 << burstOf({13, 1, 67, 57, 118});
    QTest::newRow("emergencyStop") << "emergencyStop"
                                   << "" << 1 << burstOf({13, 1, 69, 49, 124});
    QTest::newRow("showAddress") << "showAddress"
                                 << "" << 1 << burstOf({13, 1, 68, 49, 125});
    QTest::newRow("changeAddress(2)") << "changeAddress"
                                      << "2" << 1 << burstOf({13, 1, 65, 2, 175});
    QTest::newRow("changeAddress(9)") << "changeAddress"
                                      << "9" << 1 << burstOf({13, 1, 65, 9, 168});
    QTest::newRow("toggleRelay(0)") << "toggleRelay"
                                    << "0" << 1 << burstOf({13, 1, 84, 49, 109});

    for (int relay = 1; relay <= 8; ++relay) {
        const QString n = QString::number(relay);
        QTest::addRow("relayOn(%d) at 200", relay)
            << "relayOn" << n << 200 << burstOf(200, 'S', '0' + relay);
        QTest::addRow("relayOff(%d) at 77", relay)
            << "relayOff" << n << 77 << burstOf(77, 'C', '0' + relay);
        QTest::addRow("toggleRelay(%d) at 255", relay - 1)
            << "toggleRelay" << QString::number(relay - 1) << 255 << burstOf(255, 'T', '0' + relay);
    }
    QTest::newRow("allOn at 0") << "allOn"
                                << "" << 0 << burstOf(0, 'S', '9');
    QTest::newRow("emergencyStop at 128") << "emergencyStop"
                                          << "" << 128 << burstOf(128, 'E', '1');
    QTest::newRow("changeAddress(255) at 3") << "changeAddress"
                                             << "255" << 3 << burstOf(3, 'A', 255);
    QTest::newRow("changeAddress(0)") << "changeAddress"
                                      << "0" << 1 << burstOf(1, 'A', 0);
    QTest::newRow("changeAddress(254.5) to even") << "changeAddress"
                                                  << "254.5" << 1 << burstOf(1, 'A', 254);
    QTest::newRow("changeAddress( 65) raw byte") << "changeAddress"
                                                 << " 65" << 1 << burstOf(1, 'A', 65);
}

void TestPanelController::operations()
{
    QFETCH(QString, operation);
    QFETCH(QString, argument);
    QFETCH(int, address);
    QFETCH(QByteArray, expected);

    PseudoTerminal pty;
    Panel panel({pty.name()});
    panel.controller.start();
    panel.view.setText(Box::Combo2, QString::number(address));

    PanelController &c = panel.controller;
    const int n = argument.toInt();
    if (operation == "relayOn")
        c.relayOn(n);
    else if (operation == "relayOff")
        c.relayOff(n);
    else if (operation == "allOn")
        c.allOn();
    else if (operation == "allOff")
        c.allOff();
    else if (operation == "emergencyStop")
        c.emergencyStop();
    else if (operation == "showAddress")
        c.showAddress();
    else if (operation == "toggleRelay")
        c.toggleRelay(n);
    else if (operation == "changeAddress")
        c.changeAddress(argument);
    else
        QFAIL("unknown operation");

    QCOMPARE(pty.readAll(), expected);
    QCOMPARE(c.sendBuffer(), expected);
    QCOMPARE(c.relayNumber(), operation == "toggleRelay" ? n + 1 : 0);
}

void TestPanelController::sameClickTwiceWritesTwice()
{
    PseudoTerminal pty;
    Panel panel({pty.name()});
    panel.controller.start();
    panel.controller.relayOff(4);
    panel.controller.relayOff(4);
    QCOMPARE(pty.readAll(), burstOf(1, 'C', '4').repeated(2));
}

void TestPanelController::changeAddressMovesThePanel_data()
{
    QTest::addColumn<QString>("newAddress");
    QTest::addColumn<int>("sent");

    QTest::newRow("9") << "9" << 9;
    QTest::newRow("2.5 keeps its text") << "2.5" << 2;
    QTest::newRow("untouched new address box") << "49" << 49;
    QTest::newRow("list entry") << " 200" << 200;
}

void TestPanelController::changeAddressMovesThePanel()
{
    QFETCH(QString, newAddress);
    QFETCH(int, sent);

    PseudoTerminal pty;
    Panel panel({pty.name()});
    panel.controller.start();
    panel.controller.changeAddress(newAddress);

    QCOMPARE(panel.view.texts.value(Box::Combo2), newAddress);
    QCOMPARE(panel.controller.cardAddress(), OptionalInt(sent));
    panel.controller.relayOn(1);
    QCOMPARE(pty.readAll(), burstOf(1, 'A', sent) + burstOf(sent, 'S', '1'));
}

void TestPanelController::changeAddressToInvalidSendsNothing_data()
{
    QTest::addColumn<QString>("newAddress");
    QTest::newRow("256") << "256";
    QTest::newRow("-1") << "-1";
    QTest::newRow("255.5 rounds to 256") << "255.5";
    QTest::newRow("99999") << "99999";
    QTest::newRow("1e999") << "1e999";
}

void TestPanelController::changeAddressToInvalidSendsNothing()
{
    QFETCH(QString, newAddress);

    PseudoTerminal pty;
    Panel panel({pty.name()});
    panel.controller.start();
    panel.controller.changeAddress(newAddress);

    QCOMPARE(pty.readAll(), QByteArray());
    QCOMPARE(panel.view.texts.value(Box::Combo2), QStringLiteral("1"));
    QCOMPARE(panel.controller.cardAddress(), OptionalInt(1));
    QVERIFY(!panel.view.problems.value(Box::Combo3).isEmpty());

    panel.controller.changeAddress("5");
    QCOMPARE(pty.readAll(), burstOf(1, 'A', 5));
    QCOMPARE(panel.view.problems.value(Box::Combo3), QString());
}

void TestPanelController::nothingSentWhileAddressInvalid()
{
    PseudoTerminal pty;
    Panel panel({pty.name()});
    panel.controller.start();
    panel.view.setText(Box::Combo2, "300");

    panel.controller.relayOn(1);
    panel.controller.emergencyStop();
    panel.controller.changeAddress("5");
    panel.controller.momentaryPress(0);
    QVERIFY(panel.view.timerEnabled);
    panel.ticks(10);
    QCOMPARE(pty.readAll(), QByteArray());
    QCOMPARE(panel.view.texts.value(Box::Combo2), QStringLiteral("300"));
    QVERIFY(panel.view.problems.value(Box::Combo2).contains("300"));

    // A repeat started while the address was invalid keeps sending nothing.
    panel.view.setText(Box::Combo2, "3");
    panel.ticks(2);
    QCOMPARE(pty.readAll(), QByteArray());
    QCOMPARE(panel.view.problems.value(Box::Combo2), QString());
}

void TestPanelController::momentaryPressWritesOnTicksOnly()
{
    PseudoTerminal pty;
    Panel panel({pty.name()});
    panel.controller.start();

    panel.controller.momentaryPress(7);
    const QByteArray hold8 = burstOf({13, 1, 80, 56, 106});
    QVERIFY(panel.view.timerEnabled);
    QCOMPARE(panel.controller.relayNumber(), qint16(8));
    QCOMPARE(panel.controller.sendBuffer(), hold8);
    QCOMPARE(pty.readAll(), QByteArray());

    panel.ticks(1);
    QCOMPARE(pty.readAll(), hold8);
}

void TestPanelController::holdOfLittleOver400ms()
{
    PseudoTerminal pty;
    Panel panel({pty.name()});
    panel.controller.start();

    panel.controller.momentaryPress(2);
    panel.ticks(5);
    panel.now += 10ms;
    panel.controller.momentaryRelease();

    QCOMPARE(pty.readAll(), burstOf(1, 'P', '3').repeated(5));
    QCOMPARE(panel.view.timerEnabled, false);
    QCOMPARE(panel.view.emergencyStopFocused, 1);
}

void TestPanelController::releaseWithinFirstTick()
{
    PseudoTerminal pty;
    Panel panel({pty.name()});
    panel.controller.start();

    panel.controller.momentaryPress(0);
    panel.now += 50ms;
    panel.controller.momentaryRelease();
    QCOMPARE(panel.view.timerEnabled, false);
    QCOMPARE(pty.readAll(), QByteArray());
}

void TestPanelController::repeatTakesOverOtherBurst()
{
    PseudoTerminal pty;
    Panel panel({pty.name()});
    panel.controller.start();

    panel.controller.momentaryPress(1);
    panel.ticks(1);
    panel.controller.relayOn(5);
    // The click put a second burst behind the first: the next tick lets the line catch up.
    panel.ticks(2);

    const QByteArray on5 = burstOf(1, 'S', '5');
    QCOMPARE(pty.readAll(), burstOf(1, 'P', '2') + on5 + on5);
    QCOMPARE(panel.controller.sendBuffer(), on5);
}

void TestPanelController::tenSecondHold()
{
    PseudoTerminal pty;
    Panel panel({pty.name()});
    panel.controller.start();

    panel.controller.momentaryPress(4);
    panel.ticks(125); // 10 s
    panel.controller.momentaryRelease();

    const QByteArray received = pty.readAll();
    QCOMPARE(received.size() % 20, 0);
    QCOMPARE(received, burstOf(1, 'P', '5').repeated(received.size() / 20));
    const qsizetype bursts = received.size() / 20;
    QVERIFY2(bursts >= 118 && bursts <= 122, qPrintable(QString::number(bursts)));
}

void TestPanelController::longHoldBuildsNoBacklog()
{
    PseudoTerminal pty;
    Panel panel({pty.name()});
    panel.controller.start();

    // Ten minutes on the injected clock: longer than a repeat that outpaces the line needs to
    // fill 4096 bytes (about seven).
    constexpr int minutes = 10;
    const int ticks = minutes * 60 * 1000 / 80;
    panel.controller.momentaryPress(0);
    qsizetype received = 0;
    qint64 mostWaiting = 0;
    qint64 mostQueued = 0;
    for (int i = 0; i < ticks; ++i) {
        panel.ticks(1);
        mostWaiting = std::max(mostWaiting, panel.link.bytesWaiting());
        mostQueued = std::max(mostQueued, panel.link.queuedBytes());
        if (i % 50 == 0)
            received += pty.readAll(1ms).size();
    }
    panel.controller.momentaryRelease();
    const qint64 waitingAtRelease = panel.link.bytesWaiting();
    panel.controller.emergencyStop();
    received += pty.readAll().size();

    // The line carries 240 bytes a second; it is kept busy, and never more than two bursts
    // (one on the wire, one waiting) stand between a click and the line.
    // The program's own queue stays as good as empty, so its memory does not grow either.
    QVERIFY2(mostWaiting <= 40, qPrintable(QString::number(mostWaiting)));
    QVERIFY(waitingAtRelease <= 40);
    QVERIFY2(mostQueued <= 20, qPrintable(QString::number(mostQueued)));
    const qsizetype lineCapacity = qsizetype(minutes) * 60 * 240;
    QVERIFY2(received >= lineCapacity - 80 && received <= lineCapacity + 40,
        qPrintable(QString::number(received)));
}

void TestPanelController::noPortOpen()
{
    PseudoTerminal pty;
    Panel panel({missingDevice, missingDevice, pty.name()});
    panel.controller.start();
    QVERIFY(!panel.link.isOpen());

    panel.controller.relayOn(1);
    panel.controller.changeAddress("7");
    panel.controller.momentaryPress(3);
    panel.ticks(3);
    QVERIFY(panel.view.problems.value(Box::Combo1).startsWith("No serial port found"));
    QCOMPARE(pty.readAll(), QByteArray());
    // The card heard nothing, so the panel stays at its address.
    QCOMPARE(panel.controller.cardAddress(), OptionalInt(1));

    // Typing a port that exists recovers.
    panel.view.setText(Box::Combo1, "3");
    panel.controller.relayOn(1);
    QCOMPARE(pty.readAll(), burstOf(1, 'S', '1'));
    QCOMPARE(panel.view.problems.value(Box::Combo1), QString());
}

void TestPanelController::sendQueueFull()
{
    PseudoTerminal pty;
    Panel panel({pty.name()});
    panel.controller.start();

    // Nobody reads the far end: the system's buffer fills, then the program's queue.
    int accepted = 0;
    while (accepted < 20000 && panel.view.problems.value(Box::Combo1).isEmpty()) {
        panel.controller.relayOn(2);
        QVERIFY(panel.link.queuedBytes() <= SerialLink::sendQueueSize);
        ++accepted;
    }
    QCOMPARE(panel.view.problems.value(Box::Combo1),
        QStringLiteral("The send queue is full: nothing was sent"));
    --accepted; // the click that was refused

    QByteArray received;
    for (int round = 0; round < 500 && received.size() < qsizetype(accepted) * 20; ++round) {
        received += pty.readAll(5ms);
        QCoreApplication::processEvents();
    }
    QCOMPARE(received.size(), accepted * 20);
    QCOMPARE(received, burstOf(1, 'S', '2').repeated(accepted));

    panel.controller.relayOn(3);
    QCOMPARE(pty.readAll(), burstOf(1, 'S', '3'));
    QCOMPARE(panel.view.problems.value(Box::Combo1), QString());
}

void TestPanelController::lostPortShownUntilReopened()
{
    auto adapter = std::make_unique<PseudoTerminal>();
    PseudoTerminal other;
    Panel panel({adapter->name(), other.name()});
    panel.controller.start();
    panel.controller.momentaryPress(0);

    adapter->hangUp(); // pulled out
    QTRY_VERIFY(panel.view.problems.value(Box::Combo1).startsWith("Port 1 was lost: "));
    QVERIFY(!panel.link.isOpen());
    const QString lost = panel.view.problems.value(Box::Combo1);
    panel.controller.relayOn(1);
    panel.ticks(3);
    QCOMPARE(panel.view.problems.value(Box::Combo1), lost);
    QCOMPARE(other.readAll(), QByteArray());

    // Plugged in again, under the same port number: choosing it reopens it.
    adapter = std::make_unique<PseudoTerminal>();
    panel.ports[0] = adapter->name();
    panel.view.setText(Box::Combo1, "1");
    QCOMPARE(panel.view.problems.value(Box::Combo1), QString());
    panel.controller.relayOn(1);
    QCOMPARE(adapter->readAll(), burstOf(1, 'S', '1'));
}

void TestPanelController::shutdownClosesPort()
{
    PseudoTerminal pty;
    Panel panel({pty.name()});
    panel.controller.start();
    panel.controller.shutdown();
    QVERIFY(!panel.link.isOpen());
    panel.controller.relayOn(1);
    QCOMPARE(pty.readAll(), QByteArray());
}

QTEST_GUILESS_MAIN(TestPanelController)
#include "tst_panelcontroller.moc"
