// The panel as a screen reader hears it: the real program in a real X window, its ports covered
// by a pseudo-terminal in a private mount namespace, read over the desktop's accessibility bus
// (AT-SPI) by pyatspi, the client library screen readers build on (accessibility/read-panel.py).
// Needs root, unshare, xdotool, an X display and a D-Bus session of its own: run it under
// `xvfb-run -a dbus-run-session --`. Exits 77 when it skipped, for CTest.

#include "support/CoveredPanel.h"
#include "support/ProcessOutcome.h"
#include "support/PseudoTerminal.h"
#include "support/SerialNodes.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

using namespace std::chrono_literals;

namespace {

constexpr auto busLauncher = "/usr/libexec/at-spi-bus-launcher";
constexpr auto python = "/usr/bin/python3"; // Debian's, which has Debian's pyatspi
constexpr auto pushButton = "push button";
constexpr auto comboBox = "combo box";

// A control as announced: what it is, what it is called (its name, or the name of its label),
// and its value.
struct Control
{
    QString role;
    QString announced;
    QString value;
};

// Every control the Tab key reaches, in the layout's tab order, with what the panel shows at
// start-up: port 1 open, card 1, new address 49.
QList<Control> tabOrder()
{
    QList<Control> controls{{comboBox, "Choose serial port", "1"}};
    for (const char *name : {"All relays on", "All relays off", "Emergency stop",
             "Show the card's address", "Give the card the new address"})
        controls.append({pushButton, name, {}});
    for (int relay = 1; relay <= 8; ++relay) {
        controls.append({pushButton, QStringLiteral("Relay %1 on").arg(relay), {}});
        controls.append({pushButton, QStringLiteral("Relay %1 off").arg(relay), {}});
    }
    controls.append({comboBox, "Card address", "1"});
    controls.append({comboBox, "New card address", "49"});
    for (const char *kind : {"Toggle relay %1", "Hold relay %1"}) {
        for (int relay = 1; relay <= 8; ++relay)
            controls.append({pushButton, QString::fromLatin1(kind).arg(relay), {}});
    }
    return controls;
}

// What a screen reader says a control is: its name, or, for an editable box, whose name is its
// text, the names of the labels it is labelled by.
Control announced(const QJsonObject &object)
{
    QString name = object.value("name").toString();
    if (object.value("role").toString() == QLatin1String(comboBox)) {
        QStringList labels;
        for (const auto &label : object.value("labels").toArray())
            labels.append(label.toString());
        name = labels.join(u' ');
    }
    return {object.value("role").toString(), name, object.value("value").toString()};
}

QString describe(const Control &control)
{
    return QStringLiteral("%1 \"%2\" (%3)").arg(control.role, control.announced, control.value);
}

ProcessOutcome run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    return finish(process, 30s);
}

} // namespace

class TestPanelAccessibility : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void announced_data();
    void announced();
    void noInternalNames();
    void tabOrderFollowsTheLayout();
    void cleanupTestCase();

public:
    bool ran() const { return !m_tree.isEmpty(); }

private:
    PseudoTerminal m_line;
    QProcess m_bus;
    CoveredPanel m_panel;
    QJsonArray m_tree;
    QList<Control> m_tabs;
};

void TestPanelAccessibility::initTestCase()
{
    if (const QString lacking = CoveredPanel::lacking(); !lacking.isEmpty())
        QSKIP(qPrintable("needs " + lacking));
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS") || !QFile::exists(busLauncher)
        || run(python, {"-c", "import pyatspi"}).exitCode != 0)
        QSKIP("needs a D-Bus session of its own, at-spi2-core and python3-pyatspi");
    QVERIFY(m_line.isValid());
    QString error;
    const QStringList serialNodes = SerialNodes::survey(m_line.name(), &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    if (serialNodes.isEmpty())
        QSKIP("this machine has no serial device node to stand in for");

    // The accessibility bus of this session, before the panel looks for it.
    m_bus.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_bus.start(busLauncher, {"--launch-immediately"});
    QVERIFY(m_bus.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(run("dbus-send",
                                 {"--session", "--print-reply", "--dest=org.freedesktop.DBus", "/",
                                     "org.freedesktop.DBus.NameHasOwner", "string:org.a11y.Bus"})
                                 .output.contains("true"),
        20000);

    // The panel talks to the accessibility bus whatever the desktop's settings say.
    QProcessEnvironment accessible;
    accessible.insert("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
    const QString failure
        = m_panel.start(QStringLiteral(RELAYPANEL), m_line.name(), serialNodes, accessible);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));

    const ProcessOutcome read = run(python,
        {QStringLiteral(ACCESSIBILITY_DIR "/read-panel.py"), QString::number(m_panel.processId()),
            QString::number(tabOrder().size())});
    QVERIFY2(read.exitCode == 0, qPrintable(read.errors));
    const QJsonObject result = QJsonDocument::fromJson(read.output).object();
    m_tree = result.value("tree").toArray();
    for (const auto &tab : result.value("tabs").toArray())
        m_tabs.append(::announced(tab.toObject()));
    QVERIFY(!m_tree.isEmpty());
}

void TestPanelAccessibility::announced_data()
{
    QTest::addColumn<QString>("role");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("value");
    for (const Control &control : tabOrder())
        QTest::newRow(qPrintable(control.announced))
            << control.role << control.announced << control.value;
}

// Each control is there once, shown, announced by what it is, with its text as its value.
void TestPanelAccessibility::announced()
{
    QFETCH(QString, role);
    QFETCH(QString, name);
    QFETCH(QString, value);
    QStringList found;
    for (const auto &entry : std::as_const(m_tree)) {
        const Control control = ::announced(entry.toObject());
        if (control.role == role && control.announced == name) {
            QVERIFY2(entry.toObject().value("showing").toBool(), qPrintable(describe(control)));
            found.append(control.value);
        }
    }
    QCOMPARE(found, QStringList{value});
}

// Nothing a screen reader reaches is called by a widget's name in the form (Label3, Combo2, ...).
void TestPanelAccessibility::noInternalNames()
{
    static const QRegularExpression internal(
        QStringLiteral("^(form|Label|Combo|Command|Frame|Timer)\\d*$"));
    for (const auto &entry : std::as_const(m_tree)) {
        const QString name = entry.toObject().value("name").toString();
        QVERIFY2(!internal.match(name).hasMatch(), qPrintable(name));
    }
}

// Tab takes the focus through every control in the layout's order, and back to the first.
void TestPanelAccessibility::tabOrderFollowsTheLayout()
{
    QList<Control> expected = tabOrder();
    expected.append(expected.first());
    QStringList walked;
    QStringList wanted;
    for (const Control &control : std::as_const(m_tabs))
        walked.append(describe(control));
    for (const Control &control : std::as_const(expected))
        wanted.append(describe(control));
    QCOMPARE(walked, wanted);
}

void TestPanelAccessibility::cleanupTestCase()
{
    m_panel.stop();
    if (m_bus.state() == QProcess::NotRunning)
        return;
    m_bus.terminate();
    finish(m_bus, 5s);
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    TestPanelAccessibility test;
    QTEST_SET_MAIN_SOURCE_PATH
    const int failures = QTest::qExec(&test, argc, argv);
    // A run that never read the panel has not passed: CTest takes 77 for "skipped".
    return failures == 0 && !test.ran() ? 77 : failures;
}

#include "tst_panelaccessibility.moc"
