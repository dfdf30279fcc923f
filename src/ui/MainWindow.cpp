#include "ui/MainWindow.h"

#include "ui/PanelButton.h"
#include "ui/WindowAccessible.h"

#include <QAccessible>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>

#include <algorithm>
#include <chrono>

using namespace std::chrono_literals;

// The icon lives in the library's resources, which a static link would otherwise drop.
static void initResources()
{
    Q_INIT_RESOURCE(ui);
}

// Qt keeps every factory it is given: one for the program, however many windows it makes.
static void installAccessibility()
{
    static const bool installed = [] {
        QAccessible::installFactory(&WindowAccessible::factory);
        return true;
    }();
    Q_UNUSED(installed);
}

namespace {

constexpr int twipsPerPixel = 15;
constexpr auto repeatPeriod = 80ms;
constexpr qreal minimumPointSize = 6.5;
constexpr char indexProperty[] = "index";
constexpr char tabIndexProperty[] = "tabIndex";
const QColor problemText(0x9c, 0x00, 0x06);
const QColor problemBase(0xff, 0xd7, 0xd7);

QRect fromTwips(int left, int top, int width, int height)
{
    return {
        left / twipsPerPixel, top / twipsPerPixel, width / twipsPerPixel, height / twipsPerPixel};
}

void place(QWidget *control, const char *name, const QRect &geometry, int tabIndex, int index = -1)
{
    control->setObjectName(QLatin1String(name));
    control->setGeometry(geometry);
    control->setProperty(tabIndexProperty, tabIndex);
    if (index >= 0)
        control->setProperty(indexProperty, index);
}

QString toolTipOf(PanelView::Box box)
{
    return box == PanelView::Box::Combo1 ? MainWindow::tr("Select the serial port") : QString();
}

// Left edge of a relay column, relay 1 to 8.
int columnLeft(int relay)
{
    return 480 * relay;
}

} // namespace

