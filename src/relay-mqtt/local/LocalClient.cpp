#include "relay-mqtt/local/LocalClient.h"

#include <QJsonDocument>
#include <QJsonObject>

LocalClient::LocalClient(std::unique_ptr<QLocalSocket> socket, QObject *parent)
    : LiveClient(parent), m_socket(std::move(socket))
{
    m_socket->setParent(nullptr);
    m_socket->setReadBufferSize(longestMessage + 1);
    connect(m_socket.get(), &QLocalSocket::readyRead, this, &LocalClient::readLines);
    connect(m_socket.get(), &QLocalSocket::disconnected, this, &LiveClient::disconnected);
}

LocalClient::~LocalClient()
{
    disconnect(m_socket.get(), nullptr, this, nullptr);
    m_socket.release()->deleteLater();
}

QString LocalClient::from() const
{
    return tr("from the local socket");
}

void LocalClient::send(const QString &message)
{
    m_socket->write(message.toUtf8() + '\n');
}

qint64 LocalClient::unsent() const
{
    return m_socket->bytesToWrite();
}

void LocalClient::ping()
{
    send(QStringLiteral(R"({"type":"ping"})"));
}

void LocalClient::close(Closing, const QString &reason)
{
    send(QString::fromUtf8(QJsonDocument(
        QJsonObject{{QStringLiteral("type"), QStringLiteral("closing")},
            {QStringLiteral("reason"),
                reason}}).toJson(QJsonDocument::Compact)));
    m_socket->disconnectFromServer();
}

void LocalClient::abort()
{
    m_socket->abort();
}

void LocalClient::readLines()
{
    while (m_socket->canReadLine()) {
        const QByteArray line = m_socket->readLine().trimmed();
        if (!line.isEmpty())
            emit received(QString::fromUtf8(line));
    }
    // A full buffer without a line's end: not one of this door's messages.
    if (m_socket->bytesAvailable() > longestMessage) {
        disconnect(m_socket.get(), &QLocalSocket::readyRead, this, &LocalClient::readLines);
        m_socket->abort();
    }
}
