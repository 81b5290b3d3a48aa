#include "Locale.h"
#include "support/FixedLocale.h"

#include <QTest>

class tst_Locale : public QObject {
    Q_OBJECT
private slots:
    void timeZoneRemoved_data();
    void timeZoneRemoved();
    void dateTimeText_data();
    void dateTimeText();
};

void tst_Locale::timeZoneRemoved_data() {
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("expected");
    QTest::newRow("en_US") << "h:mm:ss AP t"
                           << "h:mm:ss AP";
    QTest::newRow("de_DE") << "HH:mm:ss t"
                           << "HH:mm:ss";
    QTest::newRow("zone first") << "t HH:mm:ss"
                                << "HH:mm:ss";
    QTest::newRow("quoted t kept") << "HH 'uhr' t"
                                   << "HH 'uhr'";
    QTest::newRow("no zone") << "HH:mm"
                             << "HH:mm";
}

void tst_Locale::timeZoneRemoved() {
    QFETCH(QString, format);
    QFETCH(QString, expected);
    QCOMPARE(WithoutTimeZone(format), expected);
}

void tst_Locale::dateTimeText_data() {
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QString>("text");
    QTest::newRow("with time") << QDateTime(QDate(2026, 12, 8), QTime(7, 5, 3))
                               << "12/8/2026 7:05:03 AM";
    QTest::newRow("midnight leaves time out")
        << QDateTime(QDate(2026, 12, 8), QTime(0, 0, 0)) << "12/8/2026";
    QTest::newRow("one second past midnight")
        << QDateTime(QDate(2026, 12, 8), QTime(0, 0, 1)) << "12/8/2026 12:00:01 AM";
}

void tst_Locale::dateTimeText() {
    QFETCH(QDateTime, when);
    QFETCH(QString, text);
    const FixedLocale en(QStringLiteral("."), QStringLiteral(","));
    QCOMPARE(DateTimeToStr(when, en), text);
}

QTEST_GUILESS_MAIN(tst_Locale)
#include "tst_Locale.moc"
