#pragma once

#include "relay-mqtt/web/ClientKey.h"
#include "relay-mqtt/web/RequestFraming.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

class QTcpSocket;
class WebGate;

// One connection through the gate, watching its bytes beside Qt HttpServer. On every readyRead
// it reads the bytes the server has not seen before the server does (arrived()), and notes
// afterwards what the server left unread (served()): so the framing sees each byte once, in
// order, whatever the server takes. A request it refuses never reaches the server's handler.
class GatedConnection : public QObject
{
    Q_OBJECT

public:
    // Made before the server is given the socket, so that arrived() runs before the server
    // reads; watchServer() once it has it.
    GatedConnection(QTcpSocket &socket, WebGate &gate, ClientKey client);
    ~GatedConnection() override;
    void watchServer();

private:
    void arrived();
    void served();
    // The head is complete: whether the request may go on to the server.
    bool admit(const RequestFraming::Head &head);
    void refuse(int status, const QString &reason);
    void timedOut();
    void end();

    QTcpSocket &m_socket;
    QPointer<WebGate> m_gate;
    ClientKey m_client;
    RequestFraming m_framing;
    qint64 m_seenUnread = 0; // bytes in the socket's buffer that arrived() has read already
    bool m_servedAny = false; // a request was complete before
    bool m_closeWhenServed = false;
    bool m_refused = false;
    bool m_upgraded = false;
    bool m_ended = false;
    QTimer m_deadline;
};
