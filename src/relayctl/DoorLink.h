#pragma once

#include "relayctl/ServiceLink.h"
#include "serial/PortOwner.h"

#include <QLocalSocket>

// The line's local socket of the relay-mqtt that owns the port: lines of JSON both ways, after
// the door's first line, which names the device.
class DoorLink : public ServiceLink
{
    Q_OBJECT

public:
    explicit DoorLink(PortOwner owner, QObject *parent = nullptr);

    void open() override;
    void send(const QJsonObject &message) override;
    QString description() const override;

private:
    void readLines();

    PortOwner m_owner;
    QLocalSocket m_socket;
    bool m_greeted = false;
};
