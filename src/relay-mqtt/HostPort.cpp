#include "relay-mqtt/HostPort.h"

#include "system/DecimalNumber.h"

#include <limits>

namespace {

std::optional<std::uint16_t> readPort(QStringView text, int lowest)
{
    const std::optional<int> value
        = DecimalNumber::read(text, std::numeric_limits<std::uint16_t>::max());
    if (!value || *value < lowest)
        return std::nullopt;
    return static_cast<std::uint16_t>(*value);
}

} // namespace

std::optional<HostPort> HostPort::read(
    QStringView text, std::optional<std::uint16_t> defaultPort, int lowestPort)
{
    QStringView hostPart = text;
    std::optional<std::uint16_t> port = defaultPort;
    QStringView portPart;
    bool hasPort = false;
    if (text.startsWith(u'[')) {
        // An IPv6 address has colons of its own, so it comes in brackets when a port follows.
        const qsizetype close = text.indexOf(u']');
        if (close < 0)
            return std::nullopt;
        hostPart = text.sliced(1, close - 1);
        const QStringView rest = text.sliced(close + 1);
        if (!rest.isEmpty() && !rest.startsWith(u':'))
            return std::nullopt;
        hasPort = !rest.isEmpty();
        portPart = hasPort ? rest.sliced(1) : QStringView();
    } else if (text.count(u':') == 1) {
        const qsizetype colon = text.indexOf(u':');
        hostPart = text.first(colon);
        hasPort = true;
        portPart = text.sliced(colon + 1);
    }
    if (hasPort)
        port = readPort(portPart, lowestPort);
    if (!port || hostPart.trimmed().isEmpty() || hostPart.contains(u' '))
        return std::nullopt;
    return HostPort{hostPart.toString(), *port};
}
