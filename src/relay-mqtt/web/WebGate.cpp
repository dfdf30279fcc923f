#include "relay-mqtt/web/WebGate.h"

#include "relay-mqtt/BridgeLog.h"
#include "relay-mqtt/web/GatedConnection.h"

#include <QSslSocket>
#include <QTcpSocket>

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

namespace {

// Descriptors kept free beside the connections: the serial port, the broker, the log, the
// files a TLS handshake reads.
constexpr rlim_t spareDescriptors = 64;
constexpr int fewestConnections = 8;
// Foreign Host names logged by name; beyond these, no more.
constexpr qsizetype mostLoggedHosts = 64;
constexpr std::chrono::seconds acceptPause{1};

// The connections the process' limit on open files leaves room for.
int roomForConnections(int wanted)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return wanted;
    const rlim_t room = limit.rlim_cur > spareDescriptors ? limit.rlim_cur - spareDescriptors : 0;
    return std::min(wanted, std::max(fewestConnections, int(std::min<rlim_t>(room, INT_MAX))));
}

} // namespace

WebGate::WebGate(QObject &http, const HostNames &names, Limits limits, QObject *parent)
    : QTcpServer(parent), m_http(http), m_names(names), m_limits(limits), m_resume(this)
{
    m_limits.total = roomForConnections(m_limits.total);
    m_resume.setSingleShot(true);
    m_resume.setInterval(acceptPause);
    connect(&m_resume, &QTimer::timeout, this, &QTcpServer::resumeAccepting);
    // Out of descriptors after all: wait for one to be freed rather than try again at once.
    connect(this, &QTcpServer::acceptError, this, [this] {
        pauseAccepting();
        m_resume.start();
    });
}

void WebGate::incomingConnection(qintptr handle)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getpeername(int(handle), reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        ::close(int(handle));
        return;
    }
    const ClientKey client(QHostAddress(reinterpret_cast<const sockaddr *>(&address)));
    const auto counted = m_perClient.find(client);
    const int ofClient = counted == m_perClient.end() ? 0 : counted->second;
    if (m_total >= m_limits.total || ofClient >= m_limits.perClient) {
        turnAway(handle);
        return;
    }
    QTcpSocket *socket = m_tls ? new QSslSocket(this) : new QTcpSocket(this);
    if (!socket->setSocketDescriptor(handle)) {
        delete socket;
        ::close(int(handle));
        return;
    }
    ++m_perClient[client];
    ++m_total;
    socket->setReadBufferSize(readBufferSize);
    auto *gated = new GatedConnection(*socket, *this, client);
    auto *tls = qobject_cast<QSslSocket *>(socket);
    if (tls)
        tls->setSslConfiguration(*m_tls);
    addPendingConnection(socket);
    gated->watchServer();
    if (tls)
        tls->startServerEncryption();
}

void WebGate::turnAway(qintptr handle) const
{
    if (!m_tls) {
        static constexpr char answer[]
            = "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
              "Content-Length: 32\r\nRetry-After: 1\r\nConnection: close\r\n\r\n"
              R"({"error":"too many connections"})";
        // The answer fits any socket's buffer; whatever does not go at once is dropped.
        (void)::send(int(handle), answer, sizeof answer - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    ::close(int(handle));
}

void WebGate::foreignHost(const QString &host, const QString &peer)
{
    if (m_loggedHosts.contains(host) || m_loggedHosts.size() > mostLoggedHosts)
        return;
    m_loggedHosts.insert(host);
    if (m_loggedHosts.size() > mostLoggedHosts) {
        bridgeLog(tr("refused requests for more than %1 names that are not this server's: no "
                     "more of them are logged")
                      .arg(mostLoggedHosts));
        return;
    }
    bridgeLog(tr("refused a request for %1 from %2: not a name of this server (http-host names "
                 "more); logged once for each name")
                  .arg(host, peer));
}

void WebGate::connectionEnded(const ClientKey &client)
{
    --m_total;
    if (const auto counted = m_perClient.find(client);
        counted != m_perClient.end() && --counted->second <= 0)
        m_perClient.erase(counted);
    if (m_resume.isActive()) {
        m_resume.stop();
        resumeAccepting();
    }
}
