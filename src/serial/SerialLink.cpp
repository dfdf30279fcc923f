#include "serial/SerialLink.h"

#include <QCollator>
#include <QLocale>
#include <QSerialPortInfo>

#include <algorithm>
#include <utility>

SerialLink::SerialLink(PortNames portNames, QObject *parent)
    : QObject(parent), m_portNames(std::move(portNames))
{
    applyLineSettings(m_port);
}

SerialLink::~SerialLink() = default;

SerialLink::PortNames SerialLink::systemPortNames()
{
    return [](int port) -> QString {
#ifdef Q_OS_WIN
        return port > 0 ? QStringLiteral("COM%1").arg(port) : QString();
#else
        QStringList names;
        for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
            names.append(info.portName());
        names = portOrder(names);
        return port > 0 && port <= names.size() ? names.at(port - 1) : QString();
#endif
    };
}

QStringList SerialLink::portOrder(QStringList names)
{
    // A fixed locale, so the numbering does not depend on the user's language; the C locale
    // would compare digits one by one.
    QCollator collator(QLocale(QLocale::English, QLocale::UnitedStates));
    collator.setNumericMode(true);
    std::sort(names.begin(), names.end(), collator);
    return names;
}

void SerialLink::setClock(LineBacklog::Clock clock)
{
    m_backlog = LineBacklog(std::move(clock));
}

void SerialLink::applyLineSettings(QSerialPort &port)
{
    port.setBaudRate(baudRate);
    port.setDataBits(QSerialPort::Data8);
    port.setParity(QSerialPort::NoParity);
    port.setStopBits(QSerialPort::OneStop);
    port.setFlowControl(QSerialPort::NoFlowControl);
}

bool SerialLink::probe(int port)
{
    const QString name = m_portNames(port);
    if (name.isEmpty())
        return fail(tr("No such port"));
    QSerialPort trial;
    applyLineSettings(trial);
    trial.setPortName(name);
    if (!trial.open(QIODevice::WriteOnly))
        return fail(trial.errorString());
    trial.close();
    return true;
}

bool SerialLink::open(int port)
{
    if (m_port.isOpen())
        m_port.close();
    m_backlog.clear();

    const QString name = m_portNames(port);
    if (name.isEmpty())
        return fail(tr("No such port"));
    m_port.setPortName(name);
    if (!m_port.open(QIODevice::WriteOnly))
        return fail(m_port.errorString());
    // Pseudo-terminals and some adapters have no modem lines; the port works without DTR.
    m_port.setDataTerminalReady(true);
    m_port.clearError();
    return true;
}

bool SerialLink::write(const QByteArray &bytes)
{
    if (!m_port.isOpen())
        return fail(tr("No port is open"));
    if (queuedBytes() + bytes.size() > sendQueueSize)
        return fail(tr("The send queue is full"));
    if (m_port.write(bytes) != bytes.size())
        return fail(m_port.errorString());
    m_backlog.recordWrite(bytes.size());
    // Hand the bytes to the system now rather than at the next turn of the event loop.
    m_port.flush();
    return true;
}

void SerialLink::close()
{
    if (!m_port.isOpen())
        return;
    m_port.setDataTerminalReady(false);
    m_port.flush();
    m_port.close();
    m_port.clearError();
    m_backlog.clear();
}

bool SerialLink::isOpen() const
{
    return m_port.isOpen();
}

qint64 SerialLink::queuedBytes() const
{
    return m_port.bytesToWrite();
}

qint64 SerialLink::bytesWaiting() const
{
    return std::max(m_backlog.bytesWaiting(), queuedBytes());
}

QString SerialLink::errorString() const
{
    return m_errorString;
}

bool SerialLink::fail(const QString &reason)
{
    m_errorString = reason;
    return false;
}
