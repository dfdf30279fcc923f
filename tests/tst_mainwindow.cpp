#include "serial/SerialLink.h"
#include "support/Bytes.h"
#include "support/Controls.h"
#include "support/PseudoTerminal.h"
#include "ui/MainWindow.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSet>
#include <QTest>
#include <QTimer>

using namespace std::chrono_literals;
using Box = PanelView::Box;
using OptionalInt = std::optional<qint16>;

namespace {

// The window on two pseudo-terminals as ports 1 and 2; counts how often each port is opened.
struct Panel
{
    Panel()
        : link([this](int port) {
              ++lookups[port];
              return port == 1 ? first.name() : port == 2 ? second.name() : QString();
          }),
          window(link)
    { }

    bool showActive()
    {
        window.show();
        window.activateWindow();
        return QTest::qWaitForWindowActive(&window);
    }

    template<typename T = QWidget>
    T *control(const QString &name, int index = -1) const
    {
        return findControl<T>(window, name, index);
    }

    QComboBox *combo(const char *name) const { return control<QComboBox>(name); }
    QTimer *timer() const { return window.findChild<QTimer *>("Timer2"); }
    OptionalInt cardAddress() const { return window.controller().cardAddress(); }

    QMap<int, int> lookups;
    PseudoTerminal first;
    PseudoTerminal second;
    SerialLink link;
    MainWindow window;
};

// The control that has the keyboard focus; an editable box's line edit stands for its box.
QWidget *focused()
{
    QWidget *widget = QApplication::focusWidget();
    if (qobject_cast<QLineEdit *>(widget) && qobject_cast<QComboBox *>(widget->parentWidget()))
        return widget->parentWidget();
    return widget;
}

QString describe(const QWidget *widget)
{
    if (!widget)
        return QStringLiteral("(none)");
    const QVariant index = widget->property("index");
    return index.isValid() ? QStringLiteral("%1(%2)").arg(widget->objectName()).arg(index.toInt())
                           : widget->objectName();
}

void typeInto(QComboBox *combo, const QString &text)
{
    combo->setFocus(Qt::TabFocusReason);
    QTest::keyClick(combo->lineEdit(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(combo->lineEdit(), Qt::Key_Delete);
    QTest::keyClicks(combo->lineEdit(), text);
}

void pickEntry(QComboBox *combo, int row)
{
    combo->showPopup();
    QAbstractItemView *list = combo->view();
    QVERIFY(QTest::qWaitForWindowExposed(list->window()));
    const QModelIndex entry = list->model()->index(row, 0);
    list->scrollTo(entry);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(entry).center());
    QTRY_VERIFY(!list->isVisible());
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void stateAfterStart();
    void typingAnAddress();
    void pickingAnAddress();
    void pickingAPortOpensItOnce();
    void leavingABoxCallsNothing();
    void newAddressBoxCallsNothingUntilClicked();
    void buttons_data();
    void buttons();
    void momentaryClick();
    void momentaryHold_data();
    void momentaryHold();
    void momentaryReleasedOutside();
    void tabThroughMomentaryButtons();
    void windowActivationDoesNotPress();
    void tabOrder();
    void layout_data();
    void layout();
    void stacking();
    void accessibleNames();
    void refusesToResize();
    void problemsMarkTheBox();
    void closeShutsDown();
    void icon();
    void snapshot();
};

void TestMainWindow::stateAfterStart()
{
    Panel panel;
    QVERIFY(panel.showActive());

    QCOMPARE(panel.window.windowTitle(), QStringLiteral("8 Channel relay board"));
    QCOMPARE(panel.combo("Combo1")->currentText(), QStringLiteral("1"));
    QCOMPARE(panel.combo("Combo2")->currentText(), QStringLiteral("1"));
    QCOMPARE(panel.combo("Combo3")->currentText(), QStringLiteral("49"));
    QCOMPARE(panel.combo("Combo1")->count(), 2);
    QCOMPARE(panel.combo("Combo1")->itemText(1), QStringLiteral("2"));
    for (const char *name : {"Combo2", "Combo3"}) {
        QComboBox *combo = panel.combo(name);
        QCOMPARE(combo->count(), 255);
        QCOMPARE(combo->itemText(0), QStringLiteral(" 1"));
        QCOMPARE(combo->itemText(254), QStringLiteral(" 255"));
    }
    QCOMPARE(panel.combo("Combo1")->toolTip(), QStringLiteral("Select the serial port"));
    QCOMPARE(focused(), panel.combo("Combo1"));
    QVERIFY(!panel.timer()->isActive());
    QCOMPARE(panel.timer()->interval(), 80);
    QCOMPARE(panel.timer()->timerType(), Qt::PreciseTimer);
    QVERIFY(panel.link.isOpen());
    QCOMPARE(panel.cardAddress(), OptionalInt(1));
}

void TestMainWindow::typingAnAddress()
{
    Panel panel;
    QVERIFY(panel.showActive());
    QComboBox *combo = panel.combo("Combo2");

    typeInto(combo, "1");
    QCOMPARE(panel.cardAddress(), OptionalInt(1));
    QTest::keyClick(combo->lineEdit(), Qt::Key_3);
    QCOMPARE(combo->currentText(), QStringLiteral("13"));
    QCOMPARE(panel.cardAddress(), OptionalInt(13));
    QTest::keyClick(combo->lineEdit(), Qt::Key_Backspace);
    QCOMPARE(panel.cardAddress(), OptionalInt(1));
    QTest::keyClicks(combo->lineEdit(), "2.5");
    QCOMPARE(panel.cardAddress(), OptionalInt(12));

    auto *relay1On = panel.control<QPushButton>("Command1");
    QTest::mouseClick(relay1On, Qt::LeftButton);
    QCOMPARE(panel.first.readAll(), burstOf({13, 12, 83, 49, 99}));
}

void TestMainWindow::pickingAnAddress()
{
    Panel panel;
    QVERIFY(panel.showActive());
    QComboBox *combo = panel.combo("Combo2");

    pickEntry(combo, 6);
    QCOMPARE(combo->currentText(), QStringLiteral(" 7"));
    QCOMPARE(panel.cardAddress(), OptionalInt(7));

    // Picking the entry already shown after typing over it reads it again.
    typeInto(combo, "9");
    QCOMPARE(panel.cardAddress(), OptionalInt(9));
    pickEntry(combo, 6);
    QCOMPARE(panel.cardAddress(), OptionalInt(7));
}

void TestMainWindow::pickingAPortOpensItOnce()
{
    Panel panel;
    QVERIFY(panel.showActive());
    QComboBox *combo = panel.combo("Combo1");
    const int opensOf2 = panel.lookups.value(2);

    pickEntry(combo, 1);
    QCOMPARE(combo->currentText(), QStringLiteral("2"));
    QCOMPARE(panel.lookups.value(2), opensOf2 + 1);

    // The port already shown is opened again when picked.
    pickEntry(combo, 1);
    QCOMPARE(panel.lookups.value(2), opensOf2 + 2);

    QTest::mouseClick(panel.control("Command4"), Qt::LeftButton);
    QCOMPARE(panel.second.readAll(), burstOf({13, 1, 67, 57, 118}));
    QCOMPARE(panel.first.readAll(), QByteArray());
}

void TestMainWindow::leavingABoxCallsNothing()
{
    Panel panel;
    QVERIFY(panel.showActive());
    QComboBox *combo = panel.combo("Combo1");

    // Typing the text of an entry opens that port once; leaving the box or pressing Enter is
    // not picking the entry.
    typeInto(combo, "2");
    const int opensOf2 = panel.lookups.value(2);
    QTest::keyClick(combo->lineEdit(), Qt::Key_Return);
    QTest::keyClick(combo->lineEdit(), Qt::Key_Tab);
    QCOMPARE(focused(), panel.control("Command3"));
    QCOMPARE(panel.lookups.value(2), opensOf2);
    QCOMPARE(combo->currentText(), QStringLiteral("2"));
}

void TestMainWindow::newAddressBoxCallsNothingUntilClicked()
{
    Panel panel;
    QVERIFY(panel.showActive());
    QComboBox *combo = panel.combo("Combo3");

    typeInto(combo, "77");
    QCOMPARE(panel.first.readAll(), QByteArray());
    QCOMPARE(panel.cardAddress(), OptionalInt(1));
    QCOMPARE(panel.combo("Combo2")->currentText(), QStringLiteral("1"));

    QTest::mouseClick(panel.control("Command7"), Qt::LeftButton);
    QCOMPARE(panel.first.readAll(), burstOf({13, 1, 65, 77, 100}));
    QCOMPARE(panel.combo("Combo2")->currentText(), QStringLiteral("77"));
    QCOMPARE(panel.cardAddress(), OptionalInt(77));

    QTest::mouseClick(panel.control("Command10"), Qt::LeftButton);
    QCOMPARE(panel.first.readAll(), burstOf({13, 77, 83, 51, 32}));
}

void TestMainWindow::buttons_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("index");
    QTest::addColumn<QByteArray>("expected");

    // Each relay's on, off and toggle burst, written out.
    const std::array<std::array<QByteArray, 3>, 8> relayBursts{{
        {burstOf({13, 1, 'S', '1', 110}), burstOf({13, 1, 'C', '1', 126}),
            burstOf({13, 1, 'T', '1', 109})},
        {burstOf({13, 1, 'S', '2', 109}), burstOf({13, 1, 'C', '2', 125}),
            burstOf({13, 1, 'T', '2', 108})},
        {burstOf({13, 1, 'S', '3', 108}), burstOf({13, 1, 'C', '3', 124}),
            burstOf({13, 1, 'T', '3', 107})},
        {burstOf({13, 1, 'S', '4', 107}), burstOf({13, 1, 'C', '4', 123}),
            burstOf({13, 1, 'T', '4', 106})},
        {burstOf({13, 1, 'S', '5', 106}), burstOf({13, 1, 'C', '5', 122}),
            burstOf({13, 1, 'T', '5', 105})},
        {burstOf({13, 1, 'S', '6', 105}), burstOf({13, 1, 'C', '6', 121}),
            burstOf({13, 1, 'T', '6', 104})},
        {burstOf({13, 1, 'S', '7', 104}), burstOf({13, 1, 'C', '7', 120}),
            burstOf({13, 1, 'T', '7', 103})},
        {burstOf({13, 1, 'S', '8', 103}), burstOf({13, 1, 'C', '8', 119}),
            burstOf({13, 1, 'T', '8', 102})},
    }};
    for (int relay = 1; relay <= 8; ++relay) {
        const auto &[on, off, toggle] = relayBursts.at(relay - 1);
        const char *onButton = relayOnButtons.at(relay - 1);
        const char *offButton = relayOffButtons.at(relay - 1);
        QTest::addRow("%s relay %d on", onButton, relay) << onButton << -1 << on;
        QTest::addRow("%s relay %d off", offButton, relay) << offButton << -1 << off;
        QTest::addRow("Command22(%d) toggle", relay - 1) << "Command22" << relay - 1 << toggle;
    }
    QTest::newRow("SET ALL") << "Command3" << -1 << burstOf({13, 1, 83, 57, 102});
    QTest::newRow("CLEAR ALL") << "Command4" << -1 << burstOf({13, 1, 67, 57, 118});
    QTest::newRow("emergency stop") << "Command5" << -1 << burstOf({13, 1, 69, 49, 124});
    QTest::newRow("show addr.") << "Command6" << -1 << burstOf({13, 1, 68, 49, 125});
    QTest::newRow("change addr. to 49") << "Command7" << -1 << burstOf({13, 1, 65, 49, 128});
}

void TestMainWindow::buttons()
{
    QFETCH(QString, name);
    QFETCH(int, index);
    QFETCH(QByteArray, expected);

    Panel panel;
    QVERIFY(panel.showActive());
    QWidget *button = panel.control(name, index);
    QVERIFY(button);
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(panel.first.readAll(), expected);
    QCOMPARE(panel.second.readAll(), QByteArray());
}

void TestMainWindow::momentaryClick()
{
    Panel panel;
    QVERIFY(panel.showActive());
    QWidget *hold = panel.control("Command24", 3);

    for (int round = 0; round < 2; ++round) {
        QTest::mousePress(hold, Qt::LeftButton);
        QCOMPARE(focused(), hold);
        QVERIFY(panel.timer()->isActive());
        QCOMPARE(panel.window.controller().relayNumber(), qint16(4));
        QTest::mouseRelease(hold, Qt::LeftButton);
        QCOMPARE(focused(), panel.control("Command5"));
        QVERIFY(!panel.timer()->isActive());
    }
    QCOMPARE(panel.first.readAll(100ms), QByteArray());
}

void TestMainWindow::momentaryHold_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QByteArray>("burst");
    QTest::newRow("Command24(0)") << 0 << burstOf({13, 1, 'P', '1', 113});
    QTest::newRow("Command24(1)") << 1 << burstOf({13, 1, 'P', '2', 112});
    QTest::newRow("Command24(2)") << 2 << burstOf({13, 1, 'P', '3', 111});
    QTest::newRow("Command24(3)") << 3 << burstOf({13, 1, 'P', '4', 110});
    QTest::newRow("Command24(4)") << 4 << burstOf({13, 1, 'P', '5', 109});
    QTest::newRow("Command24(5)") << 5 << burstOf({13, 1, 'P', '6', 108});
    QTest::newRow("Command24(6)") << 6 << burstOf({13, 1, 'P', '7', 107});
    QTest::newRow("Command24(7)") << 7 << burstOf({13, 1, 'P', '8', 106});
}

