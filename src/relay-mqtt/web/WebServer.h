#pragma once

#include "relay-mqtt/web/LivePages.h"
#include "relay-mqtt/web/RelayApi.h"
#include "relay-mqtt/web/WebAccess.h"

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QHttpServerResponse>
#include <QString>

#include <memory>

struct BridgeOptions;
class RelayLine;

// The web side: the page (compiled in), the JSON API under /api and the pages' WebSocket at
// /api/live, for the cards of the one line. Anything that changes something is a POST with a
// JSON body from the page's own origin (or a script, which sends no Origin) and a login.
class WebServer : public QAbstractHttpServer
{
    Q_OBJECT

public:
    static constexpr char livePath[] = "/api/live";

    WebServer(const BridgeOptions &options, RelayLine &line, QObject *parent = nullptr);

    // Listens; false, with the reason, if the address or the TLS files cannot be used.
    bool start(QString *error);
    // "online", "offline" or "none": what the page shows of the broker.
    void setBroker(const QString &broker);
    // Lets go of the web holds and closes the pages.
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
    // Why a request that changes something is refused, if it is.
    std::optional<RelayApi::Answer> unsafe(const QHttpServerRequest &request) const;
    bool sameOrigin(const QByteArray &origin, const QByteArray &host) const;
    void reply(const QHttpServerRequest &request, QTcpSocket *socket, QHttpServerResponse response);
    static QHttpServerResponse json(const RelayApi::Answer &answer);
    void acceptPages();

    const BridgeOptions &m_options;
    RelayApi m_api;
    WebAccess m_access;
    LivePages m_pages;
    QString m_broker;
    quint16 m_port = 0;
};
