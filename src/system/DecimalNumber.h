#pragma once

#include <QStringView>

#include <optional>

// Numbers given on a command line, in a config file, a topic or a path: ASCII decimal digits
// only, so "2.5", "0x10", "+3", " 3", "٣" and "" are refused rather than read as something else.
class DecimalNumber
{
public:
    // A whole number from 0 to `highest`, or none.
    static std::optional<int> read(QStringView text, int highest);
    // The same, in its one spelling: no leading zero either, so that "01" never names what "1"
    // names (a topic or a path means one thing only).
    static std::optional<int> readCanonical(QStringView text, int highest);
};