void TestMainWindow::momentaryHold()
{
    QFETCH(int, index);
    QFETCH(QByteArray, burst);
    Panel panel;
    QVERIFY(panel.showActive());
    QWidget *hold = panel.control("Command24", index);

    // Held: the relay's bursts come, on the timer's pace, for as long as the button is down.
    QTest::mousePress(hold, Qt::LeftButton);
    QByteArray received;
    QVERIFY(QTest::qWaitFor(
        [&] {
            received += panel.first.readAll(0ms);
            return received.size() >= 2 * burst.size();
        },
        10000));
    QTest::mouseRelease(hold, Qt::LeftButton);
    received += panel.first.readAll();
    QCOMPARE(received.size() % burst.size(), 0);
    QCOMPARE(received, burst.repeated(received.size() / burst.size()));

    // Released: the repeat timer is stopped, and a turn of the event loop writes nothing more.
    QVERIFY(!panel.timer()->isActive());
    QCoreApplication::processEvents();
    QCOMPARE(panel.first.readAll(0ms), QByteArray());
    QCOMPARE(panel.second.readAll(), QByteArray());
}

void TestMainWindow::momentaryReleasedOutside()
{
    Panel panel;
    QVERIFY(panel.showActive());
    QWidget *hold = panel.control("Command24", 2);

    QTest::mousePress(hold, Qt::LeftButton);
    QTest::mouseRelease(hold, Qt::LeftButton, {}, QPoint(-30, -30));
    QVERIFY(panel.timer()->isActive());
    QCOMPARE(focused(), hold);

    // The next click on it only lets it go.
    QTest::mousePress(hold, Qt::LeftButton);
    QTest::mouseRelease(hold, Qt::LeftButton);
    QVERIFY(!panel.timer()->isActive());
    QCOMPARE(focused(), panel.control("Command5"));
}

