#pragma once

#include <QString>

#include <optional>

// Numbers given on a command line or in a config file: decimal digits only, so "2.5", "0x10",
// "+3" and "" are refused rather than read as something else.
class DecimalNumber
{
public:
    // A whole number from 0 to `highest`, or none.
    static std::optional<int> read(const QString &text, int highest);
};
