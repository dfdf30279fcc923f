#pragma once

#include <QByteArray>
#include <QtGlobal>

// The bytes a relay card understands: a five-byte packet (start byte, card address, instruction,
// parameter, checksum) and the burst of four copies that every transmission is made of.
namespace RelayPacket {

inline constexpr quint8 startByte = 13;
inline constexpr int packetSize = 5;
inline constexpr int copiesPerBurst = 4;
inline constexpr int burstSize = packetSize * copiesPerBurst;

// The byte that makes the sum of all five bytes a multiple of 256.
constexpr quint8 checksum(quint8 b0, quint8 b1, quint8 b2, quint8 b3)
{
    const int sum = b0 + b1 + b2 + b3;
    return static_cast<quint8>((256 - sum % 256) % 256);
}

QByteArray makePacket(quint8 address, char instruction, quint8 parameter);
QByteArray makeBurst(const QByteArray &packet);

} // namespace RelayPacket
