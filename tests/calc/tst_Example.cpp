#include "Example.h"

#include <QTest>

class tst_Example : public QObject {
    Q_OBJECT
private slots:
    void exampleRow_data();
    void exampleRow();
};

void tst_Example::exampleRow_data() {
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<int>("row");
    QTest::newRow("all empty") << QStringList{"", "", "", "", ""} << 0;
    QTest::newRow("only row 3 empty") << QStringList{"1", "2", "", "4", "5"} << 2;
    QTest::newRow("rows 1 to 4 occupied") << QStringList{"1", "2", "3", "4", "5"} << 4;
    QTest::newRow("row 5 empty too") << QStringList{"1", "2", "3", "4", ""} << 4;
    QTest::newRow("a blank is text") << QStringList{" ", "", "", "", ""} << 1;
}

void tst_Example::exampleRow() {
    QFETCH(QStringList, texts);
    QFETCH(int, row);
    QCOMPARE(ExampleRow(texts), row);
}

QTEST_APPLESS_MAIN(tst_Example)
#include "tst_Example.moc"
