// SerialNodes: the commands that put a pseudo-terminal over serial device nodes, and the check
// that refuses to go on while one is left uncovered. Nothing here opens a device: nodes are
// compared by stat(), and binds happen only as root inside `unshare --mount`.

#include "support/PseudoTerminal.h"
#include "support/SerialNodes.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace {

bool canBind()
{
    return ::geteuid() == 0 && !QStandardPaths::findExecutable("unshare").isEmpty();
}

bool writeFile(const QString &path, const QByteArray &text, bool executable = false)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        return false;
    file.close();
    return !executable || file.setPermissions(file.permissions() | QFile::ExeOwner);
}

} // namespace

class TestSerialNodes : public QObject
{
    Q_OBJECT

private slots:
    void bindCommand_data();
    void bindCommand();
    void uncovered_data();
    void uncovered();
    void check_data();
    void check();
    void command_data();
    void command();

private:
    PseudoTerminal m_line;
};

void TestSerialNodes::bindCommand_data()
{
    QTest::addColumn<QStringList>("nodes");
    QTest::newRow("none") << QStringList();
    QTest::newRow("ports") << QStringList{"/dev/ttyS0", "/dev/rfcomm0", "/dev/ttyGS1"};
    QTest::newRow("blank") << QStringList{"/dev/odd name", "/dev/tab\there"};
    QTest::newRow("quotes") << QStringList{"/dev/it's", "/dev/\"x\"", "/dev/''"};
    QTest::newRow("shell") << QStringList{
        "/dev/$(touch injected)", "/dev/`touch injected`;x", "/dev/a\\b|c&d>e*", "/dev/new\nline"};
}

void TestSerialNodes::bindCommand()
{
    QFETCH(QStringList, nodes);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // A mount that only notes its arguments, NUL after each, the count first.
    QVERIFY(QDir(dir.path()).mkdir("bin"));
    QVERIFY(writeFile(dir.filePath("bin/mount"),
        "#!/bin/sh\nprintf '%s\\0' \"$#\" \"$@\" >>\"$MOUNT_LOG\"\n", true));
    const QString line = "/dev/pts/it's 7";

    QProcess shell;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("PATH", dir.filePath("bin") + ':' + environment.value("PATH"));
    environment.insert("MOUNT_LOG", dir.filePath("log"));
    shell.setProcessEnvironment(environment);
    shell.setWorkingDirectory(dir.path());
    shell.start("sh", {"-c", SerialNodes::bindCommand(line, nodes)});
    QVERIFY(shell.waitForFinished());
    QCOMPARE(shell.exitCode(), 0);

    QList<QStringList> calls;
    QFile log(dir.filePath("log"));
    if (log.open(QIODevice::ReadOnly)) {
        QList<QByteArray> words = log.readAll().split('\0');
        words.removeLast();
        while (!words.isEmpty()) {
            const int count = words.takeFirst().toInt();
            QVERIFY(count <= words.size());
            QStringList call;
            for (int i = 0; i < count; ++i)
                call << QFile::decodeName(words.takeFirst());
            calls << call;
        }
    }
    QList<QStringList> expected;
    for (const QString &node : nodes)
        expected << QStringList{"--bind", "--", line, node};
    QCOMPARE(calls, expected);
    QVERIFY(!QFile::exists(dir.filePath("injected")));
}

void TestSerialNodes::uncovered_data()
{
    QTest::addColumn<bool>("lineIsPty");
    QTest::addColumn<QStringList>("nodes");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("the line") << true << QStringList{"pty"} << QStringList();
    QTest::newRow("another device") << true << QStringList{"pty", "null"} << QStringList{"null"};
    QTest::newRow("not a device") << true << QStringList{"file", "pty"} << QStringList{"file"};
    QTest::newRow("not there") << true << QStringList{"gone", "dangling", "pty"} << QStringList();
    // Whatever stands in must be a pseudo-terminal, or it covers nothing.
    QTest::newRow("line not a pty") << false << QStringList{"null", "gone"} << QStringList{"null"};
}

