// Who owns a serial port: the line's local socket as relay-mqtt makes it (its owner, group and
// mode, a stale one replaced, a live one left alone) and as relayctl and the panel find it
// (the same device by any name, only a door that answers).

#include "relay-mqtt/BridgeOptions.h"
#include "relay-mqtt/line/RelayLine.h"
#include "relay-mqtt/live/LiveClients.h"
#include "relay-mqtt/live/RelayApi.h"
#include "relay-mqtt/local/LocalDoor.h"
#include "serial/PortOwner.h"
#include "support/FakeDoor.h"

#include <QFile>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QTest>

#include <grp.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Door
{
    QString file;
    FakeDoor::Kind kind;
    QString device;
    bool up = true; // the owner has the port open, rather than waiting for it
};

} // namespace

Q_DECLARE_METATYPE(QList<Door>)

class TestLineOwner : public QObject
{
    Q_OBJECT

private slots:
    void findsTheOwner_data();
    void findsTheOwner();
    void searchesInstanceFolders();
    void doorIsForTheSerialGroup();
    void doorReplacesOnlyAStaleSocket();
};

void TestLineOwner::findsTheOwner_data()
{
    QTest::addColumn<QList<Door>>("doors");
    QTest::addColumn<QString>("asked");
    // The door whose owner is found; empty for none.
    QTest::addColumn<QString>("owner");

    using Kind = FakeDoor::Kind;
    // "link" is a symbolic link to /dev/null in the doors' folder, as /dev/serial/by-id/ has.
    QTest::newRow("the device itself")
        << QList<Door>{{"a.sock", Kind::Answering, "/dev/null"}} << "/dev/null"
        << "a.sock";
    QTest::newRow("a symbolic link to it")
        << QList<Door>{{"a.sock", Kind::Answering, "/dev/null"}} << "link"
        << "a.sock";
    QTest::newRow("the owner names the link")
        << QList<Door>{{"a.sock", Kind::Answering, "link"}} << "/dev/null"
        << "a.sock";
    QTest::newRow("another device")
        << QList<Door>{{"a.sock", Kind::Answering, "/dev/zero"}} << "/dev/null"
        << "";
    QTest::newRow("among others") << QList<Door>{{"a.sock", Kind::Answering, "/dev/zero"},
        {"b.sock", Kind::Answering, "/dev/null"}, {"c.sock", Kind::Answering, "/dev/full"}}
                                  << "/dev/null"
                                  << "b.sock";
    QTest::newRow("a device pulled out, by its path")
        << QList<Door>{{"a.sock", Kind::Answering, "/dev/ttyGone7"}} << "/dev/ttyGone7"
        << "a.sock";
    QTest::newRow("left by a killed owner")
        << QList<Door>{{"a.sock", Kind::Stale, "/dev/null"}} << "/dev/null"
        << "";
    QTest::newRow("a stale one, then the live one")
        << QList<Door>{{"a.sock", Kind::Stale, "/dev/null"},
               {"b.sock", Kind::Answering, "/dev/null"}}
        << "/dev/null"
        << "b.sock";
    QTest::newRow("a silent one is passed by") << QList<Door>{{"a.sock", Kind::Silent, "/dev/null"},
        {"b.sock", Kind::Answering, "/dev/null"}}
                                               << "/dev/null"
                                               << "b.sock";
    QTest::newRow("the one that has it open")
        << QList<Door>{{"a.sock", Kind::Answering, "/dev/null", false},
               {"b.sock", Kind::Answering, "/dev/null"}}
        << "/dev/null"
        << "b.sock";
    QTest::newRow("one waiting for it, alone")
        << QList<Door>{{"a.sock", Kind::Answering, "/dev/null", false}} << "/dev/null"
        << "a.sock";
    QTest::newRow("not a door's name")
        << QList<Door>{{"a.socket", Kind::Answering, "/dev/null"}} << "/dev/null"
        << "";
}

void TestLineOwner::findsTheOwner()
{
    QFETCH(QList<Door>, doors);
    QFETCH(QString, asked);
    QFETCH(QString, owner);

    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    QVERIFY(QFile::link("/dev/null", folder.filePath("link")));
    const auto inFolder = [&folder](const QString &path) {
        return path.startsWith(u'/') ? path : folder.filePath(path);
    };
    std::vector<std::unique_ptr<FakeDoor>> fakes;
    for (const Door &door : doors) {
        fakes.push_back(std::make_unique<FakeDoor>(folder.filePath(door.file), door.kind,
            FakeDoor::hello(inFolder(door.device), "bench", "http://127.0.0.1:8080/", door.up)));
        QVERIFY(fakes.back()->isValid());
    }

    const std::optional<PortOwner> found = PortOwner::find(inFolder(asked), {folder.path()});
    QCOMPARE(found ? found->door : QString(), owner.isEmpty() ? QString() : folder.filePath(owner));
    if (found) {
        QCOMPARE(found->name, QStringLiteral("bench"));
        QCOMPARE(found->description(),
            QStringLiteral("relay-mqtt (bench) owns it; its page: http://127.0.0.1:8080/"));
    }
}

