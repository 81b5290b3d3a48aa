#include "Errors.h"
#include "NumberText.h"
#include "support/CurrencyText.h"

#include <QTest>
#include <cmath>
#include <limits>

class tst_NumberText : public QObject {
    Q_OBJECT
private slots:
    void floatToStr_data();
    void floatToStr();
    void textToCurrency_data();
    void textToCurrency();
    void conversionMessageQuotesAtMost100Characters();
    void varToStr_data();
    void varToStr();
    void objectWithoutTextIsAVariantError();
    void currencyDecimalText_data();
    void currencyDecimalText();
};

void tst_NumberText::floatToStr_data() {
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("separator");
    QTest::addColumn<QString>("text");
    const QString dot = QStringLiteral("."), comma = QStringLiteral(",");
    QTest::newRow("integer") << 138.0 << dot << "138";
    QTest::newRow("negative") << -2.5 << dot << "-2.5";
    QTest::newRow("zero") << 0.0 << dot << "0";
    QTest::newRow("negative zero") << -0.0 << dot << "0";
    QTest::newRow("one third, 15 digits") << 1.0 / 3 << dot << "0.333333333333333";
    QTest::newRow("two thirds rounds") << 2.0 / 3 << dot << "0.666666666666667";
    QTest::newRow("0.1+0.2") << 0.1 + 0.2 << dot << "0.3";
    QTest::newRow("0.0001 stays fixed") << 0.0001 << dot << "0.0001";
    QTest::newRow("0.00015 stays fixed") << 0.00015 << dot << "0.00015";
    QTest::newRow("below 0.0001 goes exponent") << 0.000099 << dot << "9.9E-5";
    QTest::newRow("0.00005 goes exponent") << 0.00005 << dot << "5E-5";
    QTest::newRow("15 integer digits fixed") << 999999999999999.0 << dot << "999999999999999";
    QTest::newRow("16 integer digits exponent") << 1e15 << dot << "1E15";
    QTest::newRow("rounding carries into exponent") << 9999999999999999.0 << dot << "1E16";
    QTest::newRow("long mantissa exponent") << 123456789012345678.0 << dot << "1.23456789012346E17";
    QTest::newRow("huge") << 1.7976931348623157e308 << dot << "1.79769313486232E308";
    QTest::newRow("tiny") << 5e-324 << dot << "4.94065645841247E-324";
    QTest::newRow("locale separator") << 1234.5 << comma << "1234,5";
    QTest::newRow("locale separator exponent") << 0.000012 << comma << "1,2E-5";
    QTest::newRow("infinity") << std::numeric_limits<double>::infinity() << dot << "INF";
    QTest::newRow("minus infinity") << -std::numeric_limits<double>::infinity() << dot << "-INF";
    QTest::newRow("not a number") << std::nan("") << dot << "NAN";
}

void tst_NumberText::floatToStr() {
    QFETCH(double, value);
    QFETCH(QString, separator);
    QFETCH(QString, text);
    QCOMPARE(FloatToStr(value, separator), text);
}

void tst_NumberText::textToCurrency_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("separator");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<qint64>("count");
    const QString dot = QStringLiteral("."), comma = QStringLiteral(",");
    QTest::newRow("integer") << "138" << dot << true << qint64(1380000);
    QTest::newRow("fraction") << "0.5" << dot << true << qint64(5000);
    QTest::newRow("blanks around") << "  -12.25  " << dot << true << qint64(-122500);
    QTest::newRow("plus sign") << "+1" << dot << true << qint64(10000);
    QTest::newRow("leading separator") << ".5" << dot << true << qint64(5000);
    QTest::newRow("trailing separator") << "5." << dot << true << qint64(50000);
    QTest::newRow("tie to even, down") << "0.00005" << dot << true << qint64(0);
    QTest::newRow("tie to even, up") << "0.00015" << dot << true << qint64(2);
    QTest::newRow("exponent tie up") << "1.5E-4" << dot << true << qint64(2);
    QTest::newRow("exponent tie down") << "5E-5" << dot << true << qint64(0);
    QTest::newRow("tie to even 2.5") << "0.00025" << dot << true << qint64(2);
    QTest::newRow("above tie") << "0.000050001" << dot << true << qint64(1);
    QTest::newRow("below tie") << "0.000049999" << dot << true << qint64(0);
    QTest::newRow("negative tie") << "-0.00015" << dot << true << qint64(-2);
    QTest::newRow("one third") << "0.333333333333333" << dot << true << qint64(3333);
    QTest::newRow("lower case exponent") << "1e3" << dot << true << qint64(10000000);
    QTest::newRow("signed exponent") << "25E+1" << dot << true << qint64(2500000);
    QTest::newRow("huge negative exponent") << "1E-999999999999" << dot << true << qint64(0);
    QTest::newRow("zero with exponent") << "0E999999" << dot << true << qint64(0);
    QTest::newRow("max") << "922337203685477.5807" << dot << true
                         << std::numeric_limits<qint64>::max();
    QTest::newRow("min") << "-922337203685477.5808" << dot << true
                         << std::numeric_limits<qint64>::min();
    QTest::newRow("15 digits in range")
        << "922337203685477" << dot << true << qint64(9223372036854770000);
    QTest::newRow("rounds up to max")
        << "922337203685477.58069" << dot << true << std::numeric_limits<qint64>::max();
    QTest::newRow("above max") << "922337203685477.5808" << dot << false << qint64(0);
    QTest::newRow("below min") << "-922337203685477.5809" << dot << false << qint64(0);
    QTest::newRow("fifteen nines") << "999999999999999" << dot << false << qint64(0);
    QTest::newRow("exponent overflow") << "1E15" << dot << false << qint64(0);
    QTest::newRow("giant exponent") << "1E999999999999" << dot << false << qint64(0);
    QTest::newRow("INF") << "INF" << dot << false << qint64(0);
    QTest::newRow("NAN") << "NAN" << dot << false << qint64(0);
    QTest::newRow("empty") << "" << dot << false << qint64(0);
    QTest::newRow("blank") << "   " << dot << false << qint64(0);
    QTest::newRow("sign only") << "-" << dot << false << qint64(0);
    QTest::newRow("separator only") << "." << dot << false << qint64(0);
    QTest::newRow("exponent without digits") << "1E" << dot << false << qint64(0);
    QTest::newRow("exponent sign without digits") << "1E+" << dot << false << qint64(0);
    QTest::newRow("inner blank") << "1 2" << dot << false << qint64(0);
    QTest::newRow("two signs") << "--1" << dot << false << qint64(0);
    QTest::newRow("True") << "True" << dot << false << qint64(0);
    QTest::newRow("other locale's separator") << "0.5" << comma << false << qint64(0);
    QTest::newRow("comma locale") << "1234,5" << comma << true << qint64(12345000);
    QTest::newRow("comma locale exponent") << "1,5E-4" << comma << true << qint64(2);
    QTest::newRow("tab is not a blank") << "\t1" << dot << false << qint64(0);
    QTest::newRow("many leading zeros")
        << "0000000000000000000000001" << dot << true << qint64(10000);
    QTest::newRow("many fraction digits")
        << "0.12345000000000000000000000001" << dot << true << qint64(1235);
}

