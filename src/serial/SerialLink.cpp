#include "serial/SerialLink.h"

#include <QCollator>
#include <QLocale>
#include <QSerialPortInfo>

#include <algorithm>
#include <utility>

#ifdef Q_OS_UNIX
#include <QFile>

#include <cerrno>
#include <poll.h>
#include <unistd.h>
#endif

SerialLink::SerialLink(PortNames portNames, QObject *parent)
    : QObject(parent), m_portNames(std::move(portNames))
{
    applyLineSettings(m_port);
    connect(&m_port, &QSerialPort::errorOccurred, this, &SerialLink::handleError);
    connect(
        &m_port, &QSerialPort::readyRead, this, [this] { m_port.skip(m_port.bytesAvailable()); });
}

SerialLink::SerialLink(PortList list, QObject *parent) : SerialLink(PortNames(), parent)
{
    m_portList = std::move(list);
    m_portNames = [this](int port) {
        return nthPort(m_scannedPorts ? *m_scannedPorts : portOrder(m_portList()), port);
    };
}

SerialLink::~SerialLink() = default;

SerialLink::PortNames SerialLink::systemPortNames()
{
#ifdef Q_OS_WIN
    return [](int port) {
        return port > 0 ? QStringLiteral("COM%1").arg(port) : QString();
    };
#else
    return listedPortNames(systemPorts());
#endif
}

SerialLink::PortNames SerialLink::deviceOrSystemPortNames(const QString &device)
{
    if (device.isEmpty())
        return systemPortNames();
    return [device](int) {
        return device;
    };
}

SerialLink::PortList SerialLink::systemPorts()
{
    return [] {
        QStringList names;
#ifdef Q_OS_WIN
        for (int port = 1; port <= 256; ++port)
            names.append(QStringLiteral("COM%1").arg(port));
#else
        for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
            names.append(info.portName());
#endif
        return names;
    };
}

SerialLink::PortNames SerialLink::listedPortNames(PortList list)
{
    return [list = std::move(list)](int port) {
        return nthPort(portOrder(list()), port);
    };
}

QString SerialLink::nthPort(const QStringList &ordered, int port)
{
    return port > 0 && port <= ordered.size() ? ordered.at(port - 1) : QString();
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

void SerialLink::beginPortScan()
{
    if (m_portList)
        m_scannedPorts = portOrder(m_portList());
}

void SerialLink::endPortScan()
{
    m_scannedPorts.reset();
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
        return fail(openFailure(trial));
    trial.close();
    return true;
}

bool SerialLink::open(int port)
{
    closePort();

    const QString name = m_portNames(port);
    if (name.isEmpty())
        return fail(tr("No such port"));
    m_port.setPortName(name);
    // Open for reading too: the cards never talk and whatever arrives is dropped, but the
    // system reports a port that goes away (an adapter pulled out) to a reader.
    if (!m_port.open(QIODevice::ReadWrite))
        return fail(openFailure(m_port));
    m_openPort = port;
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
    // Hand the bytes to the system now rather than at the next turn of the event loop; a
    // refusal closes the port.
    m_port.flush();
    return m_port.isOpen() || fail(m_errorString);
}

void SerialLink::close()
{
    if (!m_port.isOpen())
        return;
    m_port.setDataTerminalReady(false);
    m_port.flush();
    closePort();
}

void SerialLink::closePort()
{
    if (m_port.isOpen())
        m_port.close();
    m_port.clearError();
    m_openPort = 0;
    m_backlog.clear();
}

void SerialLink::handleError(QSerialPort::SerialPortError error)
{
    // Only a port that is gone is given up: a missing modem line on a pseudo-terminal is not,
    // nor a full system buffer, which Qt also reports as a resource error.
    const bool suspect = error == QSerialPort::ResourceError || error == QSerialPort::ReadError;
    if (!suspect || !m_port.isOpen())
        return;
    if (!hungUp()) {
        m_port.clearError();
        return;
    }
    const int lost = m_openPort;
    // A read at the end of a hung-up line fails without a reason of the system's own.
    m_errorString
        = error == QSerialPort::ResourceError ? m_port.errorString() : tr("The device hung up");
    closePort();
    emit portLost(lost, m_errorString);
}

bool SerialLink::hungUp() const
{
#ifdef Q_OS_UNIX
    pollfd device{static_cast<int>(m_port.handle()), POLLOUT, 0};
    return ::poll(&device, 1, 0) < 0 || (device.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
#else
    return true;
#endif
}

QString SerialLink::devicePath(int port) const
{
    QString name = m_portNames(port);
    if (name.isEmpty() || name.startsWith(u'/'))
        return name;
#ifdef Q_OS_UNIX
    return QStringLiteral("/dev/") + name;
#else
    return name;
#endif
}

QString SerialLink::openFailure(const QSerialPort &port)
{
    if (port.error() != QSerialPort::PermissionError)
        return port.errorString();
#ifdef Q_OS_UNIX
    const QString name = port.portName();
    const QString device = name.startsWith(u'/') ? name : QStringLiteral("/dev/") + name;
    if (::access(QFile::encodeName(device).constData(), R_OK | W_OK) != 0 && errno == EACCES)
        return tr("Permission denied: this user may not use serial ports (on Linux, the user "
                  "must be in the dialout group)");
#endif
    return tr("In use by another program");
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

std::chrono::nanoseconds SerialLink::timeToCarry() const
{
    return std::max(m_backlog.timeToCarry(),
        std::chrono::ceil<std::chrono::nanoseconds>(LineBacklog::ByteTime(queuedBytes())));
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
