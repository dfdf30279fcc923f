#pragma once

#include "serial/LineDoors.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

// The program that owns a serial device through a door of LineDoors: the door to reach the
// line through, and what the owner says of itself. Only a door that answers counts: a socket
// left behind by an owner that was killed fools nobody.
struct PortOwner
{
    // How long a door may take to say which device it owns.
    static constexpr std::chrono::milliseconds patience{500};

    QString door; // the socket's path
    QString device; // the device as the owner names it
    QString name; // the owner's name for itself ("relaycards")
    QString page; // the owner's web page, if it serves one
    bool up = false; // whether the owner has the port open

    // The owner of `device` (a path, a symlink to one), among the doors in `folders`: the one
    // that has it open, if two say they own it (one of them waits for the port).
    static std::optional<PortOwner> find(
        const QString &device, const QStringList &folders = LineDoors::searchFolders());
    // Whether the two paths name one device: the same character device, or the same path.
    static bool sameDevice(const QString &one, const QString &other);
    // What the owner's door says of it, if it says so in time.
    static std::optional<PortOwner> ask(const QString &door);
    // "relay-mqtt (relaycards) owns it; its page: http://..." for an operator.
    QString description() const;
};
