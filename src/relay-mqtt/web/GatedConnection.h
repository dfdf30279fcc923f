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
// order, whatever the server takes. A request it refuses never reaches the server's handler,
// and neither does anything after a request that asked to close the connection. The server
// answers one request each readyRead, and says so (answered()); a client may have only a few
// requests waiting for their answers, and must read those it has.
class GatedConnection : public QObject
{
    Q_OBJECT

public:
    // Requests sent ahead of their answers (pipelined): browsers send none.
    static constexpr int mostWaiting = 8;
    // Answers the client has not read yet: one that reads none is cut off.
    static constexpr qint64 mostUnread = qint64{64} * 1024;

    // Made before the server is given the socket, so that arrived() runs before the server
    // reads; watchServer() once it has it.
    GatedConnection(QTcpSocket &socket, WebGate &gate, ClientKey client);
    ~GatedConnection() override;
    void watchServer();
    // The server has written its answer to a request of this connection.
    void answered();
    // The gate's watcher of the socket, if it came through a gate.
    static GatedConnection *of(QTcpSocket *socket);

private:
    void arrived();
    void served();
    // The head is complete: whether the request may go on to the server.
    bool admit(const RequestFraming::Head &head);
    void refuse(int status, const QString &reason);
    // Lets neither the server nor the framing read anything more of this connection.
    void stopServing();
    // Stops serving, and closes the connection once the answers written so far are out.
    void closeAfterAnswers();
    void timedOut();
    void end();

    QTcpSocket &m_socket;
    QPointer<WebGate> m_gate;
    ClientKey m_client;
    RequestFraming m_framing;
    qint64 m_seenUnread = 0; // bytes in the socket's buffer that arrived() has read already
    bool m_servedAny = false; // a request was complete before
    int m_waiting = 0; // complete requests the server has not answered yet
    bool m_closeWhenAnswered = false; // the last complete request asked to close

    bool m_refused = false;
    bool m_upgraded = false;
    bool m_ended = false;
    QTimer m_deadline;
};
