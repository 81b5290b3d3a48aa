#include "Errors.h"
#include "Evaluation.h"
#include "ResultFormat.h"
#include "ScriptEngine.h"
#include "support/FixedLocale.h"

#include <QTest>

// Expressions through the real engine, the fixed-point step and the formatter.
class tst_Evaluation : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void engineText_data();
    void engineText();
    void evaluate_data();
    void evaluate();
    void engineKeepsStateBetweenEvaluations();
    void withoutEngineFailsInTheRow();
    void historyEntry();

private:
    // The result text, "row: <message>" for the result box, "box: <message>" for the error box.
    QString Outcome(const QString& expression, int precision, bool separators, const Locale& loc);
    std::unique_ptr<ScriptControl> m_engine;
};

void tst_Evaluation::initTestCase() {
    m_engine = CreateOleObject(kScriptControlProgId);
    m_engine->SetLanguage(QStringLiteral("JavaScript"));
}

void tst_Evaluation::engineText_data() {
    QTest::addColumn<QString>("expression");
    QTest::addColumn<QString>("engineText");
    QTest::newRow("percent") << "50%"
                             << "50*0.01";
    QTest::newRow("double percent") << "10%%"
                                    << "10*0.01*0.01";
    QTest::newRow("leading percent") << "%5"
                                     << "*0.015";
    QTest::newRow("blanks kept") << " 2 + 2 "
                                 << " 2 + 2 ";
    QTest::newRow("letters kept") << "Math.max(1,2)%"
                                  << "Math.max(1,2)*0.01";
}

void tst_Evaluation::engineText() {
    QFETCH(QString, expression);
    QFETCH(QString, engineText);
    QCOMPARE(EngineText(expression), engineText);
}

QString tst_Evaluation::Outcome(const QString& expression, int precision, bool separators,
                                const Locale& loc) {
    try {
        return EvaluateExpression(m_engine.get(), expression,
                                  BuildResultFormatText(separators, precision), loc);
    } catch (const EOleSysError& e) {
        return QStringLiteral("row: ") + e.Message();
    } catch (const Exception& e) {
        return QStringLiteral("box: ") + ErrorBoxText(e.Message());
    }
}

