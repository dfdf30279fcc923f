#pragma once

#include <QCoreApplication>
#include <QLocalServer>
#include <QObject>
#include <QString>

#include <functional>

class LiveClients;

// The line's local socket: the door through which relayctl and other programs on this machine
// reach the line that relay-mqtt owns, rather than opening its port. It belongs to the group
// that may use serial ports (dialout), mode 0660: whoever could open the port may come in, and
// nobody else. Each client first hears which device the door leads to, then speaks the live
// messages of LiveClients, one JSON object a line.
class LocalDoor : public QObject
{
    Q_OBJECT

public:
    // The door's first line for each client: which device, whose, and its page.
    using Hello = std::function<QString()>;

    LocalDoor(LiveClients &live, Hello hello, QObject *parent = nullptr);
    ~LocalDoor() override;

    // Opens the door at `path`, in place of a socket nobody listens on any more. False, with
    // errorString(), if it cannot be opened (another relay-mqtt answers there, say).
    bool open(const QString &path);
    // Takes the socket away; its clients stay until LiveClients closes them.
    void close();
    QString errorString() const { return m_error; }
    QString path() const { return m_path; }

    // The group the door belongs to.
    static constexpr char serialGroup[] = "dialout";

private:
    // A listening socket at `path` with its owner, group and mode already set: made in a
    // private folder beside it and moved into place, so that it is never open to others.
    int listeningSocket(const QString &path);
    void accept();
    static bool someoneListens(const QString &path);
    bool fail(const QString &error);

    LiveClients &m_live;
    Hello m_hello;
    QLocalServer m_server;
    QString m_path;
    QString m_error;
    quint64 m_inode = 0;
};
