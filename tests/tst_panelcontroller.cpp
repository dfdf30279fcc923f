#include "panel/PanelController.h"
#include "serial/SerialLink.h"
#include "support/Bytes.h"
#include "support/FakeDoor.h"
#include "support/PseudoTerminal.h"
#include "support/RecordingView.h"

#include <QDir>
#include <QLocale>
#include <QTemporaryDir>
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
    void startListsThePortsOnce();
    void selectAddress_data();
    void selectAddress();
    void addressProblemClearedOnce();
    void anyTextInAnyBox_data();
    void anyTextInAnyBox();
    void decimalCommaUnderGermanLocale();
    void selectPort();
    void portOwnedByRelayMqtt();
    void operations_data();
    void operations();
    void sameClickTwiceWritesTwice();
    void changeAddressMovesThePanel_data();
    void changeAddressMovesThePanel();
    void changeAddressToInvalidSendsNothing_data();
    void changeAddressToInvalidSendsNothing();
    void nothingSentWhileAddressInvalid();
    void momentaryPressWritesOnTicksOnly();
    void hold_data();
    void hold();
    void tickWaitsWhileABurstIsWaiting();
    void repeatTakesOverOtherBurst();
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
        // In one step: a combo box redraws and resizes its list for every insertion.
        QCOMPARE(panel.view.appendCalls.value(box), 1);
    }
}

void TestPanelController::startListsThePortsOnce()
{
    PseudoTerminal first;
    PseudoTerminal second;
    PseudoTerminal plugged;
    QStringList devices{first.name(), second.name()};
    int listings = 0;
    SerialLink link([&] {
        ++listings;
        return devices;
    });
    RecordingView view;
    PanelController controller(view, link);
    view.attach(&controller);
    controller.start();

    QCOMPARE(listings, 1);
    QCOMPARE(view.items.value(Box::Combo1), (QStringList{"1", "2"}));
    QVERIFY(link.isOpen());
    controller.allOn();
    const QByteArray allOn = burstOf({13, 1, 83, 57, 102});
    QCOMPARE(
        SerialLink::portOrder(devices).first() == first.name() ? first.readAll() : second.readAll(),
        allOn);

    // After start-up every port typed is looked up afresh: an adapter plugged in since is found.
    devices.append(plugged.name());
    const int third = static_cast<int>(SerialLink::portOrder(devices).indexOf(plugged.name())) + 1;
    view.setText(Box::Combo1, QString::number(third));
    QCOMPARE(listings, 2);
    QVERIFY(view.problems.value(Box::Combo1).isEmpty());
    controller.allOn();
    QCOMPARE(plugged.readAll(), allOn);
}

void TestPanelController::selectAddress_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<OptionalInt>("address");
    QTest::addColumn<QByteArray>("relay1On"); // empty when nothing may be sent

    QTest::newRow("7") << "7" << OptionalInt(7) << burstOf({13, 7, 83, 49, 104});
    QTest::newRow("list entry, blank first")
        << " 7" << OptionalInt(7) << burstOf({13, 7, 83, 49, 104});
    QTest::newRow("2.5 to even") << "2.5" << OptionalInt(2) << burstOf({13, 2, 83, 49, 109});
    QTest::newRow("letters address card 0")
        << "abc" << OptionalInt(0) << burstOf({13, 0, 83, 49, 111});
    QTest::newRow("trailing letters")
        << "12abc" << OptionalInt(12) << burstOf({13, 12, 83, 49, 99});
    QTest::newRow("exponent") << "1e2" << OptionalInt(100) << burstOf({13, 100, 83, 49, 11});
    QTest::newRow("255") << "255" << OptionalInt(255) << burstOf({13, 255, 83, 49, 112});
    QTest::newRow("-1") << "-1" << OptionalInt(-1) << QByteArray();
    QTest::newRow("256") << "256" << OptionalInt(256) << QByteArray();
    QTest::newRow("255.5 rounds to 256") << "255.5" << OptionalInt(256) << QByteArray();
    QTest::newRow("99999") << "99999" << OptionalInt() << QByteArray();
    QTest::newRow("1e999") << "1e999" << OptionalInt() << QByteArray();
}

