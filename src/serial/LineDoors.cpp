#include "serial/LineDoors.h"

#include <QDir>

#include <unistd.h>

namespace {

const QString systemFolder = QStringLiteral("/run/relay-mqtt");

QString userFolder()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return runtime.isEmpty() ? QString() : runtime + QStringLiteral("/relay-mqtt");
}

} // namespace

QString LineDoors::ownFolder()
{
    const QString systemd = qEnvironmentVariable("RUNTIME_DIRECTORY");
    if (!systemd.isEmpty())
        // systemd may name several folders; the door goes in the first.
        return systemd.section(u':', 0, 0);
    if (::geteuid() == 0)
        return systemFolder;
    return userFolder();
}

QStringList LineDoors::searchFolders()
{
    QStringList folders;
    for (const QString &top : {systemFolder, userFolder()}) {
        if (top.isEmpty() || folders.contains(top))
            continue;
        folders << top;
        for (const QString &inner :
            QDir(top).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name))
            folders << top + u'/' + inner;
    }
    return folders;
}

QStringList LineDoors::candidates(const QStringList &folders)
{
    QStringList sockets;
    for (const QString &folder : folders) {
        const QDir dir(folder);
        for (const QString &name :
            dir.entryList({u'*' + QString(suffix)}, QDir::System, QDir::Name))
            sockets << dir.filePath(name);
    }
    return sockets;
}
