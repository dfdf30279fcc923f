#include "relayctl/WebLink.h"

#include <QJsonDocument>
#include <QNetworkRequest>
#include <QSslConfiguration>

WebLink::WebLink(QUrl page, QByteArray token, QList<QSslCertificate> certificates, QObject *parent)
    : ServiceLink(parent),
      m_page(std::move(page)),
      m_token(std::move(token)),
      m_certificates(std::move(certificates)),
      m_socket(QString(), QWebSocketProtocol::VersionLatest, this),
      m_patience(this)
{
    m_patience.setSingleShot(true);
    m_patience.setInterval(patience);
    connect(&m_patience, &QTimer::timeout, this, [this] {
        end(Unreachable, tr("nothing answered within %1 s").arg(patience.count()));
        m_socket.abort();
    });
    connect(this, &ServiceLink::ready, &m_patience, &QTimer::stop);
    connect(this, &ServiceLink::ready, this, [this] { m_in = true; });
    connect(&m_socket, &QWebSocket::textMessageReceived, this, &WebLink::take);
    connect(&m_socket, &QWebSocket::disconnected, this, &WebLink::closed);
    connect(&m_socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this, [this] {
        if (m_socket.state() != QAbstractSocket::ConnectedState)
            end(m_in ? Lost : Unreachable, m_socket.errorString());
    });
    connect(&m_socket, &QWebSocket::sslErrors, this, [this](const QList<QSslError> &errors) {
        // Never ignored: a certificate that cannot be verified ends the connection.
        end(Unreachable, errors.isEmpty() ? tr("TLS failed") : errors.first().errorString());
    });
}

void WebLink::open()
{
    QUrl live = m_page;
    live.setScheme(
        m_page.scheme() == QLatin1String("https") ? QStringLiteral("wss") : QStringLiteral("ws"));
    live.setPath(QStringLiteral("/api/live"));
    QNetworkRequest request(live);
    if (!m_token.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + m_token);
    // relay-mqtt takes a WebSocket from its own origin alone, as a browser would send it.
    request.setRawHeader("Origin",
        m_page
            .adjusted(
                QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::RemoveUserInfo)
            .toString(QUrl::FullyEncoded)
            .toUtf8());
    if (!m_certificates.isEmpty()) {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setCaCertificates(m_certificates);
        m_socket.setSslConfiguration(tls);
    }
    m_patience.start();
    m_socket.open(request);
}

void WebLink::send(const QJsonObject &message)
{
    m_socket.sendTextMessage(
        QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}

QString WebLink::description() const
{
    return tr("relay-mqtt at %1").arg(m_page.toString(QUrl::RemoveUserInfo));
}

void WebLink::closed()
{
    const QString reason
        = m_socket.closeReason().isEmpty() ? m_socket.errorString() : m_socket.closeReason();
    // Turned away before it was let in, by the rule for logins: the token was not the page's.
    if (!m_in && m_socket.closeCode() == QWebSocketProtocol::CloseCodePolicyViolated)
        end(NotLetIn, tr("the page did not let relayctl in (%1): see --token-file").arg(reason));
    else
        end(m_in ? Lost : Unreachable, reason);
}
