#pragma once

#include <QString>

// Why the line did not take a command: the words for the log, and the kind of reason, which
// each side answers in its own way (an HTTP status, the relay's state unchanged).
struct Refusal
{
    enum class Cause {
        PortClosed, // the serial port is not open
        QueueFull, // too many commands wait for the line
        Interlock, // it would turn interlocked relays on together
        HoldLimit, // the line keeps as many relays held as it can
    };

    Cause cause = Cause::PortClosed;
    QString text;

    bool operator==(const Refusal &) const = default;
};
