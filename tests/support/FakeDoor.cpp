#include "FakeDoor.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>
#include <vector>

FakeDoor::FakeDoor(const QString &path, Kind kind, QByteArray hello) : m_hello(std::move(hello))
{
    const QByteArray name = QFile::encodeName(path);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (std::size_t(name.size()) >= sizeof(address.sun_path))
        return;
    std::memcpy(address.sun_path, name.constData(), std::size_t(name.size()));
    m_socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_socket < 0
        || ::bind(m_socket, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0
        || ::listen(m_socket, 8) != 0)
        return;
    m_valid = true;
    if (kind == Kind::Stale) {
        // The file stays; nobody listens on it any more.
        ::close(m_socket);
        m_socket = -1;
        return;
    }
    if (kind == Kind::Silent)
        m_hello.clear();
    m_thread = std::thread([this] { serve(); });
}

FakeDoor::~FakeDoor()
{
    m_stopping = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_socket >= 0)
        ::close(m_socket);
}

QByteArray FakeDoor::hello(const QString &device, const QString &name, const QString &page, bool up)
{
    QJsonObject hello{{"type", "line"}, {"device", device}, {"name", name}, {"up", up}};
    if (!page.isEmpty())
        hello.insert("page", page);
    return QJsonDocument(hello).toJson(QJsonDocument::Compact) + '\n';
}

void FakeDoor::serve()
{
    std::vector<int> clients;
    while (!m_stopping) {
        pollfd listening{m_socket, POLLIN, 0};
        if (::poll(&listening, 1, 20) <= 0)
            continue;
        const int client = ::accept4(m_socket, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        clients.push_back(client);
        if (!m_hello.isEmpty())
            (void)!::write(client, m_hello.constData(), std::size_t(m_hello.size()));
    }
    for (const int client : clients)
        ::close(client);
}
