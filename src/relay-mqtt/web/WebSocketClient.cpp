#include "relay-mqtt/web/WebSocketClient.h"

WebSocketClient::WebSocketClient(std::unique_ptr<QWebSocket> socket, QObject *parent)
    : LiveClient(parent), m_socket(std::move(socket))
{
    m_socket->setParent(nullptr);
    m_socket->setMaxAllowedIncomingMessageSize(longestMessage);
    m_socket->setMaxAllowedIncomingFrameSize(longestMessage);
    connect(m_socket.get(), &QWebSocket::textMessageReceived, this, &LiveClient::received);
    connect(m_socket.get(), &QWebSocket::pong, this, &LiveClient::pong);
    connect(m_socket.get(), &QWebSocket::disconnected, this, &LiveClient::disconnected);
}

WebSocketClient::~WebSocketClient()
{
    disconnect(m_socket.get(), nullptr, this, nullptr);
    // The socket may be in the middle of emitting a signal: it goes once that has returned.
    m_socket.release()->deleteLater();
}

QString WebSocketClient::from() const
{
    return tr("from the web");
}

void WebSocketClient::send(const QString &message)
{
    m_socket->sendTextMessage(message);
}

qint64 WebSocketClient::unsent() const
{
    return m_socket->bytesToWrite();
}

void WebSocketClient::ping()
{
    m_socket->ping();
}

void WebSocketClient::close(Closing closing, const QString &reason)
{
    // The page tells a session's end (it shows the login form) by the close code. Qt takes only
    // the protocol's own codes.
    m_socket->close(closing == Closing::SessionEnded ? QWebSocketProtocol::CloseCodePolicyViolated
                                                     : QWebSocketProtocol::CloseCodeGoingAway,
        reason);
}

void WebSocketClient::abort()
{
    m_socket->abort();
}
