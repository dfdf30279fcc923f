#pragma once

#include <QList>
#include <QSerialPortInfo>
#include <QStringList>

// What `relayctl ports` prints: a line per serial port, numbered as the panel numbers them,
// with what the system knows of it. Nothing is opened.
class PortListing
{
public:
    // Number, device, description, manufacturer and serial number, separated by tabs; "-"
    // where the system knows nothing.
    static QStringList lines(const QList<QSerialPortInfo> &ports);
};
