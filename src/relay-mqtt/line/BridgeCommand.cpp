#include "relay-mqtt/line/BridgeCommand.h"

#include "protocol/RelayCommand.h"

namespace {

const RelayCommand &setCommand(BridgeCommand::Setting setting)
{
    switch (setting) {
    case BridgeCommand::Setting::On:
        return RelayCommand::relayOn;
    case BridgeCommand::Setting::Off:
        return RelayCommand::relayOff;
    case BridgeCommand::Setting::Toggle:
        return RelayCommand::toggleRelay;
    }
    return RelayCommand::relayOff;
}

QString settingText(BridgeCommand::Setting setting)
{
    switch (setting) {
    case BridgeCommand::Setting::On:
        return QStringLiteral("ON");
    case BridgeCommand::Setting::Off:
        return QStringLiteral("OFF");
    case BridgeCommand::Setting::Toggle:
        return QStringLiteral("TOGGLE");
    }
    return {};
}

} // namespace

QByteArray BridgeCommand::burst() const
{
    const auto relayNumber = static_cast<quint8>(relay);
    switch (kind) {
    case Kind::Set:
        return setCommand(setting).burst(card, relayNumber);
    case Kind::Hold:
        return RelayCommand::momentary.burst(card, relayNumber);
    case Kind::All:
        return (setting == Setting::On ? RelayCommand::allOn : RelayCommand::allOff).burst(card);
    case Kind::Stop:
        return RelayCommand::emergencyStop.burst(card);
    case Kind::Show:
        return RelayCommand::showAddress.burst(card);
    }
    return {};
}

QString BridgeCommand::text() const
{
    QString onCard = QStringLiteral("card %1").arg(card);
    switch (kind) {
    case Kind::Set:
        return QStringLiteral("%1 relay %2 %3").arg(onCard).arg(relay).arg(settingText(setting));
    case Kind::Hold:
        return QStringLiteral("%1 relay %2 held %3 ms")
            .arg(onCard)
            .arg(relay)
            .arg(holdLength.count());
    case Kind::All:
        return QStringLiteral("%1 all %2").arg(onCard, settingText(setting));
    case Kind::Stop:
        return QStringLiteral("%1 emergency stop").arg(onCard);
    case Kind::Show:
        return QStringLiteral("%1 show address").arg(onCard);
    }
    return onCard;
}
