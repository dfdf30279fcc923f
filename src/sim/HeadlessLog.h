#pragma once

#include "card/VirtualCard.h"

#include <QString>

// The lines relaycard-sim --headless prints, one per event, fields separated by one blank:
//   <ms> <address> <instruction> <parameter> <relays>
// <ms> counts from the start of the program; <address> is the address the packet carried (the
// card's old address for "A"); <instruction> is the letter, or "?" for a byte that is not a
// printable letter; <parameter> is the parameter byte as a decimal number; <relays> is relay 1
// to 8 as 1 (on) or 0 (off), after the command. A held relay let go without a command prints
// "-" for instruction and parameter.
class HeadlessLog
{
public:
    static QString commandLine(qint64 ms, quint8 address, const VirtualCard::Command &command,
        const VirtualCard::Relays &relays);
    static QString releaseLine(qint64 ms, quint8 address, const VirtualCard::Relays &relays);
    // Relay 1 to 8 as "1" (on) or "0" (off).
    static QString relayString(const VirtualCard::Relays &relays);
};
