#include "relay-mqtt/MqttSettings.h"

#include "relay-mqtt/HostPort.h"

bool MqttSettings::setBroker(QStringView text)
{
    const std::optional<HostPort> broker = HostPort::read(text, defaultPort);
    if (!broker)
        return false;
    host = broker->host;
    port = broker->port;
    return true;
}
