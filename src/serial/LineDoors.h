#pragma once

#include <QString>
#include <QStringList>

// Where a program that owns a serial line (relay-mqtt) leaves its local socket, a door through
// which the programs that would open the same port reach the line instead. One socket per
// line, "NAME.sock", in the owner's runtime folder; the first thing a door says to whoever
// connects is a line of JSON naming the device it owns (the `hello` below).
class LineDoors
{
public:
    static constexpr auto suffix = QLatin1StringView(".sock");
    // The hello's "type", and its keys besides the device.
    static constexpr auto helloType = QLatin1StringView("line");
    static constexpr auto deviceKey = QLatin1StringView("device");
    static constexpr auto nameKey = QLatin1StringView("name");
    static constexpr auto pageKey = QLatin1StringView("page");
    // Whether the owner has the port open now: one still trying to open it says false.
    static constexpr auto upKey = QLatin1StringView("up");

    // The folder where an owner puts its door: systemd's $RUNTIME_DIRECTORY, else
    // /run/relay-mqtt for root, else $XDG_RUNTIME_DIR/relay-mqtt. Empty when there is none.
    static QString ownFolder();
    // The folders where doors are looked for: /run/relay-mqtt and $XDG_RUNTIME_DIR/relay-mqtt,
    // each with the folders in it (a unit's instance has one of its own).
    static QStringList searchFolders();
    // The sockets in those folders, whether anyone still listens on them or not.
    static QStringList candidates(const QStringList &folders = searchFolders());
};
