// A seeded, reproducible monkey over the real window: random clicks, presses released anywhere,
// typing, keys, timer ticks, port changes and a port that vanishes and comes back. The bytes
// that reach the two pseudo-terminals must always be whole bursts of four identical valid
// packets, a tick never writes while a burst is still waiting for the line, and nothing is
// written once the window has shut down. A failure names its seed; replay it with
// RELAYPANEL_MONKEY_SEED=<seed> (and RELAYPANEL_MONKEY_EVENTS for a shorter run).

#include "serial/SerialLink.h"
#include "support/PseudoTerminal.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTest>
#include <QTimer>

#include <array>
#include <chrono>
#include <memory>

using namespace std::chrono_literals;

namespace {

quint64 setting(const char *name, quint64 fallback)
{
    bool ok = false;
    const quint64 value = qEnvironmentVariable(name).toULongLong(&ok);
    return ok ? value : fallback;
}

// What is wrong with the bursts at the front of `bytes`, if anything; complete bursts are
// taken off, a burst still arriving stays.
QString takeBursts(QByteArray &bytes, int &taken)
{
    while (bytes.size() >= 20) {
        const QByteArray packet = bytes.first(5);
        int sum = 0;
        for (char c : packet)
            sum += quint8(c);
        if (quint8(packet.at(0)) != 13 || sum % 256 != 0 || bytes.first(20) != packet.repeated(4))
            return QStringLiteral("not a burst of four valid packets: %1")
                .arg(QString::fromLatin1(bytes.first(20).toHex(' ')));
        bytes.remove(0, 20);
        ++taken;
    }
    return {};
}

// Types as a keyboard would, characters QTest has no key for included.
void type(QWidget *widget, const QString &text)
{
    for (QChar c : text) {
        if (c.unicode() < 0x80)
            QTest::keyClick(widget, char(c.unicode()));
        else
            QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
}

const QString typeable = QStringLiteral("0123456789 .,-+eE1122abc\u0661\u00e9");

} // namespace

class TestMonkey : public QObject
{
    Q_OBJECT

private slots:
    void randomOperation();

private:
    QString act(int kind);
    QString checkLines();
    void replacePort2();

