#pragma once

#include "relay-mqtt/watch/FrontEnd.h"

#include <QObject>
#include <QString>

// One client that stays connected to relay-mqtt and speaks its live messages, one JSON object
// each: a page on its WebSocket, or a program on the line's local socket. LiveClients sees only
// this, whatever carries the messages.
class LiveClient : public QObject
{
    Q_OBJECT

public:
    // Why relay-mqtt closes a client.
    enum class Closing {
        GoingAway, // relay-mqtt stops, or the client stopped answering
        SessionEnded, // its login ended: a page shows the login form again
    };

    using QObject::QObject;

    // Where its commands come from, for the log: "from the web".
    virtual QString from() const = 0;
    virtual FrontEnd frontEnd() const = 0;
    virtual void send(const QString &message) = 0;
    // Bytes sent that the client has not read yet.
    virtual qint64 unsent() const = 0;
    // Asks for a sign of life: pong() follows while the client lives.
    virtual void ping() = 0;
    // Closes the connection, with the reason for the client to show.
    virtual void close(Closing closing, const QString &reason) = 0;
    // Drops the connection at once, unsent messages and all.
    virtual void abort() = 0;

signals:
    void received(const QString &message);
    void pong();
    void disconnected();
};
