#include "Keypad.h"

#include <QTest>

class tst_Keypad : public QObject {
    Q_OBJECT
private slots:
    void actions_data();
    void actions();
    void insert_data();
    void insert();
    void toggleSign_data();
    void toggleSign();
};

void tst_Keypad::actions_data() {
    QTest::addColumn<QString>("caption");
    QTest::addColumn<int>("action");
    for (const char* c : {"0", "5", "9", "(", ")", ".", "+", "-", "*", "/", "%"})
        QTest::newRow(c) << QString::fromLatin1(c) << int(KeypadAction::Insert);
    QTest::newRow("=") << "=" << int(KeypadAction::Evaluate);
    QTest::newRow("+/-") << "+/-" << int(KeypadAction::ToggleSign);
    QTest::newRow("Clear") << "Clear" << int(KeypadAction::Clear);
    QTest::newRow("Clear All") << "Clear All" << int(KeypadAction::ClearAll);
    QTest::newRow("<--") << "<--" << int(KeypadAction::BackSpace);
    QTest::newRow("case matters") << "clear" << int(KeypadAction::None);
    QTest::newRow("unknown") << "x" << int(KeypadAction::None);
    QTest::newRow("two digits") << "12" << int(KeypadAction::None);
    QTest::newRow("empty") << "" << int(KeypadAction::None);
}

void tst_Keypad::actions() {
    QFETCH(QString, caption);
    QFETCH(int, action);
    QCOMPARE(int(KeypadActionOf(caption)), action);
}

void tst_Keypad::insert_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("position");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("result");
    QTest::addColumn<int>("caret");
    QTest::newRow("at caret") << "12+3" << 2 << "5"
                              << "125+3" << 3;
    QTest::newRow("selection kept") << "12+3" << 1 << "7"
                                    << "172+3" << 2;
    QTest::newRow("at start") << "12" << 0 << "("
                              << "(12" << 1;
    QTest::newRow("at end") << "12" << 2 << "%"
                            << "12%" << 3;
    QTest::newRow("empty") << "" << 0 << "."
                           << "." << 1;
    QTest::newRow("position past end") << "12" << 9 << "3"
                                       << "123" << 3;
}

void tst_Keypad::insert() {
    QFETCH(QString, text);
    QFETCH(int, position);
    QFETCH(QString, caption);
    QFETCH(QString, result);
    QFETCH(int, caret);
    QCOMPARE(KeypadInsert(text, position, caption), (EditState{result, caret}));
}

void tst_Keypad::toggleSign_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("result");
    QTest::newRow("negate") << "5+3"
                            << "-(5+3)";
    QTest::newRow("un-negate") << "-(5+3)"
                               << "5+3";
    QTest::newRow("negative number") << "-5"
                                     << "-(-5)";
    QTest::newRow("textual test") << "-(1)+(2)"
                                  << "1)+(2";
    QTest::newRow("empty parentheses") << "-()"
                                       << "";
    QTest::newRow("open only") << "-("
                               << "-(-()";
    QTest::newRow("blank") << " "
                           << "-( )";
}

void tst_Keypad::toggleSign() {
    QFETCH(QString, text);
    QFETCH(QString, result);
    const auto edit = ToggleSign(text);
    QVERIFY(edit.has_value());
    QCOMPARE(*edit, (EditState{result, int(result.size())}));
    QVERIFY(!ToggleSign(QString()).has_value());
}

QTEST_APPLESS_MAIN(tst_Keypad)
#include "tst_Keypad.moc"