void TestMainWindow::tabThroughMomentaryButtons()
{
    Panel panel;
    QVERIFY(panel.showActive());
    panel.control("Command22", 7)->setFocus(Qt::OtherFocusReason);
    QVERIFY(!panel.timer()->isActive());

    QTest::keyClick(focused(), Qt::Key_Tab);
    QCOMPARE(focused(), panel.control("Command24", 0));
    QVERIFY(panel.timer()->isActive());
    QCOMPARE(panel.window.controller().relayNumber(), qint16(1));

    QTest::keyClick(focused(), Qt::Key_Tab);
    QCOMPARE(focused(), panel.control("Command24", 1));
    QCOMPARE(panel.window.controller().relayNumber(), qint16(2));
    QVERIFY(panel.timer()->isActive());

    QTest::keyClick(focused(), Qt::Key_Space);
    QVERIFY(!panel.timer()->isActive());
    QCOMPARE(focused(), panel.control("Command5"));
}

void TestMainWindow::windowActivationDoesNotPress()
{
    Panel panel;
    QVERIFY(panel.showActive());
    QWidget *hold = panel.control("Command24", 5);
    QTest::mousePress(hold, Qt::LeftButton);
    QTest::mouseRelease(hold, Qt::LeftButton, {}, QPoint(-30, -30));
    QCOMPARE(focused(), hold);
    panel.timer()->stop(); // stands for a repeat that has ended

    QWidget other;
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    panel.window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&panel.window));

    QCOMPARE(focused(), hold);
    QVERIFY(!panel.timer()->isActive());
}

