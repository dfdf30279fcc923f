#include "protocol/RelayCommand.h"

#include "protocol/RelayPacket.h"

QByteArray RelayCommand::burst(quint8 address, quint8 value) const
{
    return RelayPacket::makeBurst(
        RelayPacket::makePacket(address, instruction, parameterByte(value)));
}
