#include "relay-mqtt/web/HostNames.h"

#include <QNetworkInterface>

#include <algorithm>

namespace {

// The machine's addresses are read again at most this often, however many foreign names come.
constexpr std::chrono::seconds addressesReread{5};

QString canonical(QString name)
{
    name = name.toLower();
    if (name.endsWith(u'.'))
        name.chop(1);
    return name;
}

// The same address whether written as IPv4 or as IPv4-mapped IPv6.
bool sameAddress(const QHostAddress &a, const QHostAddress &b)
{
    return a.isEqual(b, QHostAddress::TolerantConversion);
}

} // namespace

HostNames::HostNames(
    const QHostAddress &listening, const QString &hostName, const QStringList &extra)
    : m_listening(listening),
      m_everyInterface(listening == QHostAddress::AnyIPv4 || listening == QHostAddress::AnyIPv6
          || listening == QHostAddress::Any)
{
    if (m_everyInterface || listening.isLoopback())
        m_names << QStringLiteral("localhost");
    if (!hostName.isEmpty()) {
        const QString machine = canonical(hostName);
        m_names << machine;
        if (!machine.endsWith(QLatin1String(".local")))
            m_names << machine + QStringLiteral(".local");
    }
    for (const QString &name : extra)
        m_given << canonical(name);
    m_names += m_given;
}

QString HostNames::nameOf(QByteArrayView host)
{
    QByteArrayView name = host;
    QByteArrayView port;
    if (host.startsWith('[')) {
        const qsizetype close = host.indexOf(']');
        if (close < 0)
            return {};
        name = host.sliced(1, close - 1);
        const QByteArrayView after = host.sliced(close + 1);
        if (!after.isEmpty() && !after.startsWith(':'))
            return {};
        port = after.isEmpty() ? after : after.sliced(1);
    } else if (const qsizetype colon = host.lastIndexOf(':'); colon >= 0) {
        name = host.first(colon);
        port = host.sliced(colon + 1);
    }
    const bool portOk = std::all_of(port.begin(), port.end(), [](char c) {
        return c >= '0' && c <= '9';
    }) && port.size() <= 5;
    if (name.isEmpty() || !portOk)
        return {};
    return canonical(QString::fromLatin1(name));
}

bool HostNames::names(QByteArrayView host) const
{
    const QString name = nameOf(host);
    if (name.isEmpty())
        return false;
    if (m_names.contains(name))
        return true;
    const QHostAddress address(name);
    if (address.isNull())
        return false;
    if (!m_everyInterface)
        return sameAddress(address, m_listening);
    return isOwnAddress(address);
}

bool HostNames::isOwnAddress(const QHostAddress &address) const
{
    const auto listed = [&] {
        return std::any_of(m_ownAddresses.cbegin(), m_ownAddresses.cend(),
            [&address](const QHostAddress &own) { return sameAddress(own, address); });
    };
    if (listed())
        return true;
    // An address added since they were read (DHCP, a new interface) counts too.
    const auto now = std::chrono::steady_clock::now();
    if (now - m_addressesRead < addressesReread)
        return false;
    m_addressesRead = now;
    m_ownAddresses = QNetworkInterface::allAddresses();
    return listed();
}
