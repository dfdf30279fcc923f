#include "RawConnection.h"

#include <QTest>

RawConnection::RawConnection(quint16 port, const QHostAddress &from)
{
    m_socket.bind(from);
    m_socket.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
    QObject::connect(
        &m_socket, &QIODevice::readyRead, &m_socket, [this] { m_received += m_socket.readAll(); });
}

bool RawConnection::connected()
{
    return QTest::qWaitFor([this] { return m_socket.state() == QAbstractSocket::ConnectedState; },
        int(std::chrono::milliseconds(patience).count()));
}

void RawConnection::send(const QByteArray &bytes)
{
    m_socket.write(bytes);
    m_socket.flush();
}

QByteArray RawConnection::answer()
{
    qsizetype end = -1;
    const auto whole = [&] {
        const qsizetype head = m_received.indexOf("\r\n\r\n");
        if (head < 0)
            return false;
        qsizetype length = 0;
        for (const QByteArray &line : m_received.first(head).split('\n')) {
            if (line.toLower().startsWith("content-length:"))
                length = line.mid(15).trimmed().toLongLong();
        }
        end = head + 4 + length;
        return m_received.size() >= end;
    };
    if (!QTest::qWaitFor(whole, int(std::chrono::milliseconds(patience).count())))
        return {};
    QByteArray answer = m_received.first(end);
    m_received.remove(0, end);
    return answer;
}

QByteArray RawConnection::untilClosed()
{
    if (!QTest::qWaitFor(
            [this] { return isClosed(); }, int(std::chrono::milliseconds(patience).count())))
        return {};
    m_received += m_socket.readAll();
    return m_received.isNull() ? QByteArray("") : std::exchange(m_received, {});
}

int RawConnection::status(const QByteArray &answer)
{
    // "HTTP/1.1 NNN ..."
    return answer.startsWith("HTTP/1.") ? answer.mid(9, 3).toInt() : 0;
}
