#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>

// Who a connection or a login attempt is counted against: an IPv4 address (also written as an
// IPv4-mapped IPv6 one), or an IPv6 address's /64, since one subscriber is given a whole /64
// and could otherwise count as billions of clients.
class ClientKey
{
public:
    explicit ClientKey(const QHostAddress &address);

    // For the log: "192.0.2.7" or "2001:db8:1:2::/64".
    QString text() const;

    bool operator==(const ClientKey &other) const { return m_bytes == other.m_bytes; }
    bool operator<(const ClientKey &other) const { return m_bytes < other.m_bytes; }

private:
    QByteArray m_bytes; // 4 for IPv4, 8 for an IPv6 prefix
};