void TestMainWindow::tabOrder()
{
    Panel panel;
    QVERIFY(panel.showActive());

    QStringList expected{"Combo1", "Command3", "Command4", "Command5", "Command6", "Command7"};
    for (int relay = 1; relay <= 8; ++relay) {
        const int on = relay == 1 ? 1 : 2 * relay + 4;
        expected << QStringLiteral("Command%1").arg(on) << QStringLiteral("Command%1").arg(on + 1);
    }
    expected << "Combo2"
             << "Combo3";
    for (int i = 0; i < 8; ++i)
        expected << QStringLiteral("Command22(%1)").arg(i);
    for (int i = 0; i < 8; ++i)
        expected << QStringLiteral("Command24(%1)").arg(i);

    QStringList forward{describe(focused())};
    for (int i = 0; i < expected.size(); ++i) {
        QTest::keyClick(focused(), Qt::Key_Tab);
        forward << describe(focused());
    }
    QCOMPARE(forward, expected + QStringList{"Combo1"});

    QStringList backward{describe(focused())};
    for (int i = 0; i < expected.size(); ++i) {
        QTest::keyClick(focused(), Qt::Key_Backtab, Qt::ShiftModifier);
        backward << describe(focused());
    }
    QStringList reversed(expected.rbegin(), expected.rend());
    QCOMPARE(backward, QStringList{"Combo1"} + reversed);
}