void tst_Evaluation::evaluate_data() {
    QTest::addColumn<QString>("expression");
    QTest::addColumn<int>("precision");
    QTest::addColumn<bool>("german");
    QTest::addColumn<QString>("outcome");
    QTest::newRow("example") << "(12+34)*3" << 2 << false << "138.00";
    QTest::newRow("percent") << "50%" << 2 << false << "0.50";
    QTest::newRow("percent is not of the sum") << "200+10%" << 2 << false << "200.10";
    QTest::newRow("double percent at 2") << "10%%" << 2 << false << "0.00";
    QTest::newRow("double percent at 4") << "10%%" << 4 << false << "0.0010";
    QTest::newRow("percent is never remainder") << "7%3" << 2 << false << "0.09";
    QTest::newRow("leading percent") << "%5" << 2 << false << "row: Exception occurred";
    QTest::newRow("four decimals kept") << "1/3" << 9 << false << "0.333300000";
    QTest::newRow("2/3 at 4") << "2/3" << 4 << false << "0.6667";
    QTest::newRow("tie to even down") << "0.00005" << 4 << false << "0.0000";
    QTest::newRow("tie to even up") << "0.00015" << 4 << false << "0.0002";
    QTest::newRow("division by zero")
        << "1/0" << 2 << false << "box: 'INF' is not a valid floating point value.";
    QTest::newRow("minus infinity")
        << "-1/0" << 2 << false << "box: '-INF' is not a valid floating point value.";
    QTest::newRow("not a number") << "0/0" << 2 << false
                                  << "box: 'NAN' is not a valid floating point value.";
    QTest::newRow("fifteen nines") << "999999999999999" << 2 << false
                                   << "box: '999999999999999' is not a valid floating point value.";
    QTest::newRow("largest 15 digits")
        << "922337203685477" << 2 << false << "922,337,203,685,477.00";
    QTest::newRow("equals sign") << "=" << 2 << false << "row: Exception occurred";
    QTest::newRow("blanks") << " 2 + 2 " << 2 << false << "4.00";
    QTest::newRow("unary minus before paren") << "-(5+3)" << 2 << false << "-8.00";
    QTest::newRow("leading fraction point") << ".5*2" << 2 << false << "1.00";
    QTest::newRow("unknown name") << "foo" << 2 << false << "row: Exception occurred";
    QTest::newRow("thrown value") << "throw 5" << 2 << false << "row: Exception occurred";
    QTest::newRow("undefined") << "undefined" << 2 << false
                               << "box: '' is not a valid floating point value.";
    QTest::newRow("null") << "null" << 2 << false << "box: '' is not a valid floating point value.";
    QTest::newRow("boolean") << "1<2" << 2 << false
                             << "box: 'True' is not a valid floating point value.";
    QTest::newRow("numeric string") << "'12.5'" << 2 << false << "12.50";
    QTest::newRow("array") << "[1,2]" << 2 << false
                           << "box: '1,2' is not a valid floating point value.";
    QTest::newRow("one-element array") << "[7]" << 2 << false << "7.00";
    QTest::newRow("object whose text throws")
        << "({toString:function(){throw 1}})" << 2 << false
        << "box: Could not convert variant of type (Dispatch) into type (String)";
    QTest::newRow("big exponent value")
        << "1e15" << 2 << false << "box: '1E15' is not a valid floating point value.";
    QTest::newRow("tiny value") << "1e-20" << 2 << false << "0.00";
    QTest::newRow("deep nesting") << QString(200, QLatin1Char('(')) + QLatin1Char('1') +
                                         QString(200, QLatin1Char(')'))
                                  << 2 << false << "1.00";
    QTest::newRow("german grouping") << "1234.5" << 2 << true << "1.234,50";
    QTest::newRow("german small value") << "0.00015" << 4 << true << "0,0002";
    QTest::newRow("german string with point")
        << "'0.5'" << 2 << true << "box: '0.5' is not a valid floating point value.";
}

void tst_Evaluation::evaluate() {
    QFETCH(QString, expression);
    QFETCH(int, precision);
    QFETCH(bool, german);
    QFETCH(QString, outcome);
    const FixedLocale en(QStringLiteral("."), QStringLiteral(","));
    const FixedLocale de(QStringLiteral(","), QStringLiteral("."));
    QCOMPARE(Outcome(expression, precision, true, german ? static_cast<const Locale&>(de) : en),
             outcome);
}

void tst_Evaluation::engineKeepsStateBetweenEvaluations() {
    const FixedLocale en(QStringLiteral("."), QStringLiteral(","));
    QCOMPARE(Outcome(QStringLiteral("var rate = 1.5; rate"), 2, true, en), QStringLiteral("1.50"));
    QCOMPARE(Outcome(QStringLiteral("rate*2"), 2, true, en), QStringLiteral("3.00"));
}

void tst_Evaluation::withoutEngineFailsInTheRow() {
    const FixedLocale en(QStringLiteral("."), QStringLiteral(","));
    QVERIFY_THROWS_EXCEPTION(EOleSysError, EvaluateExpression(nullptr, QStringLiteral("1+1"),
                                                              QStringLiteral("0.00"), en));
}

void tst_Evaluation::historyEntry() {
    QCOMPARE(HistoryEntryText(QStringLiteral("12/8/2026 7:10:00 AM"), QStringLiteral("50%"),
                              QStringLiteral("0.50")),
             QStringLiteral("\n12/8/2026 7:10:00 AM\n50%\n=\n0.50\n"));
}

QTEST_GUILESS_MAIN(tst_Evaluation)
#include "tst_Evaluation.moc"
