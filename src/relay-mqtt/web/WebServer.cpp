#include "relay-mqtt/web/WebServer.h"

#include "relay-mqtt/BridgeLog.h"
#include "relay-mqtt/BridgeOptions.h"
#include "relay-mqtt/live/StrictJson.h"
#include "relay-mqtt/watch/MetricsText.h"
#include "relay-mqtt/web/GatedConnection.h"
#include "relay-mqtt/web/WebGate.h"
#include "relay-mqtt/web/WebSocketClient.h"

#include <QFile>
#include <QHttpServerRequest>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>
#include <QTcpSocket>
#include <QWebSocket>

namespace {

using Status = RelayApi::Status;
using Method = QHttpServerRequest::Method;

// No inline script or style, nothing from elsewhere, never in a frame.
const QByteArray contentSecurityPolicy = QByteArrayLiteral(
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; form-action 'self'; base-uri 'none'; frame-ancestors 'none'");

struct PageFile
{
    const char *path;
    const char *resource;
    const char *type;
};
constexpr PageFile pageFiles[] = {
    {"/", ":/web/index.html", "text/html; charset=utf-8"},
    {"/index.html", ":/web/index.html", "text/html; charset=utf-8"},
    {"/app.js", ":/web/app.js", "text/javascript; charset=utf-8"},
    {"/style.css", ":/web/style.css", "text/css; charset=utf-8"},
    {"/icon.svg", ":/web/icon.svg", "image/svg+xml"},
};

bool isUpgrade(const QHttpServerRequest &request)
{
    return request.value("Upgrade").compare("websocket", Qt::CaseInsensitive) == 0;
}

// HTTPS only, for a year: a browser that has seen the page once never tries plain HTTP again.
// It holds for every port of the name, so it is sent under names of the page's own alone, never
// under the machine's name, whose other services may speak plain HTTP.
const QByteArray strictTransportSecurity = QByteArrayLiteral("max-age=31536000");

} // namespace

WebServer::WebServer(
    const BridgeOptions &options, RelayApi &api, LiveClients &live, QObject *parent)
    : QAbstractHttpServer(parent),
      m_options(options),
      m_names(options.web.address, options.hostName, options.web.hostNames),
      m_api(api),
      m_access(options.web),
      m_pages(live)
{
    connect(this, &QAbstractHttpServer::newWebSocketConnection, this, &WebServer::acceptPages);
    // The pages a session opened go with it.
    connect(&m_access, &WebAccess::sessionEnded, &m_pages, &LiveClients::endSession);
}

bool WebServer::start(QString *error)
{
    const WebSettings &web = m_options.web;
    auto *gate = new WebGate(*this, m_names, {}, this);
    m_gate = gate;
    if (web.usesTls()) {
        QSslConfiguration tls;
        if (!readTls(&tls, error))
            return false;
        gate->setTls(tls);
    }
    if (!gate->listen(web.address, web.port)) {
        *error = tr("the web page cannot listen on %1 port %2: %3")
                     .arg(web.address.toString())
                     .arg(web.port)
                     .arg(gate->errorString());
        return false;
    }
    bind(gate);
    m_port = gate->serverPort();
    // A name of its own on loopback is a reverse proxy's, most likely, which brings in whoever
    // reaches the proxy.
    if (web.onLoopback() && !web.loginRequired() && !web.hostNames.isEmpty())
        bridgeLog(tr("warning: the page has no password, and whoever reaches it by %1 (through "
                     "a reverse proxy, say) can switch the relays; give it one with "
                     "http-password-file")
                      .arg(web.hostNames.join(QStringLiteral(", "))));
    WebSettings listening = web;
    listening.port = m_port;
    bridgeLog(tr("web page at %1%2")
                  .arg(listening.pageUrl(m_options.hostName),
                      web.loginRequired() ? tr(" (login required)") : QString()));
    return true;
}

bool WebServer::readTls(QSslConfiguration *tls, QString *error) const
{
    const WebSettings &web = m_options.web;
    QFile certFile(web.certFile);
    QFile keyFile(web.keyFile);
    if (!certFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly)) {
        *error = tr("the web page's certificate or key cannot be read: %1")
                     .arg(certFile.isOpen() ? keyFile.errorString() : certFile.errorString());
        return false;
    }
    const QList<QSslCertificate> chain = QSslCertificate::fromDevice(&certFile);
    const QByteArray keyText = keyFile.readAll();
    QSslKey key(keyText, QSsl::Rsa);
    if (key.isNull())
        key = QSslKey(keyText, QSsl::Ec);
    if (chain.isEmpty() || key.isNull()) {
        *error = tr("%1 or %2 holds no PEM certificate or key").arg(web.certFile, web.keyFile);
        return false;
    }
    tls->setLocalCertificateChain(chain);
    tls->setPrivateKey(key);
    tls->setProtocol(QSsl::SecureProtocols);
    return true;
}

void WebServer::stop()
{
    if (m_gate)
        m_gate->close();
}