void TestMainWindow::layout_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("twips");

    const auto row = [](const char *name, int index, const char *caption, int left, int top,
                         int width, int height) {
        QTest::addRow("%s(%d)", name, index)
            << name << index << caption << QRect(left, top, width, height);
    };
    row("Label1", -1, "Choose serial port", 360, 240, 1335, 255);
    row("Combo1", -1, "1", 1800, 240, 615, 315);
    row("Frame1", -1, "Address", 3120, 120, 2775, 1215);
    row("Combo2", -1, "1", 3360, 360, 1095, 315);
    row("Combo3", -1, "49", 4680, 360, 1095, 315);
    row("Command6", -1, "show addr.", 3360, 720, 1095, 375);
    row("Command7", -1, "change addr.", 4680, 720, 1095, 375);
    row("Frame4", -1, "ON/OFF", 360, 1560, 5535, 1095);
    row("Command3", -1, "SET ALL", 4680, 1800, 1095, 375);
    row("Command4", -1, "CLEAR ALL", 4680, 2160, 1095, 375);
    row("Command5", -1, "Emergency   S  T  O  P", 4800, 2760, 975, 1935);
    row("Frame2", -1, "Toggle buttons", 360, 3120, 4095, 735);
    row("Frame3", -1, "Momentary buttons", 360, 3960, 4095, 735);
    const char *columnLabels[]
        = {"Label2", "Label3", "Label4", "Label5", "Label6", "Label7", "Label8", "Label9"};
    const int labelWidths[] = {255, 135, 255, 255, 255, 255, 135, 135};
    const char *digits[] = {"1", "2", "3", "4", "5", "6", "7", "8"};
    for (int i = 0; i < 8; ++i) {
        const int left = 480 * (i + 1);
        row(relayOnButtons.at(i), -1, "1", left, 1800, 375, 375);
        row(relayOffButtons.at(i), -1, "O", left, 2160, 375, 375);
        row(columnLabels[i], i == 1 ? 2 : -1, digits[i], left + 120, 2760, labelWidths[i], 255);
        row("Command22", i, digits[i], left, 3360, 375, 375);
        row("Command24", i, digits[i], left, 4200, 375, 375);
    }
    row("Label3", 0, "Label3", 360, 1680, 135, 15);
    row("Label3", 1, "Label3", 0, 0, 135, 15);
    row("Label3", 3, "Label3", 0, 0, 135, 15);
}

