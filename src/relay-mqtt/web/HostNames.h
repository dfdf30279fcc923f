#pragma once

#include <QByteArrayView>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>

// The names this server answers to, as a request's Host header gives them: the address it
// listens on (on every interface, any of the machine's own addresses), localhost when loopback
// reaches it, the machine's host name with and without .local, and the names given with
// http-host. Anything else came from a name that was made to point here: another site's,
// after a DNS rebinding, whose pages must not reach the relays.
class HostNames
{
public:
    HostNames(const QHostAddress &listening, const QString &hostName, const QStringList &extra);

    // Whether the Host header `host` (NAME, NAME:PORT, [IPV6]:PORT) names this server.
    bool names(QByteArrayView host) const;
    // Whether it is one of the names given with http-host, the server's very own.
    bool isGiven(QByteArrayView host) const { return m_given.contains(nameOf(host)); }
    // The name in a Host header, port and brackets taken off, in lower case; empty if it is
    // not a Host header at all.
    static QString nameOf(QByteArrayView host);

private:
    bool isOwnAddress(const QHostAddress &address) const;

    QHostAddress m_listening;
    bool m_everyInterface = false;
    QStringList m_names; // in lower case, without a trailing dot
    QStringList m_given; // those of http-host
    // The machine's addresses, read again when one is asked for that they lack.
    mutable QList<QHostAddress> m_ownAddresses;
    mutable std::chrono::steady_clock::time_point m_addressesRead{};
};