void TestPanelController::selectAddress()
{
    QFETCH(QString, text);
    QFETCH(OptionalInt, address);
    QFETCH(QByteArray, relay1On);

    PseudoTerminal pty;
    Panel panel({pty.name()});
    panel.controller.start();
    panel.view.setText(Box::Combo2, text);

    QCOMPARE(panel.controller.cardAddress(), address);
    QCOMPARE(panel.view.problems.value(Box::Combo2).isEmpty(), !relay1On.isEmpty());

    panel.controller.relayOn(1);
    QCOMPARE(pty.readAll(), relay1On);
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

    // What the texts above that read as an address send: "A" with it to card 1, then "S" "2"
    // to it.
    const QMap<int, std::pair<QByteArray, QByteArray>> sent{
        {0, {burstOf({13, 1, 65, 0, 177}), burstOf({13, 0, 83, 50, 110})}},
        {1, {burstOf({13, 1, 65, 1, 176}), burstOf({13, 1, 83, 50, 109})}},
        {2, {burstOf({13, 1, 65, 2, 175}), burstOf({13, 2, 83, 50, 108})}},
        {254, {burstOf({13, 1, 65, 254, 179}), burstOf({13, 254, 83, 50, 112})}}};
    QVERIFY(!isAddress || sent.contains(*number));
    const auto [newAddress, relay2On] = isAddress ? sent.value(*number) : decltype(sent.first()){};

    PseudoTerminal pty;
    Panel panel({pty.name()});
    panel.controller.start();

    // The new address box: a packet only for an address a byte can carry.
    panel.controller.changeAddress(text);
    QCOMPARE(pty.readAll(), newAddress);
    QCOMPARE(panel.view.problems.value(Box::Combo3).isEmpty(), isAddress);

    // The address box: nothing goes to any card while the address is not one.
    panel.view.setText(Box::Combo2, text);
    QCOMPARE(panel.controller.cardAddress(), number);
    panel.controller.relayOn(2);
    QCOMPARE(pty.readAll(), relay2On);

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

void TestPanelController::portOwnedByRelayMqtt()
{
    PseudoTerminal pty;
    // relay-mqtt has the port, and says so through its local socket.
    SerialLink owner([&pty](int) { return pty.name(); });
    QVERIFY(owner.open(1));
    QTemporaryDir runtime;
    QVERIFY(runtime.isValid() && QDir(runtime.path()).mkpath("relay-mqtt"));
    FakeDoor door(runtime.filePath("relay-mqtt/bench.sock"), FakeDoor::Kind::Answering,
        FakeDoor::hello(pty.name(), "bench", "http://127.0.0.1:8080/"));
    QVERIFY(door.isValid());
    const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));

    // At start-up, and when the operator tries the port.
    Panel panel({pty.name()});
    panel.controller.start();
    QCOMPARE(panel.view.problems.value(Box::Combo1),
        QStringLiteral("No serial port found: type the number of a port to try it; port 1: "
                       "relay-mqtt (bench) owns it; its page: http://127.0.0.1:8080/"));
    panel.view.setText(Box::Combo1, "1");
    qputenv("XDG_RUNTIME_DIR", saved);
    QVERIFY(!panel.link.isOpen());
    const QString problem = panel.view.problems.value(Box::Combo1);
    QVERIFY2(problem.startsWith("Port 1 could not be opened: In use by another program; "
                                "relay-mqtt (bench) owns it; its page: http://127.0.0.1:8080/"),
        qPrintable(problem));
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

    // Every relay's ON, OFF and toggle: "S", "C" and "T" with the relay's digit.
    const QByteArray relayOn[] = {burstOf({13, 200, 83, 49, 167}), burstOf({13, 200, 83, 50, 166}),
        burstOf({13, 200, 83, 51, 165}), burstOf({13, 200, 83, 52, 164}),
        burstOf({13, 200, 83, 53, 163}), burstOf({13, 200, 83, 54, 162}),
        burstOf({13, 200, 83, 55, 161}), burstOf({13, 200, 83, 56, 160})};
    const QByteArray relayOff[] = {burstOf({13, 77, 67, 49, 50}), burstOf({13, 77, 67, 50, 49}),
        burstOf({13, 77, 67, 51, 48}), burstOf({13, 77, 67, 52, 47}), burstOf({13, 77, 67, 53, 46}),
        burstOf({13, 77, 67, 54, 45}), burstOf({13, 77, 67, 55, 44}),
        burstOf({13, 77, 67, 56, 43})};
    const QByteArray toggle[] = {burstOf({13, 255, 84, 49, 111}), burstOf({13, 255, 84, 50, 110}),
        burstOf({13, 255, 84, 51, 109}), burstOf({13, 255, 84, 52, 108}),
        burstOf({13, 255, 84, 53, 107}), burstOf({13, 255, 84, 54, 106}),
        burstOf({13, 255, 84, 55, 105}), burstOf({13, 255, 84, 56, 104})};
    for (int relay = 1; relay <= 8; ++relay) {
        QTest::addRow("relayOn(%d) at 200", relay)
            << "relayOn" << QString::number(relay) << 200 << relayOn[relay - 1];
        QTest::addRow("relayOff(%d) at 77", relay)
            << "relayOff" << QString::number(relay) << 77 << relayOff[relay - 1];
        QTest::addRow("toggleRelay(%d) at 255", relay - 1)
            << "toggleRelay" << QString::number(relay - 1) << 255 << toggle[relay - 1];
    }
    QTest::newRow("allOn at 0") << "allOn"
                                << "" << 0 << burstOf({13, 0, 83, 57, 103});
    QTest::newRow("emergencyStop at 128") << "emergencyStop"
                                          << "" << 128 << burstOf({13, 128, 69, 49, 253});
    QTest::newRow("changeAddress(255) at 3") << "changeAddress"
                                             << "255" << 3 << burstOf({13, 3, 65, 255, 176});
    QTest::newRow("changeAddress(0)") << "changeAddress"
                                      << "0" << 1 << burstOf({13, 1, 65, 0, 177});
    QTest::newRow("changeAddress(254.5) to even") << "changeAddress"
                                                  << "254.5" << 1 << burstOf({13, 1, 65, 254, 179});
    QTest::newRow("changeAddress( 65) raw byte") << "changeAddress"
                                                 << " 65" << 1 << burstOf({13, 1, 65, 65, 112});
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
    QCOMPARE(pty.readAll(), burstOf({13, 1, 67, 52, 123}).repeated(2));
}

