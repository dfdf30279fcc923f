#include "relay-mqtt/WebSettings.h"

#include "relay-mqtt/HostPort.h"

#include <optional>

bool WebSettings::setListen(QStringView text)
{
    const std::optional<HostPort> listen = HostPort::read(text, std::nullopt, 0);
    if (!listen)
        return false;
    QHostAddress parsed;
    if (listen->host == QLatin1String("localhost"))
        parsed = QHostAddress(QHostAddress::LocalHost);
    else if (!parsed.setAddress(listen->host))
        return false;
    on = true;
    address = parsed;
    port = listen->port;
    return true;
}

QString WebSettings::pageUrl(const QString &hostName) const
{
    const bool anyInterface = address == QHostAddress::AnyIPv4 || address == QHostAddress::AnyIPv6
        || address == QHostAddress::Any;
    QString host = anyInterface ? hostName : address.toString();
    if (!anyInterface && address.protocol() == QAbstractSocket::IPv6Protocol)
        host = QStringLiteral("[%1]").arg(host);
    return QStringLiteral("%1://%2:%3/")
        .arg(usesTls() ? QStringLiteral("https") : QStringLiteral("http"), host)
        .arg(port);
}
