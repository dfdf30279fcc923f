#pragma once

#include <QStringView>
#include <QtGlobal>

#include <optional>

// How a box's text is read as a number. Blanks anywhere are skipped; then the longest leading
// decimal number (optional sign, digits, point, fraction, exponent) is taken and the rest
// ignored. The point is the decimal separator in every locale; text without a leading number
// reads as 0. A number too large for a double reads as an infinity.
double textValue(QStringView text);

// textValue() rounded to the nearest integer, halves to the even neighbour; no value when the
// result does not fit a 16-bit signed integer.
std::optional<qint16> textInteger(QStringView text);