void tst_NumberText::textToCurrency() {
    QFETCH(QString, text);
    QFETCH(QString, separator);
    QFETCH(bool, valid);
    QFETCH(qint64, count);
    const auto c = TryTextToCurrency(text, separator);
    QCOMPARE(c.has_value(), valid);
    if (valid)
        QCOMPARE(c->count, count);
}

void tst_NumberText::conversionMessageQuotesAtMost100Characters() {
    try {
        StrToCurr(QStringLiteral("INF"), QStringLiteral("."));
        QFAIL("INF was accepted");
    } catch (const EConvertError& e) {
        QCOMPARE(e.Message(), QStringLiteral("'INF' is not a valid floating point value"));
    }
    try {
        StrToCurr(QString(100000000, QLatin1Char('1')), QStringLiteral("."));
        QFAIL("a 100-million-digit number was accepted");
    } catch (const EConvertError& e) {
        QCOMPARE(e.Message(), QLatin1Char('\'') + QString(100, QLatin1Char('1')) +
                                  QStringLiteral("...' is not a valid floating point value"));
    }
}

void tst_NumberText::varToStr_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << 0 << "";
    QTest::newRow("null") << 1 << "";
    QTest::newRow("integer") << 2 << "-42";
    QTest::newRow("double") << 3 << "0.25";
    QTest::newRow("true") << 4 << "True";
    QTest::newRow("text") << 5 << " 12.5 ";
    QTest::newRow("object") << 6 << "1,2";
}

void tst_NumberText::varToStr() {
    QFETCH(int, kind);
    QFETCH(QString, text);
    Variant v;
    switch (kind) {
    case 1:
        v.kind = Variant::Kind::Null;
        break;
    case 2:
        v = Variant::Integer(-42);
        break;
    case 3:
        v = Variant::Double(0.25);
        break;
    case 4:
        v = Variant::Boolean(true);
        break;
    case 5:
        v = Variant::Text(QStringLiteral(" 12.5 "));
        break;
    case 6:
        v.kind = Variant::Kind::Object;
        v.text = QStringLiteral("1,2");
        break;
    }
    QCOMPARE(VarToStr(v, QStringLiteral(".")), text);
}

void tst_NumberText::objectWithoutTextIsAVariantError() {
    Variant v;
    v.kind = Variant::Kind::Object;
    v.convertible = false;
    QVERIFY_THROWS_EXCEPTION(EVariantError, VarToStr(v, QStringLiteral(".")));
}

void tst_NumberText::currencyDecimalText_data() {
    QTest::addColumn<qint64>("count");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << qint64(0) << "0";
    QTest::newRow("fraction") << qint64(-123450) << "-12.345";
    QTest::newRow("min") << std::numeric_limits<qint64>::min() << "-922337203685477.5808";
    QTest::newRow("max") << std::numeric_limits<qint64>::max() << "922337203685477.5807";
}

void tst_NumberText::currencyDecimalText() {
    QFETCH(qint64, count);
    QFETCH(QString, text);
    QCOMPARE(CurrencyToDecimalText({count}), text);
    QCOMPARE(TryTextToCurrency(text, QStringLiteral("."))->count, count);
}

QTEST_APPLESS_MAIN(tst_NumberText)
#include "tst_NumberText.moc"
