#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <chrono>

// One command for a card, as the bridge takes it from a topic and its payload.
struct BridgeCommand
{
    enum class Kind {
        Set, // one relay on, off or toggled
        Hold, // one relay driven for a while by the momentary burst
        All, // all eight relays on or off
        Stop, // emergency stop
        Show, // the card shows its address
    };
    enum class Setting { On, Off, Toggle };

    // The longest hold any front end may ask for.
    static constexpr std::chrono::milliseconds longestHold = std::chrono::hours(1);

    quint8 card = 0;
    Kind kind = Kind::Show;
    int relay = 0; // 1 to 8, for Set and Hold
    Setting setting = Setting::Off; // for Set and All (which knows no Toggle)
    std::chrono::milliseconds holdLength{}; // for Hold
    // Who waits to hear that this command was carried or dropped; 0 for nobody. A front end
    // gives its own numbers; the line only hands them back.
    quint64 ticket = 0;

    // The burst that carries this command to the card; for a hold, one of its repeats.
    QByteArray burst() const;
    // A short description for the log: "card 3 relay 2 ON".
    QString text() const;

    bool operator==(const BridgeCommand &) const = default;
};
