#include "relay-mqtt/web/ClientKey.h"

#include <QtEndian>

namespace {

constexpr int prefixBytes = 8; // an IPv6 /64

} // namespace

ClientKey::ClientKey(const QHostAddress &address)
{
    bool isIPv4 = false;
    const quint32 v4 = address.toIPv4Address(&isIPv4);
    if (isIPv4) {
        const quint32 bigEndian = qToBigEndian(v4);
        m_bytes = QByteArray(reinterpret_cast<const char *>(&bigEndian), sizeof bigEndian);
        return;
    }
    const Q_IPV6ADDR v6 = address.toIPv6Address();
    m_bytes = QByteArray(reinterpret_cast<const char *>(v6.c), prefixBytes);
}

QString ClientKey::text() const
{
    if (m_bytes.size() == sizeof(quint32))
        return QHostAddress(qFromBigEndian<quint32>(m_bytes.constData())).toString();
    Q_IPV6ADDR v6{};
    std::copy(m_bytes.cbegin(), m_bytes.cend(), reinterpret_cast<char *>(v6.c));
    return QHostAddress(v6).toString() + QStringLiteral("/64");
}
