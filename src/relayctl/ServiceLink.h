#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>

// A connection to a relay-mqtt that owns the line, over which relayctl sends its job as live
// messages (one JSON object each) instead of opening the port: the line's local socket, or the
// web page's live socket on another machine. It is ready once relay-mqtt has let it in and sent
// the cards.
class ServiceLink : public QObject
{
    Q_OBJECT

public:
    // relayctl's exit statuses for a connection that fails.
    enum Failure {
        Unreachable = 69, // EX_UNAVAILABLE: nothing answers, or not relay-mqtt
        Lost = 74, // EX_IOERR: relay-mqtt went away during the job
        NotLetIn = 77, // EX_NOPERM: the token (or the user) was refused
    };

    using QObject::QObject;

    // Connects; ready() or failed() follows.
    virtual void open() = 0;
    virtual void send(const QJsonObject &message) = 0;
    // Which relay-mqtt, and how it is reached, for --verbose and errors.
    virtual QString description() const = 0;

signals:
    void ready();
    void message(const QJsonObject &message);
    void failed(int status, const QString &reason);

protected:
    // A message from relay-mqtt, as text.
    void take(const QString &text);
    // The connection ended, for `reason`; relay-mqtt's own reason, if it gave one, goes first.
    void end(int status, const QString &reason);

private:
    bool m_ready = false;
    bool m_ended = false;
    QString m_closing;
};
