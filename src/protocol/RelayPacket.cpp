#include "protocol/RelayPacket.h"

namespace RelayPacket {

QByteArray makePacket(quint8 address, char instruction, quint8 parameter)
{
    const auto letter = static_cast<quint8>(instruction);
    const quint8 bytes[packetSize]
        = {startByte, address, letter, parameter, checksum(startByte, address, letter, parameter)};
    return {reinterpret_cast<const char *>(bytes), packetSize};
}

QByteArray makeBurst(const QByteArray &packet)
{
    return packet.repeated(copiesPerBurst);
}

} // namespace RelayPacket
