#pragma once

#include "serial/LineBacklog.h"

#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// The one serial port the panel talks through: try a port, open it with the cards' line
// settings, queue bursts for the line, release it. It never reads.
class SerialLink : public QObject
{
    Q_OBJECT

public:
    // Port number (1 for the first port) to device name; an empty name means no such port.
    using PortNames = std::function<QString(int port)>;
    // The device names of the serial ports present now, in any order.
    using PortList = std::function<QStringList()>;

    static constexpr qint32 baudRate = LineBacklog::baudRate;
    // The program's own queue; the operating system's buffer comes on top of it.
    static constexpr qint64 sendQueueSize = 4096;

    explicit SerialLink(PortNames portNames, QObject *parent = nullptr);
    // Port n is the n-th name `list` gives, in portOrder(); asked afresh for every port, but
    // once for a whole port scan.
    explicit SerialLink(PortList list, QObject *parent = nullptr);
    ~SerialLink() override;

    // "COMn" on Windows; elsewhere the n-th serial port the system lists, in portOrder().
    static PortNames systemPortNames();
    // A device named by its path stands for the port whatever its number; without one, the
    // system's ports as systemPortNames() numbers them.
    static PortNames deviceOrSystemPortNames(const QString &device);
    // The serial ports the system lists now ("COM1" to "COM256" on Windows).
    static PortList systemPorts();
    // Port n is the n-th name `list` gives, in portOrder(); asked afresh for every port.
    static PortNames listedPortNames(PortList list);
    // Device names in natural order: ttyS2 before ttyS10, ttyACM0 before ttyS0 before ttyUSB0.
    static QStringList portOrder(QStringList names);

    // The cards' line: 2400 baud, 8 data bits, no parity, 1 stop bit, no flow control.
    static void applyLineSettings(QSerialPort &port);

    void setClock(LineBacklog::Clock clock);

    // Until endPortScan(), a link built on a port list numbers its ports from one reading of
    // it: listing the system's ports walks through its devices, and start-up tries several.
    void beginPortScan();
    void endPortScan();

    // Opens and closes the port again; the port already open, if any, is left alone.
    bool probe(int port);
    // Closes the open port, then opens `port`. On failure no port is open.
    bool open(int port);
    // Queues the bytes for the line and returns at once; all of them or, on failure, none.
    bool write(const QByteArray &bytes);
    // Drops DTR and closes the port, if one is open.
    void close();
    bool isOpen() const;

    // Bytes in the program's own queue, not yet taken by the system.
    qint64 queuedBytes() const;
    // Bytes written that the line has not yet carried, estimated from its pace.
    qint64 bytesWaiting() const;
    // How long the line needs to carry them.
    std::chrono::nanoseconds timeToCarry() const;
    // The device `port` names now: "/dev/ttyUSB0", or empty for no such port.
    QString devicePath(int port) const;
    // Why the last failed operation failed, in words an operator can read.
    QString errorString() const;

signals:
    // The open port went away (a USB adapter pulled out, a write the system refused); the link
    // has closed it.
    void portLost(int port, const QString &reason);

private:
    bool fail(const QString &reason);
    // Why `port` did not open, telling a port in use from one the user may not open.
    static QString openFailure(const QSerialPort &port);
    void handleError(QSerialPort::SerialPortError error);
    // Whether the open device has gone away rather than just being busy.
    bool hungUp() const;
    // Closes the port without a word to the line (no DTR change) and forgets its backlog.
    void closePort();

    // The name of `port` among `ordered`, empty when there is no such port.
    static QString nthPort(const QStringList &ordered, int port);

    PortNames m_portNames;
    PortList m_portList;
    std::optional<QStringList> m_scannedPorts;
    QSerialPort m_port;
    int m_openPort = 0;
    LineBacklog m_backlog;
    QString m_errorString;
};
