#pragma once

#include "relay-mqtt/live/LiveClients.h"
#include "relay-mqtt/live/RelayApi.h"
#include "relay-mqtt/watch/ServiceHealth.h"
#include "relay-mqtt/web/HostNames.h"
#include "relay-mqtt/web/WebAccess.h"

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QHttpServerResponse>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

struct BridgeOptions;
class WebGate;

// The web side: the page (compiled in), the JSON API under /api and the pages' WebSocket at
// /api/live, for the cards of the one line. Connections come through a WebGate, which keeps
// each request within bounds and answers only to this server's own names. Anything that
// changes something is a POST with a JSON body from the page's own origin (or a script, which
// sends no Origin) and a login.
class WebServer : public QAbstractHttpServer
{
    Q_OBJECT

public:
    static constexpr char livePath[] = "/api/live";
    static constexpr char metricsPath[] = "/metrics";

    // `api` reads the requests' commands; `live` takes the pages that connect.
    WebServer(
        const BridgeOptions &options, RelayApi &api, LiveClients &live, QObject *parent = nullptr);

    // Listens; false, with the reason, if the address or the TLS files cannot be used.
    bool start(QString *error);
    // "online", "offline" or "none": what the API's answer says of the broker.
    void setBroker(const QString &broker) { m_broker = broker; }
    // What GET /api/health and GET /metrics answer; given the failed logins for the metrics.
    using Health = std::function<ServiceHealth::Answer()>;
    using Metrics = std::function<QByteArray(quint64 failedLogins)>;
    void setWatch(Health health, Metrics metrics);
    // Takes no more connections.
    void stop();
    quint16 port() const { return m_port; }

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    using Status = RelayApi::Status;

    QHttpServerResponse page(const QString &path) const;
    // `urlPath`: the request's, read once (the request builds its URL anew on every call).
    QHttpServerResponse api(const QHttpServerRequest &request, const QString &urlPath);
    QHttpServerResponse login(const QHttpServerRequest &request);
    QHttpServerResponse command(const QHttpServerRequest &request, const QStringList &path);
    QHttpServerResponse metrics(const QHttpServerRequest &request);
    // The answer to a request without a login that counts (or from a client that must wait);
    // none if it may go on.
    std::optional<QHttpServerResponse> refusedAccess(const QHttpServerRequest &request);
    // Why a request that changes something is refused, if it is.
    std::optional<RelayApi::Answer> unsafe(const QHttpServerRequest &request) const;
    bool sameOrigin(const QByteArray &origin, const QByteArray &host) const;
    void reply(const QHttpServerRequest &request, QTcpSocket *socket, QHttpServerResponse response);
    static QHttpServerResponse json(const RelayApi::Answer &answer);
    static QHttpServerResponse tooManyFailures(std::chrono::seconds retryAfter);
    // The TLS configuration from the certificate and key files; false, with the reason, if
    // they cannot be used.
    bool readTls(QSslConfiguration *tls, QString *error) const;
    void acceptPages();

    const BridgeOptions &m_options;
    HostNames m_names;
    RelayApi &m_api;
    WebAccess m_access;
    LiveClients &m_pages;
    QPointer<WebGate> m_gate;
    QString m_broker;
    Health m_health;
    Metrics m_metrics;
    quint16 m_port = 0;
};
