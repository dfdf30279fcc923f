#include "panel/TextNumber.h"

#include <QLocale>
#include <QTest>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>

using OptionalInt = std::optional<qint16>;

class TestTextNumber : public QObject
{
    Q_OBJECT

private slots:
    void value_data();
    void value();
    void integer_data();
    void integer();
    void pointUnderGermanLocale();
};

void TestTextNumber::value_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("expected");

    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("integer") << "7" << 7.0;
    QTest::newRow("leading blank") << " 7" << 7.0;
    QTest::newRow("blanks inside") << " 1 2\t3 " << 123.0;
    QTest::newRow("fraction") << "2.5" << 2.5;
    QTest::newRow("point first") << ".5" << 0.5;
    QTest::newRow("trailing point") << "5." << 5.0;
    QTest::newRow("exponent") << "1e2" << 100.0;
    QTest::newRow("capital exponent, blanks") << "1 E - 2" << 0.01;
    QTest::newRow("exponent without digits") << "3e" << 3.0;
    QTest::newRow("exponent sign without digits") << "3e+x" << 3.0;
    QTest::newRow("plus sign") << "+4" << 4.0;
    QTest::newRow("minus sign") << "-1" << -1.0;
    QTest::newRow("trailing letters") << "12abc" << 12.0;
    QTest::newRow("letters") << "abc" << 0.0;
    QTest::newRow("empty") << "" << 0.0;
    QTest::newRow("blanks only") << "   " << 0.0;
    QTest::newRow("sign alone") << "-" << 0.0;
    QTest::newRow("point alone") << "." << 0.0;
    QTest::newRow("two signs") << "+-3" << 0.0;
    QTest::newRow("decimal comma ends the number") << "2,5" << 2.0;
    QTest::newRow("second point ends the number") << "1.2.3" << 1.2;
    QTest::newRow("no radix prefix") << "&H10" << 0.0;
    QTest::newRow("hex digits are not read") << "0x1F" << 0.0;
    QTest::newRow("overflow") << "1e999" << inf;
    QTest::newRow("negative overflow") << "-1e999" << -inf;
    QTest::newRow("underflow") << "1e-999" << 0.0;
    QTest::newRow("huge exponent digits") << "1e99999999999999999999999" << inf;
    QTest::newRow("10000 digits") << QString(10000, u'9') << inf;
    QTest::newRow("10000 digit fraction") << "0." + QString(10000, u'0') + "1" << 0.0;
    QTest::newRow("Arabic-Indic digits") << QStringLiteral("\u0661\u0662") << 0.0;
    QTest::newRow("fullwidth digits") << QStringLiteral("\uFF11") << 0.0;
    QTest::newRow("control character ends") << QStringLiteral("4\u00017") << 4.0;
}

void TestTextNumber::value()
{
    QFETCH(QString, text);
    QFETCH(double, expected);
    QCOMPARE(textValue(text), expected);
}

void TestTextNumber::integer_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<OptionalInt>("expected");

    QTest::newRow("2.5 to even") << "2.5" << OptionalInt(2);
    QTest::newRow("3.5 to even") << "3.5" << OptionalInt(4);
    QTest::newRow("-2.5 to even") << "-2.5" << OptionalInt(-2);
    QTest::newRow("254.5") << "254.5" << OptionalInt(254);
    QTest::newRow("255.5") << "255.5" << OptionalInt(256);
    QTest::newRow("2.51 up") << "2.51" << OptionalInt(3);
    QTest::newRow("-0") << "-0" << OptionalInt(0);
    QTest::newRow(".5") << ".5" << OptionalInt(0);
    QTest::newRow("1e2") << "1e2" << OptionalInt(100);
    QTest::newRow("largest") << "32767" << OptionalInt(32767);
    QTest::newRow("smallest") << "-32768" << OptionalInt(-32768);
    QTest::newRow("32767.5 rounds out") << "32767.5" << OptionalInt();
    QTest::newRow("32768") << "32768" << OptionalInt();
    QTest::newRow("-32769") << "-32769" << OptionalInt();
    QTest::newRow("99999") << "99999" << OptionalInt();
    QTest::newRow("65537 does not wrap") << "65537" << OptionalInt();
    QTest::newRow("1e999") << "1e999" << OptionalInt();
    QTest::newRow("10000 digits") << QString(10000, u'1') << OptionalInt();
    QTest::newRow("letters") << "abc" << OptionalInt(0);
}

void TestTextNumber::integer()
{
    QFETCH(QString, text);
    QFETCH(OptionalInt, expected);
    QCOMPARE(textInteger(text), expected);
}

void TestTextNumber::pointUnderGermanLocale()
{
    // The C library's own reading of numbers must be German here, or the case proves nothing
    // (./scripts/setup generates the locale).
    const char *german = std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
    QVERIFY2(german, "the de_DE.UTF-8 locale is not installed");
    const bool commaIsSeparator = std::strtod("2,75", nullptr) == 2.75;
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));

    const double withPoint = textValue(u"2.75");
    const double withComma = textValue(u"2,75");

    std::setlocale(LC_NUMERIC, "C");
    QLocale::setDefault(previous);
    QVERIFY(commaIsSeparator);
    QCOMPARE(withPoint, 2.75);
    QCOMPARE(withComma, 2.0);
}

QTEST_APPLESS_MAIN(TestTextNumber)
#include "tst_textnumber.moc"