void TestLineOwner::searchesInstanceFolders()
{
    QTemporaryDir runtime;
    QVERIFY(runtime.isValid());
    QVERIFY(QDir(runtime.path()).mkpath("relay-mqtt/bench"));
    FakeDoor door(runtime.filePath("relay-mqtt/bench/bench.sock"), FakeDoor::Kind::Answering,
        FakeDoor::hello("/dev/null", "bench"));
    QVERIFY(door.isValid());
    const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    const std::optional<PortOwner> found = PortOwner::find("/dev/null");
    qputenv("XDG_RUNTIME_DIR", saved);
    QVERIFY(found);
    QCOMPARE(found->door, runtime.filePath("relay-mqtt/bench/bench.sock"));
}

void TestLineOwner::doorIsForTheSerialGroup()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    BridgeOptions options;
    RelayLine line(options);
    CommandCounts counts;
    RelayApi api(options, line, counts);
    LiveClients live(api, line);
    LocalDoor door(live, [] { return QStringLiteral(R"({"type":"line","device":"/dev/null"})"); });
    const QString path = folder.filePath("run/bench.sock");
    const mode_t umask = ::umask(0);
    const bool opened = door.open(path);
    ::umask(umask);
    QVERIFY2(opened, qPrintable(door.errorString()));

    struct stat socket = {};
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &socket), 0);
    QVERIFY(S_ISSOCK(socket.st_mode));
    QCOMPARE(socket.st_uid, ::geteuid());
    const group *serial = ::getgrnam(LocalDoor::serialGroup);
    if (serial != nullptr && ::geteuid() == 0) {
        QCOMPARE(socket.st_gid, serial->gr_gid);
        QCOMPARE(socket.st_mode & 07777, mode_t(0660));
    } else {
        // Whoever cannot hand it to the group keeps it to themselves.
        QVERIFY(
            socket.st_gid == (serial ? serial->gr_gid : ~gid_t(0)) || (socket.st_mode & 077) == 0);
    }
    // The folder it made is its own to write, whatever the umask.
    const QFile::Permissions folderMode = QFile::permissions(folder.filePath("run"));
    QVERIFY(!(folderMode & (QFile::WriteGroup | QFile::WriteOther)));
    // Nothing is left beside it of how it was made.
    QCOMPARE(QDir(folder.filePath("run"))
                 .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System),
        QStringList{"bench.sock"});

    // A client hears first which device the door leads to.
    QLocalSocket client;
    client.connectToServer(path);
    QTRY_VERIFY(client.canReadLine());
    QCOMPARE(client.readLine(),
        QByteArray(R"({"type":"line","device":"/dev/null"})"
                   "\n"));

    door.close();
    QVERIFY(!QFile::exists(path));
}

void TestLineOwner::doorReplacesOnlyAStaleSocket()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    BridgeOptions options;
    RelayLine line(options);
    CommandCounts counts;
    RelayApi api(options, line, counts);
    LiveClients live(api, line);
    const auto hello = [] {
        return QStringLiteral(R"({"type":"line","device":"/dev/null"})");
    };

    const QString stalePath = folder.filePath("stale.sock");
    {
        FakeDoor stale(stalePath, FakeDoor::Kind::Stale);
        QVERIFY(stale.isValid());
    }
    LocalDoor replacing(live, hello);
    QVERIFY2(replacing.open(stalePath), qPrintable(replacing.errorString()));

    const QString livePath = folder.filePath("live.sock");
    FakeDoor other(livePath, FakeDoor::Kind::Answering, FakeDoor::hello("/dev/zero", "other"));
    QVERIFY(other.isValid());
    LocalDoor second(live, hello);
    QVERIFY(!second.open(livePath));
    QVERIFY(second.errorString().contains("another relay-mqtt"));
    QVERIFY(PortOwner::ask(livePath));

    const QString filePath = folder.filePath("file.sock");
    QFile plain(filePath);
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    LocalDoor third(live, hello);
    QVERIFY(!third.open(filePath));
    QVERIFY(QFile::exists(filePath));
}

QTEST_GUILESS_MAIN(TestLineOwner)
#include "tst_lineowner.moc"
