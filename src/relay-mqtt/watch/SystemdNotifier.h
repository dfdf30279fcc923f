#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <optional>

#include <sys/socket.h>
#include <sys/un.h>

// systemd's notification protocol, as a service of Type=notify speaks it: READY, STATUS,
// WATCHDOG and STOPPING, each a datagram to the socket NOTIFY_SOCKET names. Nothing at all when
// the environment names none: relay-mqtt was not started by systemd.
class SystemdNotifier : public QObject
{
    Q_OBJECT

public:
    explicit SystemdNotifier(QObject *parent = nullptr);
    ~SystemdNotifier() override;
    SystemdNotifier(const SystemdNotifier &) = delete;
    SystemdNotifier &operator=(const SystemdNotifier &) = delete;

    bool isActive() const { return m_socket >= 0; }
    // The service is up, doing what `status` says.
    void ready(const QString &status);
    // What the service is doing now, in one short line; sent only when it changed.
    void setStatus(const QString &status);
    void stopping();
    // How often WATCHDOG=1 goes out: half the time systemd allows, if it watches at all.
    std::optional<std::chrono::milliseconds> watchdogPace() const;

private:
    // WATCHDOG and STATUS may be dropped while systemd's queue is full; READY and STOPPING are
    // tried a few times.
    enum class Delivery { Drop, Insist };
    void send(const QByteArray &message, Delivery delivery = Delivery::Drop);

    int m_socket = -1;
    sockaddr_un m_address{};
    socklen_t m_addressLength = 0;
    QTimer m_watchdog;
    QString m_status;
};
