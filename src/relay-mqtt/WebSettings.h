#pragma once

#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <chrono>
#include <cstdint>

// Where relay-mqtt serves its web page and API, and who may use them. Off unless set.
struct WebSettings
{
    bool on = false;
    QHostAddress address;
    std::uint16_t port = 0; // 0: a free one, which the log names
    // The password of the page's login form, and the token scripts send as a Bearer; either
    // empty: not accepted. Without a password no login is asked for (on loopback only).
    QString password;
    QString token;
    // Names the server answers to beside its own address and the machine's name: a DNS name
    // of its own, or the name a reverse proxy passes on.
    QStringList hostNames;
    // Both set: HTTPS with this certificate and key.
    QString certFile;
    QString keyFile;

    bool isOn() const { return on; }
    bool usesTls() const { return !certFile.isEmpty(); }
    bool loginRequired() const { return !password.isEmpty(); }
    // Only this machine can reach the address: 127.0.0.0/8 or ::1.
    bool onLoopback() const { return address.isLoopback(); }
    // ADDRESS:PORT or [IPV6]:PORT, the address a literal one or localhost, the port 0 to 65535;
    // false, with the settings unchanged, if the text is none of those.
    bool setListen(QStringView text);
    // The page's address as another machine would name it, with `hostName` for an address
    // that stands for every interface.
    QString pageUrl(const QString &hostName) const;
};