bool WebServer::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    const QUrl url = request.url();
    const QString path = url.path();
    if (isUpgrade(request)) {
        // Written nothing, the connection becomes a WebSocket; acceptPages() decides on it.
        // The gate let through only whole upgrades, to this server's names.
        return true;
    }
    // An encoded slash is part of a name, never a step down the path: no name here has one.
    if (url.path(QUrl::FullyEncoded).contains(QLatin1String("%2F"), Qt::CaseInsensitive)) {
        reply(request, socket, json(RelayApi::error(Status::NotFound, tr("not found"))));
        return true;
    }
    if (path == QLatin1String(livePath)) {
        reply(request, socket,
            json(RelayApi::error(Status(426), tr("this is the pages' WebSocket: upgrade to it"))));
        return true;
    }
    if (path.startsWith(QLatin1String("/api/"))) {
        reply(request, socket, api(request, path));
        return true;
    }
    if (path == QLatin1String(metricsPath)) {
        reply(request, socket, metrics(request));
        return true;
    }
    if (request.method() != Method::Get && request.method() != Method::Head) {
        reply(request, socket, json(RelayApi::error(Status::MethodNotAllowed, tr("GET only"))));
        return true;
    }
    QHttpServerResponse response = page(path);
    // The answer's headers alone: a body would be read as the next answer.
    if (request.method() == Method::Head)
        response = QHttpServerResponse(response.mimeType(), QByteArray(), response.statusCode());
    reply(request, socket, std::move(response));
    return true;
}

void WebServer::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket)
{
    reply(request, socket, json(RelayApi::error(Status::NotFound, tr("not found"))));
}

QHttpServerResponse WebServer::page(const QString &path) const
{
    for (const PageFile &file : pageFiles) {
        if (path != QLatin1String(file.path))
            continue;
        QFile resource(QString::fromLatin1(file.resource));
        if (!resource.open(QIODevice::ReadOnly))
            break;
        return {file.type, resource.readAll()};
    }
    return json(RelayApi::error(Status::NotFound, tr("not found")));
}

QHttpServerResponse WebServer::api(const QHttpServerRequest &request, const QString &urlPath)
{
    const QStringList path = urlPath.split(u'/').mid(2); // after /api/
    const bool post = request.method() == Method::Post;
    if (path == QStringList{QStringLiteral("login")} && post)
        return login(request);
    if (path == QStringList{QStringLiteral("logout")} && post) {
        if (const std::optional<RelayApi::Answer> refusal = unsafe(request))
            return json(*refusal);
        // Its pages' sockets close with it (sessionEnded).
        m_access.logout(request.value("Cookie"));
        QHttpServerResponse response(QHttpServerResponse::StatusCode::NoContent);
        response.addHeader("Set-Cookie", WebAccess::sessionCookie({}, m_options.web.usesTls()));
        return response;
    }
    const bool health = path == QStringList{QStringLiteral("health")} && m_health;
    if (!health && (path.isEmpty() || path.first() != QLatin1String("cards")))
        return json(RelayApi::error(Status::NotFound, tr("not found")));
    if (std::optional<QHttpServerResponse> refusal = refusedAccess(request))
        return std::move(*refusal);
    if (health) {
        if (request.method() != Method::Get && request.method() != Method::Head)
            return json(RelayApi::error(Status::MethodNotAllowed, tr("GET only")));
        const ServiceHealth::Answer answer = m_health();
        QHttpServerResponse response
            = json({answer.usable ? Status::Ok : Status::Unavailable, answer.body});
        // An uptime monitor may ask with HEAD: the status alone.
        if (request.method() == Method::Head)
            response = QHttpServerResponse(response.mimeType(), {}, response.statusCode());
        return response;
    }
    if (path.size() == 1 && request.method() == Method::Get)
        return {m_api.cards(m_broker)};
    if (!post)
        return json(RelayApi::error(Status::MethodNotAllowed, tr("POST only")));
    return command(request, path.mid(1));
}

void WebServer::setWatch(Health health, Metrics metrics)
{
    m_health = std::move(health);
    m_metrics = std::move(metrics);
}

std::optional<QHttpServerResponse> WebServer::refusedAccess(const QHttpServerRequest &request)
{
    const WebAccess::Check access = m_access.check(
        request.remoteAddress(), request.value("Cookie"), request.value("Authorization"));
    if (access.outcome == WebAccess::Check::Outcome::Throttled)
        return tooManyFailures(*access.retryAfter);
    if (access.outcome != WebAccess::Check::Outcome::Allowed)
        return json(RelayApi::error(Status::Unauthorized, tr("log in first")));
    return std::nullopt;
}

QHttpServerResponse WebServer::metrics(const QHttpServerRequest &request)
{
    if (!m_metrics)
        return json(RelayApi::error(Status::NotFound, tr("not found")));
    if (std::optional<QHttpServerResponse> refusal = refusedAccess(request))
        return std::move(*refusal);
    if (request.method() != Method::Get && request.method() != Method::Head)
        return json(RelayApi::error(Status::MethodNotAllowed, tr("GET only")));
    const QByteArray text
        = request.method() == Method::Head ? QByteArray() : m_metrics(m_access.failures());
    return {QByteArray(MetricsText::contentType), text};
}

