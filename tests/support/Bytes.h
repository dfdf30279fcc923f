#pragma once

#include <QByteArray>

#include <initializer_list>

// Raw bytes written as numbers, as a card's packets are usually told.
inline QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray result;
    for (int value : values)
        result.append(static_cast<char>(value));
    return result;
}

// A packet written out whole, its checksum too, four times over: a burst as the line carries it.
inline QByteArray burstOf(std::initializer_list<int> packet)
{
    return bytes(packet).repeated(4);
}