void TestSerialNodes::uncovered()
{
    QFETCH(bool, lineIsPty);
    QFETCH(QStringList, nodes);
    QFETCH(QStringList, expected);
    QVERIFY(m_line.isValid());
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // Symbolic links: stat() follows them to the device, as an open() would.
    QVERIFY(QFile::link(m_line.name(), dir.filePath("pty")));
    QVERIFY(QFile::link("/dev/null", dir.filePath("null")));
    QVERIFY(QFile::link(dir.filePath("nothing"), dir.filePath("dangling")));
    QVERIFY(writeFile(dir.filePath("file"), "not a device"));

    const auto paths = [&dir](const QStringList &names) {
        QStringList list;
        for (const QString &name : names)
            list << dir.filePath(name);
        return list;
    };
    const QString line = lineIsPty ? m_line.name() : QStringLiteral("/dev/null");
    QCOMPARE(SerialNodes::uncovered(line, paths(nodes)), paths(expected));
}

void TestSerialNodes::check_data()
{
    QTest::addColumn<QStringList>("bound");
    QTest::addColumn<QStringList>("checked");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("all bound") << QStringList{"a", "it's odd"} << QStringList{"a", "it's odd"} << 0;
    QTest::newRow("one left") << QStringList{"a"} << QStringList{"a", "it's odd"}
                              << SerialNodes::refused;
    QTest::newRow("none bound") << QStringList() << QStringList{"a"} << SerialNodes::refused;
}

void TestSerialNodes::check()
{
    if (!canBind())
        QSKIP("binds need root and unshare");
    QFETCH(QStringList, bound);
    QFETCH(QStringList, checked);
    QFETCH(int, exitCode);
    QVERIFY(m_line.isValid());
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QStringList boundPaths, checkedPaths;
    for (const QString &name : checked) {
        QVERIFY(writeFile(dir.filePath(name), "a stand-in node"));
        checkedPaths << dir.filePath(name);
        if (bound.contains(name))
            boundPaths << dir.filePath(name);
    }

    const ProcessOutcome outcome
        = SerialNodes::inNamespace(SerialNodes::bindCommand(m_line.name(), boundPaths) + " && "
            + SerialNodes::checkCommand(m_line.name(), checkedPaths));
    QCOMPARE(outcome.exitCode, exitCode);
    for (const QString &path : checkedPaths)
        QCOMPARE(outcome.errors.contains(path), !boundPaths.contains(path));
    // The binds stayed in their namespace.
    for (const QString &path : checkedPaths)
        QVERIFY(QFileInfo(path).isFile());
}

void TestSerialNodes::command_data()
{
    QTest::addColumn<bool>("leaveOneOut");
    QTest::newRow("every node") << false;
    QTest::newRow("one left out") << true;
}

void TestSerialNodes::command()
{
    if (!canBind())
        QSKIP("binds need root and unshare");
    QFETCH(bool, leaveOneOut);
    QVERIFY(m_line.isValid());
    QString error;
    QStringList nodes = SerialNodes::survey(m_line.name(), &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    if (nodes.isEmpty())
        QSKIP("this machine has no serial device node");
    const QString left = leaveOneOut ? nodes.takeFirst() : QString();

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString program = dir.filePath("program");
    QVERIFY(writeFile(program, "#!/bin/sh\ntouch \"$0.ran\"\n", true));
    const ProcessOutcome outcome
        = SerialNodes::inNamespace(SerialNodes::command(m_line.name(), nodes, program));
    QCOMPARE(outcome.exitCode, leaveOneOut ? SerialNodes::refused : 0);
    QCOMPARE(QFile::exists(program + ".ran"), !leaveOneOut);
    if (leaveOneOut)
        QVERIFY2(outcome.errors.contains(left), qPrintable(outcome.errors));
}

QTEST_GUILESS_MAIN(TestSerialNodes)
#include "tst_serialnodes.moc"
