#pragma once

#include <QString>
#include <QStringView>

#include <cstdint>
#include <optional>

// A host and a port as people write them: HOST, HOST:PORT, [IPV6] or [IPV6]:PORT.
struct HostPort
{
    QString host;
    std::uint16_t port = 0;

    // None if the text is none of those, or the port is not `lowestPort` to 65535; without a
    // port, the default, and none if there is no default.
    static std::optional<HostPort> read(
        QStringView text, std::optional<std::uint16_t> defaultPort, int lowestPort = 1);
};