void TestMainWindow::layout()
{
    QFETCH(QString, name);
    QFETCH(int, index);
    QFETCH(QString, caption);
    QFETCH(QRect, twips);

    Panel panel;
    QVERIFY(panel.showActive());
    QWidget *control = panel.control(name, index);
    QVERIFY(control);
    QCOMPARE(control->parentWidget(), &panel.window);
    QCOMPARE(control->geometry(),
        QRect(twips.x() / 15, twips.y() / 15, twips.width() / 15, twips.height() / 15));
    if (auto *label = qobject_cast<QLabel *>(control))
        QCOMPARE(label->text(), caption);
    else if (auto *button = qobject_cast<QPushButton *>(control))
        QCOMPARE(button->text(), caption);
    else if (auto *frame = qobject_cast<QGroupBox *>(control))
        QCOMPARE(frame->title(), caption);
    else if (auto *combo = qobject_cast<QComboBox *>(control))
        QCOMPARE(combo->currentText(), caption);
    else
        QFAIL("unexpected kind of control");
    // Only the Label3 members that stand in for nothing are invisible.
    QCOMPARE(control->isVisible(), !(name == "Label3" && index != 2));
    QCOMPARE(control->toolTip().isEmpty(), name != "Combo1");
}

void TestMainWindow::stacking()
{
    // Group boxes lie above the labels they cover and below the buttons and boxes inside them.
    Panel panel;
    const QObjectList order = panel.window.children();
    const auto above = [&](QWidget *upper, QWidget *lower) {
        return order.indexOf(upper) > order.indexOf(lower);
    };
    QWidget *frame4 = panel.control("Frame4");
    QVERIFY(above(frame4, panel.control("Label3", 0)));
    QVERIFY(above(panel.control("Command1"), frame4));
    QVERIFY(above(panel.control("Command4"), frame4));
    QVERIFY(above(panel.control("Combo2"), panel.control("Frame1")));
    QVERIFY(above(panel.control("Command6"), panel.control("Frame1")));
    QVERIFY(above(panel.control("Command22", 0), panel.control("Frame2")));
    QVERIFY(above(panel.control("Command24", 7), panel.control("Frame3")));
}