    QRandomGenerator m_random;
    std::chrono::nanoseconds m_now = 1h;
    std::array<std::unique_ptr<PseudoTerminal>, 2> m_ports;
    std::array<QByteArray, 2> m_received;
    std::array<int, 2> m_bursts{};
    int m_tickBursts = 0;
    std::unique_ptr<SerialLink> m_link;
    std::unique_ptr<MainWindow> m_window;
    QTimer *m_timer = nullptr;
    bool m_port2Gone = false;
};

void TestMonkey::replacePort2()
{
    m_ports[1] = std::make_unique<PseudoTerminal>();
    m_received[1].clear();
}

QString TestMonkey::checkLines()
{
    for (std::size_t i = 0; i < m_ports.size(); ++i) {
        if (m_ports[i]->isValid())
            m_received[i] += m_ports[i]->readAll(0ms);
        const QString problem = takeBursts(m_received[i], m_bursts[i]);
        if (!problem.isEmpty())
            return QStringLiteral("port %1: %2").arg(i + 1).arg(problem);
    }
    return {};
}

QString TestMonkey::act(int kind)
{
    QWidget &window = *m_window;
    const auto under = [&window](QPoint at) {
        QWidget *child = window.childAt(at);
        return child ? child : &window;
    };
    const auto anywhere = [this] {
        return QPoint(m_random.bounded(-40, 453), m_random.bounded(-40, 375));
    };
    switch (kind) {
    case 0: { // a click
        const QPoint at(m_random.bounded(413), m_random.bounded(335));
        QWidget *target = under(at);
        QTest::mouseClick(target, Qt::LeftButton, {}, target->mapFrom(&window, at));
        break;
    }
    case 1: { // a press released somewhere else, maybe outside the button or the window
        const QPoint pressed = anywhere();
        // The widget pressed keeps the mouse until it is released, wherever that is.
        QWidget *target = under(pressed);
        QTest::mousePress(target, Qt::LeftButton, {}, target->mapFrom(&window, pressed));
        QTest::mouseRelease(target, Qt::LeftButton, {}, target->mapFrom(&window, anywhere()));
        break;
    }
    case 2: { // typing into a box
        // Mostly the address boxes: text in the port box mostly closes the port.
        const int which = m_random.bounded(10);
        const char *name = which < 5 ? "Combo2" : which < 9 ? "Combo3" : "Combo1";
        auto *box = window.findChild<QComboBox *>(name);
        QTest::mouseClick(box->lineEdit(), Qt::LeftButton);
        QString text;
        for (int i = m_random.bounded(1, 5); i > 0; --i)
            text += typeable.at(m_random.bounded(int(typeable.size())));
        if (m_random.bounded(3) == 0)
            QTest::keyClick(box->lineEdit(), Qt::Key_A, Qt::ControlModifier);
        type(box->lineEdit(), text);
        break;
    }
    case 3: { // a key to whatever has the focus
        constexpr Qt::Key keys[] = {Qt::Key_Tab, Qt::Key_Backtab, Qt::Key_Space, Qt::Key_Return,
            Qt::Key_Up, Qt::Key_Down, Qt::Key_Backspace, Qt::Key_Escape};
        QWidget *target = QApplication::focusWidget() ? QApplication::focusWidget() : &window;
        const Qt::Key key = keys[m_random.bounded(int(std::size(keys)))];
        QTest::keyClick(target, key, key == Qt::Key_Backtab ? Qt::ShiftModifier : Qt::NoModifier);
        break;
    }
    case 4: { // time passes and the repeat timer ticks
        m_now += std::chrono::milliseconds(m_random.bounded(0, 170));
        if (!m_timer->isActive())
            break;
        const qint64 waiting = m_link->bytesWaiting();
        QMetaObject::invokeMethod(m_timer, "timeout");
        const qint64 written = m_link->bytesWaiting() - waiting;
        if (written != 0 && written != 20)
            return QStringLiteral("a tick wrote %1 bytes").arg(written);
        if (written != 0 && waiting >= 20)
            return QStringLiteral("a tick wrote with %1 bytes still waiting").arg(waiting);
        m_tickBursts += written != 0;
        break;
    }
    case 5: // port 2 is pulled out, or comes back
        if (m_port2Gone)
            replacePort2();
        else
            m_ports[1]->hangUp();
        m_port2Gone = !m_port2Gone;
        QCoreApplication::processEvents();
        break;
    default: // the port box is set to port 1 or 2
    {
        QLineEdit *port = window.findChild<QComboBox *>("Combo1")->lineEdit();
        QTest::mouseClick(port, Qt::LeftButton);
        QTest::keyClick(port, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(port, m_random.bounded(2) ? "1" : "2");
        break;
    }
    }
    return {};
}

void TestMonkey::randomOperation()
{
    const quint64 seed = setting("RELAYPANEL_MONKEY_SEED", 20261207);
    const quint64 events = setting("RELAYPANEL_MONKEY_EVENTS", 100000);
    m_random.seed(seed);
    qInfo("monkey seed %llu, %llu events", seed, events);

    m_ports[0] = std::make_unique<PseudoTerminal>();
    replacePort2();
    m_link = std::make_unique<SerialLink>([this](int port) {
        return port == 1 || port == 2 ? m_ports[port - 1]->name() : QString();
    });
    m_link->setClock([this] { return m_now; });
    m_window = std::make_unique<MainWindow>(*m_link);
    m_window->show();
    m_window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    m_timer = m_window->findChild<QTimer *>("Timer2");

    // Kinds of event, weighted: clicks, presses, typing, keys, ticks, a vanishing port, ports.
    constexpr int weights[] = {30, 10, 14, 12, 28, 1, 5};
    int total = 0;
    for (int weight : weights)
        total += weight;
    for (quint64 n = 0; n < events; ++n) {
        int pick = m_random.bounded(total);
        int kind = 0;
        while (pick >= weights[kind])
            pick -= weights[kind++];
        QString problem = act(kind);
        if (problem.isEmpty())
            problem = checkLines();
        if (!problem.isEmpty())
            QFAIL(
                qPrintable(QStringLiteral("seed %1, event %2: %3").arg(seed).arg(n).arg(problem)));
    }

    // Everything written arrives, in whole bursts: the link's queue empties into the lines.
    QString problem;
    QVERIFY(QTest::qWaitFor([&] {
        problem = checkLines();
        return !problem.isEmpty()
            || (m_link->queuedBytes() == 0 && m_received[0].isEmpty() && m_received[1].isEmpty());
    }));
    QVERIFY2(problem.isEmpty(), qPrintable(QStringLiteral("seed %1: %2").arg(seed).arg(problem)));
    QCOMPARE(m_received[0].size(), 0);
    QCOMPARE(m_received[1].size(), 0);
    qInfo("bursts on port 1: %d, on port 2: %d, of them from ticks: %d", m_bursts[0], m_bursts[1],
        m_tickBursts);
    // The monkey reached both lines and the held buttons.
    QVERIFY(m_bursts[0] > 0 && m_bursts[1] > 0 && m_tickBursts > 0);

    // A window that would write: port 1 open at card 1, as a click on SET ALL shows.
    for (const char *box : {"Combo1", "Combo2"}) {
        QLineEdit *edit = m_window->findChild<QComboBox *>(box)->lineEdit();
        QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(edit, "1");
    }
    QTest::mouseClick(m_window->findChild<QPushButton *>("Command3"), Qt::LeftButton);
    QCOMPARE(m_ports[0]->read(20, 2s), QByteArray("\r\x01S9f").repeated(4));

    // After shutdown nothing reaches either line, whatever still happens to the window: its
    // buttons are pressed (each one itself, as the window no longer passes clicks on) and the
    // repeat timer ticks.
    QVERIFY(m_window->close());
    const QList<QPushButton *> buttons = m_window->findChildren<QPushButton *>();
    QVERIFY(buttons.size() >= 28);
    int clicked = 0;
    for (QPushButton *button : buttons)
        connect(button, &QPushButton::clicked, this, [&clicked] { ++clicked; });
    constexpr int afterShutdown = 200;
    for (int n = 0; n < afterShutdown; ++n) {
        m_now += 80ms;
        QMetaObject::invokeMethod(m_timer, "timeout");
        QTest::mouseClick(buttons.at(m_random.bounded(int(buttons.size()))), Qt::LeftButton);
    }
    QCOMPARE(clicked, afterShutdown);
    // Whatever the clicks and ticks queued runs now: the link stayed closed, and wrote nothing.
    QCoreApplication::processEvents();
    QVERIFY(!m_link->isOpen());
    for (const auto &port : m_ports) {
        if (port->isValid())
            QCOMPARE(port->readAll(0ms), QByteArray());
    }
    m_window.reset();
}

QTEST_MAIN(TestMonkey)
#include "tst_monkey.moc"
