#include "card/PacketDecoder.h"

#include "protocol/RelayPacket.h"

namespace {

bool checksumHolds(QByteArrayView packet)
{
    int sum = 0;
    for (char byte : packet)
        sum += static_cast<quint8>(byte);
    return sum % 256 == 0;
}

} // namespace

QList<QByteArray> PacketDecoder::feed(QByteArrayView bytes)
{
    m_pending.append(bytes);
    QList<QByteArray> packets;
    qsizetype at = 0;
    for (;;) {
        const qsizetype start = m_pending.indexOf(char(RelayPacket::startByte), at);
        if (start < 0) {
            at = m_pending.size(); // nothing here can start a packet
            break;
        }
        at = start;
        if (m_pending.size() - at < packetSize)
            break; // the rest has not arrived yet
        const QByteArrayView candidate = QByteArrayView(m_pending).sliced(at, packetSize);
        if (checksumHolds(candidate)) {
            packets.append(candidate.toByteArray());
            ++m_good;
            at += packetSize;
        } else {
            ++m_bad;
            ++at; // look for the next start byte inside this one
        }
    }
    m_pending.remove(0, at);
    return packets;
}
