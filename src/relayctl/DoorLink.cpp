#include "relayctl/DoorLink.h"

#include <QJsonDocument>

DoorLink::DoorLink(PortOwner owner, QObject *parent)
    : ServiceLink(parent), m_owner(std::move(owner)), m_socket(this)
{
    connect(&m_socket, &QLocalSocket::readyRead, this, &DoorLink::readLines);
    connect(&m_socket, &QLocalSocket::errorOccurred, this,
        [this](QLocalSocket::LocalSocketError error) {
            // A door that would not let this user in is as good as none: the port's own rule.
            end(error == QLocalSocket::SocketAccessError ? NotLetIn : Unreachable,
                m_socket.errorString());
        });
    connect(&m_socket, &QLocalSocket::disconnected, this,
        [this] { end(Unreachable, tr("relay-mqtt closed the connection")); });
}

void DoorLink::open()
{
    m_socket.connectToServer(m_owner.door);
}

void DoorLink::send(const QJsonObject &message)
{
    m_socket.write(QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n');
    m_socket.flush();
}

QString DoorLink::description() const
{
    return tr("relay-mqtt (%1), through %2").arg(m_owner.name, m_owner.door);
}

void DoorLink::readLines()
{
    while (m_socket.canReadLine()) {
        const QString line = QString::fromUtf8(m_socket.readLine()).trimmed();
        // The first line names the device, as PortOwner read it.
        if (!m_greeted) {
            m_greeted = true;
            continue;
        }
        take(line);
    }
}
