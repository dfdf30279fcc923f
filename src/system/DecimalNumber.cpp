#include "system/DecimalNumber.h"

#include <QRegularExpression>

std::optional<int> DecimalNumber::read(const QString &text, int highest)
{
    // Nine digits at most: every such number fits an int.
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,9}$"));
    if (!digits.match(text).hasMatch())
        return std::nullopt;
    const int value = text.toInt();
    return value <= highest ? std::optional<int>(value) : std::nullopt;
}
