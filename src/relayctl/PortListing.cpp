#include "relayctl/PortListing.h"

#include "serial/SerialLink.h"

#include <QHash>

QStringList PortListing::lines(const QList<QSerialPortInfo> &ports)
{
    QHash<QString, QSerialPortInfo> byName;
    for (const QSerialPortInfo &port : ports)
        byName.insert(port.portName(), port);
    const auto field = [](const QString &text) {
        const QString simplified = text.simplified();
        return simplified.isEmpty() ? QStringLiteral("-") : simplified;
    };

    QStringList lines;
    int number = 0;
    for (const QString &name : SerialLink::portOrder(byName.keys())) {
        const QSerialPortInfo &port = byName[name];
        lines << QStringList{QString::number(++number), field(port.systemLocation()),
            field(port.description()), field(port.manufacturer()), field(port.serialNumber())}
                     .join(u'\t');
    }
    return lines;
}
