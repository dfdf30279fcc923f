#include "system/DecimalNumber.h"

#include <QString>

#include <algorithm>

std::optional<int> DecimalNumber::read(QStringView text, int highest)
{
    // Nine digits at most: every such number fits an int.
    constexpr qsizetype mostDigits = 9;
    if (text.isEmpty() || text.size() > mostDigits
        || !std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
        return std::nullopt;
    const int value = text.toInt();
    return value <= highest ? std::optional<int>(value) : std::nullopt;
}

std::optional<int> DecimalNumber::readCanonical(QStringView text, int highest)
{
    if (text.size() > 1 && text.front() == u'0')
        return std::nullopt;
    return read(text, highest);
}
