#pragma once

// Why the line stopped holding a relay, or dropped a command it had taken, for whoever asked.
enum class HoldEnd {
    TimeUp, // its length has passed
    Command, // another command for the relay, or all on or off for its card
    Stop, // the emergency stop of its card
    Interlock, // a partner of its interlock group is being turned on
    LetGo, // whoever held it let go
    LineFailed, // the serial port failed
    Stopping, // relay-mqtt is stopping
};
