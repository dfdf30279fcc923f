#include "panel/TextNumber.h"

#include <QByteArray>

#include <charconv>
#include <cmath>
#include <limits>

namespace {

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The leading number of `text`, blanks removed, as plain ASCII; empty when there is none.
QByteArray leadingNumber(QStringView text)
{
    QByteArray chars;
    for (QChar c : text) {
        if (isBlank(c))
            continue;
        if (c.unicode() >= 0x80)
            break;
        chars.append(static_cast<char>(c.unicode()));
    }

    qsizetype end = 0;
    const auto skipDigits = [&](qsizetype from) {
        while (from < chars.size() && isDigit(chars.at(from)))
            ++from;
        return from;
    };
    qsizetype i = 0;
    if (i < chars.size() && (chars.at(i) == '+' || chars.at(i) == '-'))
        ++i;
    const qsizetype intEnd = skipDigits(i);
    bool hasDigits = intEnd > i;
    i = intEnd;
    if (i < chars.size() && chars.at(i) == '.') {
        const qsizetype fracEnd = skipDigits(i + 1);
        hasDigits = hasDigits || fracEnd > i + 1;
        i = fracEnd;
    }
    if (!hasDigits)
        return {};
    end = i;
    if (i < chars.size() && (chars.at(i) == 'e' || chars.at(i) == 'E')) {
        qsizetype exp = i + 1;
        if (exp < chars.size() && (chars.at(exp) == '+' || chars.at(exp) == '-'))
            ++exp;
        const qsizetype expEnd = skipDigits(exp);
        if (expEnd > exp)
            end = expEnd;
    }
    return chars.first(end);
}

// For a number beyond a double's range: whether it overflows rather than underflows, told by the
// decimal order of magnitude of its first significant digit (saturated, so any length works).
bool isHuge(const char *first, const char *last)
{
    constexpr qint64 limit = 1'000'000'000;
    qint64 order = 0;
    bool significant = false;
    bool fraction = false;
    const char *p = first;
    for (; p != last && (isDigit(*p) || *p == '.'); ++p) {
        if (*p == '.') {
            fraction = true;
        } else if (!fraction) {
            significant = significant || *p != '0';
            if (significant && order < limit)
                ++order;
        } else if (!significant) {
            if (*p != '0')
                significant = true;
            else if (order > -limit)
                --order;
        }
    }
    qint64 exponent = 0;
    if (p != last) { // 'e' or 'E'
        ++p;
        const bool negativeExponent = p != last && *p == '-';
        if (p != last && (*p == '-' || *p == '+'))
            ++p;
        for (; p != last && exponent < limit; ++p)
            exponent = exponent * 10 + (*p - '0');
        if (negativeExponent)
            exponent = -exponent;
    }
    return order + exponent > 0;
}

} // namespace

double textValue(QStringView text)
{
    const QByteArray number = leadingNumber(text);
    if (number.isEmpty())
        return 0.0;

    const bool negative = number.front() == '-';
    const qsizetype signLength = (number.front() == '-' || number.front() == '+') ? 1 : 0;
    const char *first = number.constData() + signLength;
    const char *last = number.constData() + number.size();

    double magnitude = 0.0;
    const auto [ptr, ec] = std::from_chars(first, last, magnitude, std::chars_format::general);
    if (ec == std::errc::result_out_of_range)
        magnitude = isHuge(first, last) ? std::numeric_limits<double>::infinity() : 0.0;
    return negative ? -magnitude : magnitude;
}

std::optional<qint16> textInteger(QStringView text)
{
    const double rounded = std::nearbyint(textValue(text)); // ties to even by default
    if (!(rounded >= std::numeric_limits<qint16>::min()
            && rounded <= std::numeric_limits<qint16>::max()))
        return std::nullopt;
    return static_cast<qint16>(rounded);
}