void TestMainWindow::accessibleNames()
{
    Panel panel;
    QCOMPARE(panel.control("Command10")->accessibleName(), QStringLiteral("Relay 3 on"));
    QCOMPARE(panel.control("Command11")->accessibleName(), QStringLiteral("Relay 3 off"));
    QCOMPARE(panel.control("Command22", 4)->accessibleName(), QStringLiteral("Toggle relay 5"));
    QCOMPARE(panel.control("Command24", 7)->accessibleName(), QStringLiteral("Hold relay 8"));

    // The port box is announced with its label: screen readers follow the label relation.
    auto *label = qobject_cast<QLabel *>(panel.control("Label1"));
    QVERIFY(label);
    QCOMPARE(label->buddy(), panel.control("Combo1"));
    QAccessibleInterface *portBox = QAccessible::queryAccessibleInterface(panel.control("Combo1"));
    QVERIFY(portBox);
    const auto labelledBy = portBox->relations(QAccessible::Label);
    QCOMPARE(labelledBy.size(), 1);
    QCOMPARE(labelledBy.first().first->object(), label);

    QSet<QString> names;
    const QList<QPushButton *> buttons = panel.window.findChildren<QPushButton *>();
    for (const QPushButton *button : buttons) {
        QVERIFY2(!button->accessibleName().isEmpty(), qPrintable(describe(button)));
        names.insert(button->accessibleName());
    }
    QCOMPARE(names.size(), buttons.size());
    QCOMPARE(buttons.size(), 37);
}

void TestMainWindow::refusesToResize()
{
    Panel panel;
    QVERIFY(panel.showActive());
    const QSize size(413, 335);
    QCOMPARE(panel.window.size(), size);
    panel.window.resize(800, 600);
    QCOMPARE(panel.window.size(), size);
    QCOMPARE(panel.window.minimumSize(), size);
    QCOMPARE(panel.window.maximumSize(), size);

    const Qt::WindowFlags flags = panel.window.windowFlags();
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
}

void TestMainWindow::problemsMarkTheBox()
{
    Panel panel;
    QVERIFY(panel.showActive());
    QComboBox *combo = panel.combo("Combo1");
    const QColor normalText = combo->palette().color(QPalette::Text);

    typeInto(combo, "9");
    QCOMPARE(combo->toolTip(), QStringLiteral("Port 9 could not be opened: No such port"));
    QVERIFY(combo->palette().color(QPalette::Text) != normalText);
    QVERIFY(!panel.link.isOpen());

    typeInto(combo, "1");
    QCOMPARE(combo->toolTip(), QStringLiteral("Select the serial port"));
    QCOMPARE(combo->palette().color(QPalette::Text), normalText);
    QVERIFY(panel.link.isOpen());

    QComboBox *address = panel.combo("Combo2");
    typeInto(address, "300");
    QVERIFY(address->toolTip().contains("300"));
    typeInto(address, "30");
    QCOMPARE(address->toolTip(), QString());
}

void TestMainWindow::closeShutsDown()
{
    Panel panel;
    QVERIFY(panel.showActive());
    QWidget *hold = panel.control("Command24", 0);
    QTest::mousePress(hold, Qt::LeftButton);
    QVERIFY(panel.timer()->isActive());

    QVERIFY(panel.window.close());
    QVERIFY(!panel.link.isOpen());
    QVERIFY(!panel.timer()->isActive());
    // Whatever the close left queued runs now, with the port closed: nothing reaches the line.
    QCoreApplication::processEvents();
    QCOMPARE(panel.first.readAll(0ms), QByteArray());
}

void TestMainWindow::icon()
{
    Panel panel;
    const QImage image = panel.window.windowIcon().pixmap(32, 32).toImage();
    QCOMPARE(image.size(), QSize(32, 32));
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            colours.insert(image.pixel(x, y));
    }
    QVERIFY(colours.size() > 4);
    QVERIFY(colours.size() <= 16);
}

void TestMainWindow::snapshot()
{
    // Leaves a picture of the window beside the test, to look at without a display.
    Panel panel;
    QVERIFY(panel.showActive());
    const QPixmap picture = panel.window.grab();
    QCOMPARE(picture.size(), QSize(413, 335));
    QVERIFY(picture.save(QStringLiteral("relaypanel-window.png")));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
