#include "relay-mqtt/local/LocalDoor.h"

#include "relay-mqtt/live/LiveClients.h"
#include "relay-mqtt/local/LocalClient.h"
#include "serial/PortOwner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

LocalDoor::LocalDoor(LiveClients &live, Hello hello, QObject *parent)
    : QObject(parent), m_live(live), m_hello(std::move(hello)), m_server(this)
{
    connect(&m_server, &QLocalServer::newConnection, this, &LocalDoor::accept);
}

LocalDoor::~LocalDoor()
{
    close();
}

bool LocalDoor::open(const QString &path)
{
    const QFileInfo where(path);
    const bool newFolder = !where.dir().exists();
    if (!QDir().mkpath(where.absolutePath()))
        return fail(tr("%1 cannot be made").arg(where.absolutePath()));
    // Whatever the umask: a door others could replace would lead relayctl anywhere.
    if (newFolder && ::chmod(QFile::encodeName(where.absolutePath()).constData(), 0755) != 0)
        return fail(tr("%1 cannot be made private: %2").arg(where.absolutePath(), systemError()));
    const QByteArray encoded = QFile::encodeName(path);
    struct stat existing = {};
    if (::lstat(encoded.constData(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode))
            return fail(tr("%1 is there already, and is no socket").arg(path));
        if (someoneListens(path))
            return fail(tr("another relay-mqtt answers at %1").arg(path));
        // Left by a relay-mqtt that was killed: nobody listens on it any more.
        ::unlink(encoded.constData());
    }
    const int socket = listeningSocket(path);
    if (socket < 0)
        return false;
    if (!m_server.listen(socket)) {
        ::close(socket);
        ::unlink(encoded.constData());
        return fail(m_server.errorString());
    }
    struct stat made = {};
    m_inode = ::stat(encoded.constData(), &made) == 0 ? made.st_ino : 0;
    m_path = path;
    return true;
}

int LocalDoor::listeningSocket(const QString &path)
{
    const QFileInfo where(path);
    QByteArray folder
        = QFile::encodeName(where.absolutePath() + QStringLiteral("/.") + where.fileName())
        + ".XXXXXX";
    if (::mkdtemp(folder.data()) == nullptr) {
        fail(tr("no folder can be made beside %1: %2").arg(path, systemError()));
        return -1;
    }
    const QByteArray inside = folder + '/' + QFile::encodeName(where.fileName());
    const QByteArray target = QFile::encodeName(path);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (std::size_t(target.size()) >= sizeof(address.sun_path)
        || std::size_t(inside.size()) >= sizeof(address.sun_path)) {
        ::rmdir(folder.constData());
        fail(tr("%1 is too long a path for a socket").arg(path));
        return -1;
    }
    std::memcpy(address.sun_path, inside.constData(), std::size_t(inside.size()));
    const int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const auto undo = [&](const QString &why) {
        fail(tr("%1 cannot be made: %2").arg(path, why));
        if (socket >= 0)
            ::close(socket);
        ::unlink(inside.constData());
        ::rmdir(folder.constData());
        return -1;
    };
    if (socket < 0
        || ::bind(socket, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0
        || ::listen(socket, SOMAXCONN) != 0)
        return undo(systemError());
    // The serial ports' group, which the service runs in; anyone else who may not join it gets
    // a door for the owner alone.
    const group *serial = ::getgrnam(serialGroup);
    struct stat made = {};
    const bool grouped = serial != nullptr && ::stat(inside.constData(), &made) == 0
        && (made.st_gid == serial->gr_gid
            || ::chown(inside.constData(), uid_t(-1), serial->gr_gid) == 0);
    if (::chmod(inside.constData(), grouped ? 0660 : 0600) != 0
        || ::rename(inside.constData(), target.constData()) != 0)
        return undo(systemError());
    ::rmdir(folder.constData());
    return socket;
}

bool LocalDoor::someoneListens(const QString &path)
{
    // Taken, even by an owner too busy to say so: only a socket nobody listens on is stale.
    QLocalSocket probe;
    probe.connectToServer(path);
    return probe.waitForConnected(int(PortOwner::patience.count()));
}

void LocalDoor::close()
{
    if (!m_server.isListening())
        return;
    m_server.close();
    // Only the door this one made: a later relay-mqtt may have taken its place.
    const QByteArray encoded = QFile::encodeName(m_path);
    struct stat now = {};
    if (::stat(encoded.constData(), &now) == 0 && now.st_ino == m_inode)
        ::unlink(encoded.constData());
}

void LocalDoor::accept()
{
    while (QLocalSocket *socket = m_server.nextPendingConnection()) {
        auto client = std::make_unique<LocalClient>(std::unique_ptr<QLocalSocket>(socket));
        client->send(m_hello());
        m_live.add(std::move(client), {});
    }
}

bool LocalDoor::fail(const QString &error)
{
    m_error = error;
    return false;
}