void TestPanelController::changeAddressMovesThePanel_data()
{
    QTest::addColumn<QString>("newAddress");
    QTest::addColumn<int>("sent");
    QTest::addColumn<QByteArray>("expected"); // "A" to card 1, then relay 1 on at the new address

    QTest::newRow("9") << "9" << 9 << burstOf({13, 1, 65, 9, 168}) + burstOf({13, 9, 83, 49, 102});
    QTest::newRow("2.5 keeps its text")
        << "2.5" << 2 << burstOf({13, 1, 65, 2, 175}) + burstOf({13, 2, 83, 49, 109});
    QTest::newRow("untouched new address box")
        << "49" << 49 << burstOf({13, 1, 65, 49, 128}) + burstOf({13, 49, 83, 49, 62});
    QTest::newRow("list entry") << " 200" << 200
                                << burstOf({13, 1, 65, 200, 233}) + burstOf({13, 200, 83, 49, 167});
}

void TestPanelController::changeAddressMovesThePanel()
{
    QFETCH(QString, newAddress);
    QFETCH(int, sent);
    QFETCH(QByteArray, expected);

    PseudoTerminal pty;
    Panel panel({pty.name()});
    panel.controller.start();
    panel.controller.changeAddress(newAddress);

    QCOMPARE(panel.view.texts.value(Box::Combo2), newAddress);
    QCOMPARE(panel.controller.cardAddress(), OptionalInt(sent));
    panel.controller.relayOn(1);
    QCOMPARE(pty.readAll(), expected);
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
    QCOMPARE(pty.readAll(), burstOf({13, 1, 65, 5, 172}));
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

void TestPanelController::hold_data()
{
    // How long a momentary button is held on the injected clock, and how many of its bursts
    // reach the line. The timer ticks every 80 ms and a burst takes 83 1/3 ms on the line: a
    // long hold sends what the line can carry, 12 bursts a second, never more.
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("heldMs");
    QTest::addColumn<int>("bursts");
    QTest::addColumn<QByteArray>("burst");

    QTest::newRow("released within the first tick")
        << 0 << 50 << 0 << burstOf({13, 1, 80, 49, 113});
    QTest::newRow("one tick") << 7 << 80 << 1 << burstOf({13, 1, 80, 56, 106});
    QTest::newRow("a little over 400 ms") << 2 << 410 << 5 << burstOf({13, 1, 80, 51, 111});
    QTest::newRow("two seconds") << 1 << 2000 << 24 << burstOf({13, 1, 80, 50, 112});
    QTest::newRow("ten seconds") << 4 << 10000 << 120 << burstOf({13, 1, 80, 53, 109});
    QTest::newRow("one minute") << 5 << 60000 << 720 << burstOf({13, 1, 80, 54, 108});
}

void TestPanelController::hold()
{
    QFETCH(int, index);
    QFETCH(int, heldMs);
    QFETCH(int, bursts);
    QFETCH(QByteArray, burst);

    PseudoTerminal pty;
    Panel panel({pty.name()});
    panel.controller.start();

    panel.controller.momentaryPress(index);
    const std::chrono::milliseconds held(heldMs);
    QByteArray received;
    for (auto elapsed = tick; elapsed <= held; elapsed += tick) {
        panel.ticks(1);
        received += pty.readAll(0ms);
    }
    panel.now += held % tick;
    panel.controller.momentaryRelease();
    received += pty.readAll();

    QCOMPARE(received.size(), bursts * burst.size());
    QCOMPARE(received, burst.repeated(bursts));
    QCOMPARE(panel.view.timerEnabled, false);
    QCOMPARE(panel.view.emergencyStopFocused, 1);
}

void TestPanelController::tickWaitsWhileABurstIsWaiting()
{
    PseudoTerminal pty;
    Panel panel({pty.name()});
    panel.controller.start();
    const QByteArray hold3 = burstOf({13, 1, 80, 51, 111});

    panel.controller.momentaryPress(2);
    panel.ticks(1);
    QCOMPARE(pty.readAll(), hold3);

    // A whole burst is still waiting for the line: the clock has not moved.
    QCOMPARE(panel.link.bytesWaiting(), 20);
    panel.controller.repeatTick();
    QCOMPARE(pty.readAll(), QByteArray());

    // One byte time later (1/240 s) the line has taken one byte: less than a burst is waiting.
    panel.now += std::chrono::microseconds(4167);
    QCOMPARE(panel.link.bytesWaiting(), 19);
    panel.controller.repeatTick();
    QCOMPARE(pty.readAll(), hold3);
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

    const QByteArray on5 = burstOf({13, 1, 83, 53, 106});
    QCOMPARE(pty.readAll(), burstOf({13, 1, 80, 50, 112}) + on5 + on5);
    QCOMPARE(panel.controller.sendBuffer(), on5);
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
    QCOMPARE(pty.readAll(), burstOf({13, 1, 83, 49, 110}));
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
    QCOMPARE(received, burstOf({13, 1, 83, 50, 109}).repeated(accepted));

    panel.controller.relayOn(3);
    QCOMPARE(pty.readAll(), burstOf({13, 1, 83, 51, 108}));
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
    QCOMPARE(adapter->readAll(), burstOf({13, 1, 83, 49, 110}));
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
