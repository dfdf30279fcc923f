#pragma once

#include "relay-mqtt/line/BridgeCommand.h"

#include <QtGlobal>

#include <deque>
#include <optional>
#include <vector>

// The commands waiting for the line, first come first served, with room for `capacity` of
// them: a full queue refuses the newest. An emergency stop goes ahead of all but earlier stops
// and takes the place of whatever its card still had queued, so nothing sent before the stop
// switches a relay after it. Stops are always taken; as each replaces its card's queued
// commands, there is at most one per card beside the `capacity` others.
class CommandQueue
{
public:
    static constexpr qsizetype capacity = 32;

    // Whether the command was taken. A stop's card's commands that it drops are added to
    // `dropped`, if given.
    bool push(const BridgeCommand &command, std::vector<BridgeCommand> *dropped = nullptr);
    std::optional<BridgeCommand> take();

    bool isEmpty() const { return m_commands.empty(); }
    // Whether an emergency stop is first in line.
    bool stopWaiting() const { return m_stops > 0; }
    // Commands queued, stops included.
    qsizetype size() const { return qsizetype(m_commands.size()); }
    // Commands of this kind queued.
    qsizetype count(BridgeCommand::Kind kind) const;
    // Drops everything; the commands dropped.
    std::vector<BridgeCommand> clear();

private:
    // Drops the card's queued commands, stops included; the commands dropped.
    std::vector<BridgeCommand> dropCard(quint8 card);

    std::deque<BridgeCommand> m_commands; // the stops first
    qsizetype m_stops = 0;
};
