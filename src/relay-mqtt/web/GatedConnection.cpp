#include "relay-mqtt/web/GatedConnection.h"

#include "relay-mqtt/web/HostNames.h"
#include "relay-mqtt/web/WebGate.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>

#include <algorithm>
#include <utility>

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 400:
        return "Bad Request";
    case 408:
        return "Request Timeout";
    case 413:
        return "Content Too Large";
    case 421:
        return "Misdirected Request";
    case 431:
        return "Request Header Fields Too Large";
    default:
        return "Error";
    }
}

// A name as the client sent it, fit for one line of the log.
QString printable(QByteArrayView text)
{
    constexpr qsizetype longest = 100;
    QString shown;
    for (const char c : text.first(std::min(text.size(), longest))) {
        if (c >= 0x20 && c < 0x7f)
            shown += QLatin1Char(c);
        else
            shown += QStringLiteral("\\x%1").arg(uchar(c), 2, 16, QLatin1Char('0'));
    }
    return text.size() > longest ? shown + QStringLiteral("...") : shown;
}

} // namespace

GatedConnection::GatedConnection(QTcpSocket &socket, WebGate &gate, ClientKey client)
    : QObject(&socket),
      m_socket(socket),
      m_gate(&gate),
      m_client(std::move(client)),
      m_deadline(this)
{
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, &GatedConnection::timedOut);
    // The first request's head is due within the time from the connection itself.
    m_deadline.start(gate.limits().request);
    connect(&m_socket, &QIODevice::readyRead, this, &GatedConnection::arrived);
    connect(&m_socket, &QAbstractSocket::disconnected, this, &GatedConnection::end);
}

GatedConnection::~GatedConnection()
{
    end();
}

void GatedConnection::watchServer()
{
    connect(&m_socket, &QIODevice::readyRead, this, &GatedConnection::served);
}

GatedConnection *GatedConnection::of(QTcpSocket *socket)
{
    return socket ? socket->findChild<GatedConnection *>(QString(), Qt::FindDirectChildrenOnly)
                  : nullptr;
}

void GatedConnection::arrived()
{
    if (m_refused || m_upgraded || m_closeWhenAnswered || !m_gate)
        return;
    // It sends requests and reads no answers: they would pile up here.
    if (m_socket.bytesToWrite() > mostUnread) {
        stopServing();
        m_socket.abort();
        return;
    }
    // What the server has not read yet: what it left last time, then what is new.
    const QByteArray unread = m_socket.peek(m_socket.bytesAvailable());
    QByteArrayView fresh
        = QByteArrayView(unread).sliced(std::min<qint64>(m_seenUnread, unread.size()));
    m_seenUnread = unread.size();
    while (!fresh.isEmpty()) {
        const bool wasIdle = m_framing.idle();
        const RequestFraming::Step step = m_framing.feed(fresh);
        if (step.used == 0 && !step.refused)
            return;
        fresh = fresh.sliced(step.used);
        if (step.refused) {
            refuse(m_framing.refusal().status, m_framing.refusal().reason);
            return;
        }
        // A later request has as long as the first, from its first byte.
        if (wasIdle && m_servedAny)
            m_deadline.start(m_gate->limits().request);
        if (step.headComplete && !admit(m_framing.head()))
            return;
        if (step.headComplete && m_framing.head().upgrade) {
            // A WebSocket from now on: its pings keep it alive, or end it.
            m_upgraded = true;
            m_deadline.stop();
            return;
        }
        if (step.requestComplete) {
            m_servedAny = true;
            m_deadline.start(m_gate->limits().idle);
            if (++m_waiting > mostWaiting) {
                refuse(400, tr("at most %1 requests may wait for their answers").arg(mostWaiting));
                return;
            }
            // Whatever follows is never read.
            if (m_framing.head().close) {
                m_closeWhenAnswered = true;
                return;
            }
        }
    }
}

void GatedConnection::served()
{
    if (m_refused || m_upgraded)
        return;
    m_seenUnread = m_socket.bytesAvailable();
}

void GatedConnection::answered()
{
    m_waiting = std::max(m_waiting - 1, 0);
    if (m_closeWhenAnswered && m_waiting == 0)
        closeAfterAnswers();
}

void GatedConnection::stopServing()
{
    m_refused = true;
    m_deadline.stop();
    if (m_gate)
        QObject::disconnect(&m_socket, &QIODevice::readyRead, &m_gate->http(), nullptr);
}

void GatedConnection::closeAfterAnswers()
{
    stopServing();
    m_socket.disconnectFromHost();
}

bool GatedConnection::admit(const RequestFraming::Head &head)
{
    if (m_gate->names().names(head.host))
        return true;
    const QString name = HostNames::nameOf(head.host);
    const QString shown
        = printable(name.isEmpty() ? QByteArrayView(head.host) : QByteArrayView(name.toLatin1()));
    m_gate->foreignHost(shown, m_socket.peerAddress().toString());
    refuse(421, tr("this server does not answer to the name %1").arg(shown));
    return false;
}

void GatedConnection::refuse(int status, const QString &reason)
{
    // The server never sees this request, nor anything after it.
    stopServing();
    const QByteArray body = QJsonDocument(
        QJsonObject{{QStringLiteral("error"),
            reason}}).toJson(QJsonDocument::Compact);
    m_socket.write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status)
        + "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size())
        + "\r\nConnection: close\r\nCache-Control: no-store\r\nX-Content-Type-Options: "
          "nosniff\r\n\r\n"
        + body);
    // Closed once the answer is out, without reading the rest: whatever is still coming is not
    // our memory's.
    closeAfterAnswers();
}

void GatedConnection::timedOut()
{
    if (m_framing.idle()) {
        closeAfterAnswers();
        return;
    }
    refuse(408, tr("the request did not come whole in time"));
}

void GatedConnection::end()
{
    if (m_ended)
        return;
    m_ended = true;
    m_deadline.stop();
    if (m_gate)
        m_gate->connectionEnded(m_client);
}
