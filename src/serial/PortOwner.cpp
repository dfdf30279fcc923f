#include "serial/PortOwner.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>

#include <sys/stat.h>

namespace {

// A hello is a short line; anything longer is not one.
constexpr qint64 longestHello = 4096;

} // namespace

std::optional<PortOwner> PortOwner::find(const QString &device, const QStringList &folders)
{
    if (device.isEmpty())
        return std::nullopt;
    std::optional<PortOwner> waiting;
    for (const QString &door : LineDoors::candidates(folders)) {
        std::optional<PortOwner> owner = ask(door);
        if (!owner || !sameDevice(device, owner->device))
            continue;
        if (owner->up)
            return owner;
        if (!waiting)
            waiting = std::move(owner);
    }
    return waiting;
}

bool PortOwner::sameDevice(const QString &one, const QString &other)
{
    if (one.isEmpty() || other.isEmpty())
        return false;
    struct stat first = {};
    struct stat second = {};
    if (::stat(QFile::encodeName(one).constData(), &first) == 0
        && ::stat(QFile::encodeName(other).constData(), &second) == 0)
        return S_ISCHR(first.st_mode) && S_ISCHR(second.st_mode) && first.st_rdev == second.st_rdev;
    // A device that is not there (an adapter pulled out) is still named the same way.
    return QDir::cleanPath(QDir(QDir::currentPath()).absoluteFilePath(one))
        == QDir::cleanPath(QDir(QDir::currentPath()).absoluteFilePath(other));
}

std::optional<PortOwner> PortOwner::ask(const QString &door)
{
    QLocalSocket socket;
    socket.connectToServer(door, QIODevice::ReadOnly);
    const QDeadlineTimer deadline(patience);
    if (!socket.waitForConnected(int(deadline.remainingTime())))
        return std::nullopt;
    while (!socket.canReadLine() && socket.bytesAvailable() < longestHello) {
        if (!socket.waitForReadyRead(int(deadline.remainingTime())))
            return std::nullopt;
    }
    const QJsonObject hello = QJsonDocument::fromJson(socket.readLine(longestHello)).object();
    if (hello.value(u"type").toString() != LineDoors::helloType)
        return std::nullopt;
    return PortOwner{door, hello.value(LineDoors::deviceKey).toString(),
        hello.value(LineDoors::nameKey).toString(), hello.value(LineDoors::pageKey).toString(),
        hello.value(LineDoors::upKey).toBool()};
}

QString PortOwner::description() const
{
    QString owner = QCoreApplication::translate("PortOwner", "relay-mqtt (%1) owns it").arg(name);
    if (page.isEmpty())
        return owner;
    return QCoreApplication::translate("PortOwner", "%1; its page: %2").arg(owner, page);
}
