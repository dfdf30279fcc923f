#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QTcpSocket>

#include <chrono>

// A connection to a web server written byte for byte, as no HTTP client library would write
// it: any Host, half a head, a body that lies about its length. It may come from any address
// of 127.0.0.0/8, as many clients would. Every wait runs the event loop.
class RawConnection
{
public:
    static constexpr std::chrono::seconds patience{10};

    RawConnection(quint16 port, const QHostAddress &from = QHostAddress(QHostAddress::LocalHost));

    bool connected();
    void send(const QByteArray &bytes);
    // The next whole answer (its head and its Content-Length of body); empty if none came.
    QByteArray answer();
    // Everything until the server closes the connection; null if it did not close.
    QByteArray untilClosed();
    bool isClosed() const { return m_socket.state() == QAbstractSocket::UnconnectedState; }

    // The status of an answer: 421 for "HTTP/1.1 421 Misdirected Request", 0 for none.
    static int status(const QByteArray &answer);

private:
    QTcpSocket m_socket;
    QByteArray m_received;
};