QHttpServerResponse WebServer::login(const QHttpServerRequest &request)
{
    if (const std::optional<RelayApi::Answer> refusal = unsafe(request))
        return json(*refusal);
    const std::optional<QJsonObject> body = StrictJson::object(request.body());
    const QJsonValue password = body ? body->value(u"password") : QJsonValue();
    if (!password.isString() || body->size() != 1)
        return json(RelayApi::error(Status::BadRequest, tr(R"(expected {"password": "..."})")));
    const WebAccess::Login login
        = m_access.login(request.remoteAddress(), password.toString().toUtf8());
    if (login.retryAfter)
        return tooManyFailures(*login.retryAfter);
    if (!login.session)
        return json(RelayApi::error(Status::Unauthorized, tr("wrong password")));
    QHttpServerResponse response(QHttpServerResponse::StatusCode::NoContent);
    response.addHeader(
        "Set-Cookie", WebAccess::sessionCookie(*login.session, m_options.web.usesTls()));
    return response;
}

QHttpServerResponse WebServer::command(const QHttpServerRequest &request, const QStringList &path)
{
    if (const std::optional<RelayApi::Answer> refusal = unsafe(request)) {
        if (refusal->status == Status::BadRequest)
            m_api.counts().badInput(FrontEnd::Web);
        return json(*refusal);
    }
    return json(m_api.carryOut(m_api.read(path, request.body())));
}

std::optional<RelayApi::Answer> WebServer::unsafe(const QHttpServerRequest &request) const
{
    // A browser names the page a request comes from; a script sends no Origin at all.
    const QByteArray origin = request.value("Origin");
    if (!origin.isEmpty() && !sameOrigin(origin, request.value("Host")))
        return RelayApi::error(Status::Forbidden, tr("requests from other sites are refused"));
    // What a form or a no-cors fetch of another site can send is never JSON.
    if (!request.value("Content-Type").trimmed().toLower().startsWith("application/json"))
        return RelayApi::error(Status::BadRequest, tr("the body must be JSON (application/json)"));
    return std::nullopt;
}

bool WebServer::sameOrigin(const QByteArray &origin, const QByteArray &host) const
{
    // Either scheme: a reverse proxy may serve the page over HTTPS from plain HTTP here. Only
    // this server's names come this far, and a page under them is this server's page.
    return !host.isEmpty() && (origin == "http://" + host || origin == "https://" + host);
}

void WebServer::reply(
    const QHttpServerRequest &request, QTcpSocket *socket, QHttpServerResponse response)
{
    response.addHeader("Content-Security-Policy", contentSecurityPolicy);
    response.addHeader("X-Content-Type-Options", "nosniff");
    response.addHeader("Referrer-Policy", "no-referrer");
    response.addHeader("Cache-Control", "no-store");
    if (m_options.web.usesTls() && m_names.isGiven(request.value("Host")))
        response.addHeader("Strict-Transport-Security", strictTransportSecurity);
    response.write(makeResponder(request, socket));
    // The gate lets the connection's next request through, or closes it as it asked.
    if (GatedConnection *gated = GatedConnection::of(socket))
        gated->answered();
}

QHttpServerResponse WebServer::json(const RelayApi::Answer &answer)
{
    return {answer.body, QHttpServerResponse::StatusCode(int(answer.status))};
}

QHttpServerResponse WebServer::tooManyFailures(std::chrono::seconds retryAfter)
{
    QHttpServerResponse response = json(RelayApi::error(Status::TooManyRequests,
        tr("too many failed logins or tokens: try again in %1 s").arg(retryAfter.count())));
    response.addHeader("Retry-After", QByteArray::number(retryAfter.count()));
    return response;
}

void WebServer::acceptPages()
{
    while (hasPendingWebSocketConnections()) {
        std::unique_ptr<QWebSocket> socket = nextPendingWebSocketConnection();
        const QNetworkRequest handshake = socket->request();
        const bool live = socket->requestUrl().path() == QLatin1String(livePath);
        const bool sameSite = sameOrigin(socket->origin().toUtf8(), handshake.rawHeader("Host"));
        const WebAccess::Check access = m_access.check(socket->peerAddress(),
            handshake.rawHeader("Cookie"), handshake.rawHeader("Authorization"));
        const bool allowed = access.outcome == WebAccess::Check::Outcome::Allowed;
        if (!live || !sameSite || !allowed) {
            QWebSocket *refused = socket.release();
            refused->close(QWebSocketProtocol::CloseCodePolicyViolated,
                !live           ? tr("no WebSocket here")
                    : !sameSite ? tr("other sites may not connect")
                    : access.outcome == WebAccess::Check::Outcome::Throttled
                    ? tr("too many failed logins or tokens")
                    : tr("log in first"));
            refused->deleteLater();
            continue;
        }
        m_pages.add(std::make_unique<WebSocketClient>(std::move(socket)), access.session);
    }
}