MainWindow::MainWindow(SerialLink &link, QWidget *parent)
    : QWidget(parent,
        Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
            | Qt::MSWindowsFixedSizeDialogHint),
      m_controller(*this, link)
{
    initResources();
    installAccessibility();
    setObjectName(QStringLiteral("form1"));
    setWindowTitle(tr("8 Channel relay board"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/relaypanel.xpm")));
    setFixedSize(fromTwips(0, 0, 6195, 5025).size());

    // Creation order is stacking order: labels lie under the group boxes, and the group boxes
    // under the buttons and boxes drawn inside them.
    createLabels();
    fitFont();
    createFrames();
    createComboBoxes();
    createButtons();
    createRelayGrid();
    createButtonArrays();
    orderTabs();

    m_repeatTimer = new QTimer(this);
    m_repeatTimer->setObjectName(QStringLiteral("Timer2"));
    m_repeatTimer->setTimerType(Qt::PreciseTimer);
    m_repeatTimer->setInterval(repeatPeriod);
    connect(m_repeatTimer, &QTimer::timeout, this, [this] { m_controller.repeatTick(); });

    m_controller.start();
    box(Box::Combo1)->setFocus();
}

MainWindow::~MainWindow()
{
    shutdownOnce();
}

void MainWindow::createLabels()
{
    place(new QLabel(tr("Choose serial port"), this), "Label1", fromTwips(360, 240, 1335, 255), 1);

    struct ColumnLabel
    {
        const char *name;
        int index;
        int width;
        int tabIndex;
    };
    constexpr ColumnLabel columnLabels[relayCount] = {
        {"Label2", -1, 255, 7},
        {"Label3", 2, 135, 10},
        {"Label4", -1, 255, 12},
        {"Label5", -1, 255, 13},
        {"Label6", -1, 255, 14},
        {"Label7", -1, 255, 15},
        {"Label8", -1, 135, 16},
        {"Label9", -1, 135, 17},
    };
    for (int relay = 1; relay <= relayCount; ++relay) {
        const ColumnLabel &label = columnLabels[relay - 1];
        place(new QLabel(QString::number(relay), this), label.name,
            fromTwips(columnLeft(relay) + 120, 2760, label.width, 255), label.tabIndex,
            label.index);
    }

    // The rest of the Label3 array: one pixel high, never shown, referred to by nothing.
    struct HiddenLabel
    {
        int index;
        int left;
        int top;
        int tabIndex;
    };
    constexpr HiddenLabel hiddenLabels[] = {{0, 360, 1680, 8}, {1, 0, 0, 9}, {3, 0, 0, 11}};
    for (const HiddenLabel &hidden : hiddenLabels) {
        auto *label = new QLabel(QStringLiteral("Label3"), this);
        place(label, "Label3", fromTwips(hidden.left, hidden.top, 135, 15), hidden.tabIndex,
            hidden.index);
        label->hide();
    }
}

void MainWindow::fitFont()
{
    // The layout was drawn for a small font. Where the desktop's default is larger, the window
    // takes the same family a little smaller, rather than cut its captions off.
    const auto *widest = findChild<QLabel *>(QStringLiteral("Label1"));
    QFont font = this->font();
    while (font.pointSizeF() > minimumPointSize
        && QFontMetrics(font).horizontalAdvance(widest->text()) > widest->width())
        font.setPointSizeF(font.pointSizeF() - 0.5);
    setFont(font);
}

void MainWindow::createFrames()
{
    place(new QGroupBox(tr("Address"), this), "Frame1", fromTwips(3120, 120, 2775, 1215), 36);
    place(new QGroupBox(tr("ON/OFF"), this), "Frame4", fromTwips(360, 1560, 5535, 1095), 55);
    place(new QGroupBox(tr("Toggle buttons"), this), "Frame2", fromTwips(360, 3120, 4095, 735), 45);
    place(new QGroupBox(tr("Momentary buttons"), this), "Frame3", fromTwips(360, 3960, 4095, 735),
        54);
}

void MainWindow::createComboBoxes()
{
    struct BoxPlace
    {
        Box box;
        const char *name;
        QRect geometry;
        int tabIndex;
        const char *initialText;
        const char *accessibleName;
    };
    const BoxPlace places[] = {
        // The port box is announced by its label, Label1.
        {Box::Combo1, "Combo1", fromTwips(1800, 240, 615, 315), 0, "", nullptr},
        {Box::Combo2, "Combo2", fromTwips(3360, 360, 1095, 315), 34, "49",
            QT_TR_NOOP("Card address")},
        {Box::Combo3, "Combo3", fromTwips(4680, 360, 1095, 315), 35, "49",
            QT_TR_NOOP("New card address")},
    };
    // An editable box is announced by its label on Linux, its accessible name being its text:
    // the address boxes, which show no label, are given hidden ones.
    for (const BoxPlace &p : places) {
        auto *combo = new QComboBox(this);
        place(combo, p.name, p.geometry, p.tabIndex);
        combo->setEditable(true);
        // Typing is free text: no completion from the list, Enter adds nothing to it.
        combo->setCompleter(nullptr);
        combo->setInsertPolicy(QComboBox::NoInsert);
        // Nor does leaving the box or pressing Enter pick the entry whose text was typed.
        disconnect(combo->lineEdit(), &QLineEdit::editingFinished, combo, nullptr);
        combo->setEditText(QLatin1String(p.initialText));
        if (p.accessibleName) {
            combo->setAccessibleName(tr(p.accessibleName));
            auto *label = new QLabel(tr(p.accessibleName), this);
            label->setBuddy(combo);
            label->hide();
        }
        combo->setToolTip(toolTipOf(p.box));
        m_boxes.at(static_cast<std::size_t>(p.box)) = combo;
    }
    findChild<QLabel *>(QStringLiteral("Label1"))->setBuddy(box(Box::Combo1));

    // Change is the operator's typing (the program's setText raises it itself); Click is an
    // entry picked from the list, even the one already shown.
    for (Box which : {Box::Combo1, Box::Combo2}) {
        QComboBox *combo = box(which);
        connect(
            combo->lineEdit(), &QLineEdit::textEdited, this, [this, which] { raiseChange(which); });
        connect(combo, &QComboBox::activated, this, [this, which] { raiseChange(which); });
    }
}

void MainWindow::createButtons()
{
    auto *setAll = addButton("Command3", QStringLiteral("SET ALL"),
        fromTwips(4680, 1800, 1095, 375), 2, tr("All relays on"));
    connect(setAll, &QPushButton::clicked, this, [this] { m_controller.allOn(); });

    auto *clearAll = addButton("Command4", QStringLiteral("CLEAR ALL"),
        fromTwips(4680, 2160, 1095, 375), 3, tr("All relays off"));
    connect(clearAll, &QPushButton::clicked, this, [this] { m_controller.allOff(); });

    m_emergencyStop = addButton("Command5", QStringLiteral("Emergency   S  T  O  P"),
        fromTwips(4800, 2760, 975, 1935), 4, tr("Emergency stop"));
    connect(m_emergencyStop, &QPushButton::clicked, this, [this] { m_controller.emergencyStop(); });

    auto *showAddress = addButton("Command6", QStringLiteral("show addr."),
        fromTwips(3360, 720, 1095, 375), 5, tr("Show the card's address"));
    connect(showAddress, &QPushButton::clicked, this, [this] { m_controller.showAddress(); });

    auto *changeAddress = addButton("Command7", QStringLiteral("change addr."),
        fromTwips(4680, 720, 1095, 375), 6, tr("Give the card the new address"));
    connect(changeAddress, &QPushButton::clicked, this,
        [this] { m_controller.changeAddress(box(Box::Combo3)->currentText()); });
}

void MainWindow::createRelayGrid()
{
    // ON and OFF button of each relay, in relay order.
    constexpr const char *onButtons[relayCount] = {"Command1", "Command8", "Command10", "Command12",
        "Command14", "Command16", "Command18", "Command20"};
    constexpr const char *offButtons[relayCount] = {"Command2", "Command9", "Command11",
        "Command13", "Command15", "Command17", "Command19", "Command21"};
    for (int relay = 1; relay <= relayCount; ++relay) {
        const int tabIndex = 16 + 2 * relay;
        auto *on = addButton(onButtons[relay - 1], QStringLiteral("1"),
            fromTwips(columnLeft(relay), 1800, 375, 375), tabIndex, tr("Relay %1 on").arg(relay));
        connect(on, &QPushButton::clicked, this, [this, relay] { m_controller.relayOn(relay); });
        auto *off = addButton(offButtons[relay - 1], QStringLiteral("O"),
            fromTwips(columnLeft(relay), 2160, 375, 375), tabIndex + 1,
            tr("Relay %1 off").arg(relay));
        connect(off, &QPushButton::clicked, this, [this, relay] { m_controller.relayOff(relay); });
    }
}

void MainWindow::createButtonArrays()
{
    for (int index = 0; index < relayCount; ++index) {
        const QString caption = QString::number(index + 1);
        const int left = columnLeft(index + 1);

        auto *toggle = addButton("Command22", caption, fromTwips(left, 3360, 375, 375), 37 + index,
            tr("Toggle relay %1").arg(index + 1), index);
        connect(toggle, &QPushButton::clicked, this,
            [this, index] { m_controller.toggleRelay(index); });

        auto *hold = addButton("Command24", caption, fromTwips(left, 4200, 375, 375), 46 + index,
            tr("Hold relay %1").arg(index + 1), index);
        connect(hold, &PanelButton::gainedFocus, this,
            [this, index] { m_controller.momentaryPress(index); });
        connect(hold, &QPushButton::clicked, this, [this] { m_controller.momentaryRelease(); });
    }
}

void MainWindow::orderTabs()
{
    QList<QWidget *> chain;
    for (QWidget *control : findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        if (control->focusPolicy() & Qt::TabFocus)
            chain.append(control);
    }
    std::sort(chain.begin(), chain.end(), [](QWidget *a, QWidget *b) {
        return a->property(tabIndexProperty).toInt() < b->property(tabIndexProperty).toInt();
    });
    for (qsizetype i = 1; i < chain.size(); ++i)
        setTabOrder(chain.at(i - 1), chain.at(i));
}

PanelButton *MainWindow::addButton(const char *name, const QString &caption, const QRect &geometry,
    int tabIndex, const QString &accessibleName, int index)
{
    auto *button = new PanelButton(caption, this);
    place(button, name, geometry, tabIndex, index);
    button->setAccessibleName(accessibleName);
    return button;
}

QComboBox *MainWindow::box(Box which) const
{
    return m_boxes.at(static_cast<std::size_t>(which));
}

void MainWindow::raiseChange(Box which)
{
    const QString text = box(which)->currentText();
    if (which == Box::Combo1)
        m_controller.selectPort(text);
    else if (which == Box::Combo2)
        m_controller.selectAddress(text);
}

void MainWindow::appendItem(Box which, const QString &text)
{
    appendItems(which, {text});
}

void MainWindow::appendItems(Box which, const QStringList &texts)
{
    // Adding the first entry would make it the box's text; the box keeps what it shows.
    QComboBox *combo = box(which);
    const QString shown = combo->currentText();
    combo->addItems(texts);
    if (combo->currentText() != shown)
        combo->setEditText(shown);
}

void MainWindow::setText(Box which, const QString &text)
{
    box(which)->setEditText(text);
    raiseChange(which);
}

QString MainWindow::firstItem(Box which) const
{
    return box(which)->itemText(0);
}

void MainWindow::setRepeatTimer(bool enabled)
{
    // Another press while repeating keeps the running period.
    if (!enabled)
        m_repeatTimer->stop();
    else if (!m_repeatTimer->isActive())
        m_repeatTimer->start();
}

void MainWindow::focusEmergencyStop()
{
    m_emergencyStop->setFocus(Qt::OtherFocusReason);
}

void MainWindow::showProblem(Box which, const QString &text)
{
    QComboBox *combo = box(which);
    if (text.isEmpty()) {
        combo->setPalette(QPalette());
        combo->setToolTip(toolTipOf(which));
    } else {
        QPalette marked = combo->palette();
        marked.setColor(QPalette::Text, problemText);
        marked.setColor(QPalette::Base, problemBase);
        combo->setPalette(marked);
        combo->setToolTip(text);
    }
    combo->setAccessibleDescription(text);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    shutdownOnce();
    event->accept();
}

void MainWindow::shutdownOnce()
{
    if (m_shutDown)
        return;
    m_shutDown = true;
    m_repeatTimer->stop();
    m_controller.shutdown();
}
