#include "relay-mqtt/MqttSettings.h"

#include "system/DecimalNumber.h"

#include <limits>

namespace {

bool parsePort(QStringView text, std::uint16_t &port)
{
    const std::optional<int> value
        = DecimalNumber::read(text, std::numeric_limits<std::uint16_t>::max());
    if (!value || *value == 0)
        return false;
    port = static_cast<std::uint16_t>(*value);
    return true;
}

} // namespace

bool MqttSettings::setBroker(QStringView text)
{
    QStringView hostPart = text;
    std::uint16_t newPort = defaultPort;
    if (text.startsWith(u'[')) {
        // An IPv6 address has colons of its own, so it comes in brackets when a port follows.
        const qsizetype close = text.indexOf(u']');
        if (close < 0)
            return false;
        hostPart = text.sliced(1, close - 1);
        const QStringView rest = text.sliced(close + 1);
        if (!rest.isEmpty() && (!rest.startsWith(u':') || !parsePort(rest.sliced(1), newPort)))
            return false;
    } else if (text.count(u':') == 1) {
        const qsizetype colon = text.indexOf(u':');
        hostPart = text.first(colon);
        if (!parsePort(text.sliced(colon + 1), newPort))
            return false;
    }
    if (hostPart.trimmed().isEmpty() || hostPart.contains(u' '))
        return false;
    host = hostPart.toString();
    port = newPort;
    return true;
}
