#pragma once

#include <QByteArray>
#include <QtGlobal>

// The instructions the panel sends, one constant per command: the letter for packet byte 2 and
// the rule that gives packet byte 3.
class RelayCommand
{
public:
    enum class Parameter {
        RelayDigit, // the relay number 1 to 8 as its digit character
        Fixed, // always the same digit character
        RawByte, // a number 0 to 255 as the byte itself (a new card address)
    };

    char instruction;
    Parameter parameter;
    char fixedDigit = 0;

    // The parameter byte for this command: `value` is the relay number for RelayDigit, the raw
    // byte for RawByte, and is not used for Fixed.
    constexpr quint8 parameterByte(quint8 value = 0) const
    {
        switch (parameter) {
        case Parameter::RelayDigit:
            return static_cast<quint8>('0' + value);
        case Parameter::Fixed:
            return static_cast<quint8>(fixedDigit);
        case Parameter::RawByte:
            return value;
        }
        return 0;
    }

    // The burst that carries this command to the card at `address`.
    QByteArray burst(quint8 address, quint8 value = 0) const;

    static const RelayCommand relayOn;
    static const RelayCommand relayOff;
    static const RelayCommand allOn;
    static const RelayCommand allOff;
    static const RelayCommand emergencyStop;
    static const RelayCommand showAddress;
    static const RelayCommand changeAddress;
    static const RelayCommand toggleRelay;
    static const RelayCommand momentary;
};

inline constexpr RelayCommand RelayCommand::relayOn{'S', Parameter::RelayDigit};
inline constexpr RelayCommand RelayCommand::relayOff{'C', Parameter::RelayDigit};
inline constexpr RelayCommand RelayCommand::allOn{'S', Parameter::Fixed, '9'};
inline constexpr RelayCommand RelayCommand::allOff{'C', Parameter::Fixed, '9'};
inline constexpr RelayCommand RelayCommand::emergencyStop{'E', Parameter::Fixed, '1'};
inline constexpr RelayCommand RelayCommand::showAddress{'D', Parameter::Fixed, '1'};
inline constexpr RelayCommand RelayCommand::changeAddress{'A', Parameter::RawByte};
inline constexpr RelayCommand RelayCommand::toggleRelay{'T', Parameter::RelayDigit};
inline constexpr RelayCommand RelayCommand::momentary{'P', Parameter::RelayDigit};
