#pragma once

#include "relay-mqtt/web/ClientKey.h"

#include <QByteArray>
#include <QSet>
#include <QSslConfiguration>
#include <QString>
#include <QTcpServer>
#include <QTimer>

#include <chrono>
#include <map>
#include <optional>

class HostNames;

// The web side's front door: accepts the connections that Qt HttpServer then serves, and keeps
// each within bounds whatever its client sends. Qt HttpServer 6.4 keeps a request in the
// socket's buffer until it is complete, with no limit on its size or on how long it takes, and
// keeps a connection for ever. So the gate caps what a socket may buffer, reads the framing of
// each request as its bytes arrive (a GatedConnection per socket, before the server reads
// them), answers a head or a body too long, a foreign Host or a malformed request itself and
// closes the connection without reading the rest, and closes connections that take too long
// or sit idle. It also bounds the connections a client, and all clients together, may hold:
// beyond that a new one is turned away at once, and none spins in accept.
class WebGate : public QTcpServer
{
    Q_OBJECT

public:
    struct Limits
    {
        int perClient = 32;
        // Every connection is a file descriptor: the total stays well under the process' limit
        // on open files (LimitNOFILE in the units), which the gate reads at start.
        int total = 512;
        // From the connection, or from a request's first byte, until the request is complete.
        std::chrono::milliseconds request{std::chrono::seconds(10)};
        // Between requests; a WebSocket's pings keep its connection open instead.
        std::chrono::milliseconds idle{std::chrono::seconds(30)};
    };
    // What one socket may buffer of its client's bytes: a request's longest head and longest
    // chunked body, and room for a TLS record.
    static constexpr qint64 readBufferSize = qint64{32} * 1024;

    // `http`: the Qt HttpServer the connections are for, which bind()s this gate.
    WebGate(QObject &http, const HostNames &names, Limits limits, QObject *parent = nullptr);

    // Serves HTTPS with this configuration rather than plain HTTP.
    void setTls(const QSslConfiguration &tls) { m_tls = tls; }
    const Limits &limits() const { return m_limits; }
    QObject &http() const { return m_http; }
    const HostNames &names() const { return m_names; }
    int connectionCount() const { return m_total; }

    // A request for `host` that does not name this server, logged once for each name.
    void foreignHost(const QString &host, const QString &peer);
    // A connection of `client` has closed.
    void connectionEnded(const ClientKey &client);

protected:
    void incomingConnection(qintptr handle) override;

private:
    // Turns the connection away at once: a short 503 for plain HTTP, then closed.
    void turnAway(qintptr handle) const;

    QObject &m_http;
    const HostNames &m_names;
    Limits m_limits;
    std::optional<QSslConfiguration> m_tls;
    std::map<ClientKey, int> m_perClient;
    int m_total = 0;
    QSet<QString> m_loggedHosts;
    // After an accept that failed (the process out of file descriptors), accepting resumes
    // when a connection closes, or after a pause.
    QTimer m_resume;
};
