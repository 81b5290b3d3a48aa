#include "NumberText.h"
#include "ResultFormat.h"
#include "support/FixedLocale.h"

#include <QTest>
#include <limits>

class tst_ResultFormat : public QObject {
    Q_OBJECT
private slots:
    void pattern_data();
    void pattern();
    void format_data();
    void format();
    void displayValueOfCounts_data();
    void displayValueOfCounts();
};

void tst_ResultFormat::pattern_data() {
    QTest::addColumn<bool>("separators");
    QTest::addColumn<int>("precision");
    QTest::addColumn<QString>("pattern");
    QTest::newRow("on, 0") << true << 0 << "#,##0";
    QTest::newRow("on, 1") << true << 1 << "#,##0.0";
    QTest::newRow("on, 2") << true << 2 << "#,##0.00";
    QTest::newRow("on, 9") << true << 9 << "#,##0.000000000";
    QTest::newRow("off, 0") << false << 0 << "0";
    QTest::newRow("off, 2") << false << 2 << "0.00";
    QTest::newRow("off, 9") << false << 9 << "0.000000000";
    QTest::newRow("typed 12") << true << 12 << "#,##0.000000000000";
    QTest::newRow("typed -3") << true << -3 << "#,##0";
}

void tst_ResultFormat::pattern() {
    QFETCH(bool, separators);
    QFETCH(int, precision);
    QFETCH(QString, pattern);
    QCOMPARE(BuildResultFormatText(separators, precision), pattern);
}

void tst_ResultFormat::format_data() {
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<long double>("value");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("text");
    const QString en = QStringLiteral("en"), de = QStringLiteral("de"),
                  none = QStringLiteral("none");
    QTest::newRow("grouped") << "#,##0.00" << 1234.5L << en << "1,234.50";
    QTest::newRow("plain") << "0.00" << 1234.5L << en << "1234.50";
    QTest::newRow("tie away from zero") << "#,##0.00" << 1234567.125L << en << "1,234,567.13";
    QTest::newRow("-0.5 at 0") << "#,##0" << -0.5L << en << "-1";
    QTest::newRow("2.5 at 0") << "#,##0" << 2.5L << en << "3";
    QTest::newRow("no minus on rounded zero") << "#,##0.00" << -0.004L << en << "0.00";
    QTest::newRow("carry into new digit") << "#,##0.00" << 999999.995L << en << "1,000,000.00";
    QTest::newRow("9.995") << "0.00" << 9.995L << en << "10.00";
    QTest::newRow("negative grouped") << "#,##0.000" << -1234.5678L << en << "-1,234.568";
    QTest::newRow("0.5 at 4") << "0.0000" << 0.5L << en << "0.5000";
    QTest::newRow("zero at 0") << "#,##0" << 0.0L << en << "0";
    QTest::newRow("zero at 2") << "0.00" << 0.0L << en << "0.00";
    QTest::newRow("negative zero") << "0.00" << -0.0L << en << "0.00";
    QTest::newRow("1000 grouped") << "#,##0" << 1000.0L << en << "1,000";
    QTest::newRow("100 grouped") << "#,##0" << 100.0L << en << "100";
    QTest::newRow("small below one") << "#,##0.00" << 0.05L << en << "0.05";
    QTest::newRow("rounds up below one") << "#,##0.0" << 0.05L << en << "0.1";
    QTest::newRow("far below the places") << "0.00" << 0.0001L << en << "0.00";
    QTest::newRow("max count") << "#,##0.00" << DisplayValue({std::numeric_limits<qint64>::max()})
                               << en << "922,337,203,685,477.58";
    QTest::newRow("min count") << "#,##0.0000" << DisplayValue({std::numeric_limits<qint64>::min()})
                               << en << "-922,337,203,685,477.5810"; // 18 significant digits
    QTest::newRow("de grouped") << "#,##0.00" << 1234.5L << de << "1.234,50";
    QTest::newRow("de plain") << "0.00" << 1234.5L << de << "1234,50";
    QTest::newRow("no group separator") << "#,##0.00" << 1234567.0L << none << "1234567.00";
    QTest::newRow("huge value keeps all digits")
        << "#,##0" << 1e20L << en << "100,000,000,000,000,000,000";
}

void tst_ResultFormat::format() {
    QFETCH(QString, pattern);
    QFETCH(long double, value);
    QFETCH(QString, locale);
    QFETCH(QString, text);
    const FixedLocale en(QStringLiteral("."), QStringLiteral(","));
    const FixedLocale de(QStringLiteral(","), QStringLiteral("."));
    const FixedLocale none(QStringLiteral("."), QString());
    const Locale& loc = locale == QLatin1String("de")     ? static_cast<const Locale&>(de)
                        : locale == QLatin1String("none") ? static_cast<const Locale&>(none)
                                                          : static_cast<const Locale&>(en);
    QCOMPARE(FormatFloat(pattern, value, loc), text);
}

// The whole road from a count of ten-thousandths to text, at every precision.
void tst_ResultFormat::displayValueOfCounts_data() {
    QTest::addColumn<qint64>("count");
    QTest::addColumn<int>("precision");
    QTest::addColumn<QString>("text");
    QTest::newRow("1/3 at 9") << qint64(3333) << 9 << "0.333300000";
    QTest::newRow("2/3 at 4") << qint64(6667) << 4 << "0.6667";
    QTest::newRow("0.0010 at 4") << qint64(10) << 4 << "0.0010";
    QTest::newRow("0.0010 at 2") << qint64(10) << 2 << "0.00";
    QTest::newRow("0.091 at 2") << qint64(910) << 2 << "0.09";
    QTest::newRow("0.0005 at 3 rounds away") << qint64(5) << 3 << "0.001";
    QTest::newRow("-0.0005 at 3") << qint64(-5) << 3 << "-0.001";
    QTest::newRow("-0.0004 at 3") << qint64(-4) << 3 << "0.000";
    QTest::newRow("138") << qint64(1380000) << 2 << "138.00";
    QTest::newRow("15 digits") << qint64(9223372036854770000) << 2 << "922,337,203,685,477.00";
}

void tst_ResultFormat::displayValueOfCounts() {
    QFETCH(qint64, count);
    QFETCH(int, precision);
    QFETCH(QString, text);
    const FixedLocale en(QStringLiteral("."), QStringLiteral(","));
    QCOMPARE(FormatFloat(BuildResultFormatText(true, precision), DisplayValue({count}), en), text);
}

QTEST_APPLESS_MAIN(tst_ResultFormat)
#include "tst_ResultFormat.moc"
