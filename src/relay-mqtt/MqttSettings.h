#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <chrono>
#include <cstdint>

// Where the broker is and how to log in to it; the password comes from a file the caller reads,
// never from the command line.
struct MqttSettings
{
    static constexpr std::uint16_t defaultPort = 1883;

    QString host = QStringLiteral("localhost");
    std::uint16_t port = defaultPort;
    QString clientId; // empty: the library makes one up
    QString username; // empty: log in anonymously
    QString password;
    // Either set: TLS, with the broker's certificate checked against this CA, or the CAs in
    // this folder (OpenSSL's hashed names).
    QString caFile;
    QString caPath;
    // Both set: the bridge shows the broker this certificate (mutual TLS).
    QString certFile;
    QString keyFile;
    // Published by the broker on our behalf when the connection dies without a goodbye.
    QString willTopic;
    QByteArray willPayload = QByteArrayLiteral("offline");
    std::chrono::seconds keepAlive{30};

    // Takes HOST, HOST:PORT, [IPV6] or [IPV6]:PORT; false, with the settings unchanged, if the
    // text is none of those.
    bool setBroker(QStringView text);
    bool usesTls() const { return !caFile.isEmpty() || !caPath.isEmpty(); }
};
