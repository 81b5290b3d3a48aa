#include "FormAbout.h"
#include "FormMain.h"
#include "Global.h"
#include "QtKeyboardInput.h"
#include "support/MainWindowFixture.h"

#include <QApplication>
#include <QCheckBox>
#include <QEnterEvent>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

const QColor kYellow(255, 255, 0);
const QColor kWhite(255, 255, 255);

QColor BaseOf(const QWidget* w) {
    return w->palette().color(QPalette::Base);
}

// Keys go where a user's keys go: to the widget holding the focus.
void Key(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QWidget* focus = QApplication::focusWidget();
    QVERIFY(focus);
    QTest::keyClick(focus, Qt::Key(key), modifiers);
}

void Type(const QString& text) {
    QWidget* focus = QApplication::focusWidget();
    QVERIFY(focus);
    QTest::keyClicks(focus, text);
}

} // namespace

class tst_FormMain : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void startsOnRowOneWithCaretAtZero();
    void tabStopsFollowTheDesignedOrder();
    void enterEvaluatesAndRecordsHistory();
    void equalsSignEvaluatesUnlessBoxIsEmpty();
    void caretIsRememberedPerRow();
    void caretBeyondShortenedTextGoesToEnd();
    void arrowWalk_data();
    void arrowWalk();
    void resultBoxMakesItsRowActiveAndTakesNoTyping();
    void equalsButtonEvaluatesTheActiveRow();
    void scriptErrorGoesToResultBox();
    void conversionErrorGoesToErrorBox();
    void precisionAndSeparatorsApplyToTheNextEvaluation();
    void precisionTypedOutOfRangeIsClampedOnLeaving();
    void emptyPrecisionReadsAsZero();
    void programmaticCheckRebuildsPattern();
    void engineFailuresDoNotStopCreation_data();
    void engineFailuresDoNotStopCreation();

    void keypadRestoresTheRowCaretFirst();
    void keypadBuildsAndEvaluatesWithTheMouseOnly();
    void keypadBackSpace_data();
    void keypadBackSpace();
    void keypadClearAndClearAll();
    void keypadSignToggleOnEmptyRowChangesNothing();

    void exampleFillsTheIdleRowAndEvaluates_data();
    void exampleFillsTheIdleRowAndEvaluates();
    void menusAndAddresses();
    void aboutWindowTextsAndLinks();
    void eachAboutIsAFreshWindow();

private:
    void Make(FailingEngine engine = {});
    void Evaluate(int row, const QString& expression) { f.Evaluate(row, expression); }
    QStringList HistoryLines(int count) const;
    void Click(const char* keyName);

    MainWindowFixture f;
    RecordingErrorReporter& m_errors = f.errors;
    RecordingShellOpen& m_shell = f.shell;
    std::unique_ptr<TfrmMain>& w = f.w;
};

void tst_FormMain::Make(FailingEngine engine) {
    f.engine = engine;
    QVERIFY(f.Make());
}

void tst_FormMain::init() {
    m_errors.messages.clear();
    f.NewFolder();
    Make();
}

void tst_FormMain::cleanup() {
    w.reset();
}

QStringList tst_FormMain::HistoryLines(int count) const {
    return Find<THistoryMemo>(w, "m_memoHistory")
        ->toPlainText()
        .split(QLatin1Char('\n'))
        .mid(0, count);
}

void tst_FormMain::startsOnRowOneWithCaretAtZero() {
    QCOMPARE(QApplication::focusWidget(), EditExp(w, 0));
    QCOMPARE(w->ActiveExpression(), EditExp(w, 0));
    QCOMPARE(w->ActiveResult(), EditResult(w, 0));
    QCOMPARE(BaseOf(EditExp(w, 0)), kYellow);
    QCOMPARE(EditExp(w, 0)->cursorPosition(), 0);
    // The other rows keep the standard edit colour until some row is entered from another.
    QCOMPARE(BaseOf(EditExp(w, 1)), kWhite);
    QCOMPARE(w->ResultFormat(), QStringLiteral("#,##0.00"));
    QCOMPARE(w->windowTitle(), QStringLiteral("Quantoria"));
    QCOMPARE(w->centralWidget()->size(), QSize(910, 432));
}

void tst_FormMain::tabStopsFollowTheDesignedOrder() {
    QList<QWidget*> expected;
    for (int row = 0; row < TfrmMain::kRows; ++row)
        expected << EditExp(w, row);
    for (int row = 0; row < TfrmMain::kRows; ++row)
        expected << EditResult(w, row);
    expected << Find<QCheckBox>(w, "checkComma") << Find<TCSpinEdit>(w, "editPrecision")
             << Find<QCheckBox>(w, "checkStartup") << Find<THistoryMemo>(w, "m_memoHistory");
    QCOMPARE(w->TabStops(), expected);
}

void tst_FormMain::enterEvaluatesAndRecordsHistory() {
    Type(QStringLiteral("(12+34)*3"));
    Key(Qt::Key_Return);
    QCOMPARE(EditResult(w, 0)->text(), QStringLiteral("138.00"));
    QCOMPARE(EditExp(w, 0)->text(), QStringLiteral("(12+34)*3"));
    QCOMPARE(QApplication::focusWidget(), EditExp(w, 0));
    const QStringList lines = HistoryLines(6);
    QCOMPARE(lines[0], QString());
    QVERIFY2(QDateTime::fromString(lines[1], QStringLiteral("M/d/yyyy h:mm:ss AP")).isValid() ||
                 QDate::fromString(lines[1], QStringLiteral("M/d/yyyy")).isValid(),
             qPrintable(lines[1]));
    QCOMPARE(lines.mid(2), (QStringList{"(12+34)*3", "=", "138.00", ""}));

    // The keypad's Enter does the same, and newer entries go on top.
    EditExp(w, 0)->setText(QStringLiteral("50%"));
    Key(Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(EditResult(w, 0)->text(), QStringLiteral("0.50"));
    const QStringList both = HistoryLines(10);
    QCOMPARE(both.mid(2, 4), (QStringList{"50%", "=", "0.50", ""}));
    QCOMPARE(both.mid(7, 3), (QStringList{"(12+34)*3", "=", "138.00"}));
}

void tst_FormMain::equalsSignEvaluatesUnlessBoxIsEmpty() {
    Type(QStringLiteral("="));
    QCOMPARE(EditExp(w, 0)->text(), QStringLiteral("="));
    QCOMPARE(EditResult(w, 0)->text(), QString());
    Key(Qt::Key_Return);
    QCOMPARE(EditResult(w, 0)->text(), QStringLiteral("Exception occurred"));

    EditExp(w, 0)->setText(QStringLiteral("2+2"));
    Type(QStringLiteral("="));
    QCOMPARE(EditExp(w, 0)->text(), QStringLiteral("2+2"));
    QCOMPARE(EditResult(w, 0)->text(), QStringLiteral("4.00"));
}

void tst_FormMain::caretIsRememberedPerRow() {
    Type(QStringLiteral("12+3"));
    EditExp(w, 0)->setCursorPosition(1);
    Key(Qt::Key_Down);
    QCOMPARE(QApplication::focusWidget(), EditExp(w, 1));
    Key(Qt::Key_Up);
    QCOMPARE(QApplication::focusWidget(), EditExp(w, 0));
    QCOMPARE(EditExp(w, 0)->cursorPosition(), 1);
    QVERIFY(!EditExp(w, 0)->hasSelectedText());

    // A detour through the precision box and back by the keyboard keeps it too.
    Find<TCSpinEdit>(w, "editPrecision")->setFocus(Qt::MouseFocusReason);
    EditExp(w, 0)->setFocus(Qt::TabFocusReason);
    QCOMPARE(EditExp(w, 0)->cursorPosition(), 1);
    QVERIFY(!EditExp(w, 0)->hasSelectedText());
}

void tst_FormMain::caretBeyondShortenedTextGoesToEnd() {
    Type(QStringLiteral("123456"));
    Key(Qt::Key_Down);
    EditExp(w, 0)->setText(QStringLiteral("12"));
    Key(Qt::Key_Up);
    QCOMPARE(EditExp(w, 0)->cursorPosition(), 2);
}

void tst_FormMain::arrowWalk_data() {
    QTest::addColumn<QString>("from");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("to");
    QTest::addColumn<int>("activeRow");
    QTest::newRow("down from exp5 to result1")
        << "editExp5" << int(Qt::Key_Down) << 0 << "editResult1" << 1;
    QTest::newRow("up from exp1 wraps to memo")
        << "editExp1" << int(Qt::Key_Up) << 0 << "m_memoHistory" << 1;
    QTest::newRow("up from result1 to exp5")
        << "editResult1" << int(Qt::Key_Up) << 0 << "editExp5" << 5;
    QTest::newRow("down from result5 to comma")
        << "editResult5" << int(Qt::Key_Down) << 0 << "checkComma" << 5;
    QTest::newRow("left from result3 to exp3")
        << "editResult3" << int(Qt::Key_Left) << 0 << "editExp3" << 3;
    QTest::newRow("shift+up like up")
        << "editExp3" << int(Qt::Key_Up) << int(Qt::ShiftModifier) << "editExp2" << 2;
    QTest::newRow("ctrl+down like down")
        << "editExp3" << int(Qt::Key_Down) << int(Qt::ControlModifier) << "editExp4" << 4;
    QTest::newRow("right does nothing")
        << "editResult2" << int(Qt::Key_Right) << 0 << "editResult2" << 2;
}

void tst_FormMain::arrowWalk() {
    QFETCH(QString, from);
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(QString, to);
    QFETCH(int, activeRow);
    Find<QWidget>(w, from)->setFocus(Qt::MouseFocusReason);
    Key(key, Qt::KeyboardModifiers(modifiers));
    QCOMPARE(QApplication::focusWidget()->objectName(), to);
    QCOMPARE(w->ActiveExpression(), EditExp(w, activeRow - 1));
    QCOMPARE(w->ActiveResult(), EditResult(w, activeRow - 1));
    for (int row = 0; row < TfrmMain::kRows; ++row)
        QCOMPARE(BaseOf(EditExp(w, row)), row == activeRow - 1 ? kYellow : kWhite);
}

void tst_FormMain::resultBoxMakesItsRowActiveAndTakesNoTyping() {
    QTest::mouseClick(EditResult(w, 2), Qt::LeftButton);
    QCOMPARE(QApplication::focusWidget(), EditResult(w, 2));
    QCOMPARE(w->ActiveExpression(), EditExp(w, 2));
    QCOMPARE(BaseOf(EditExp(w, 2)), kYellow);
    QCOMPARE(BaseOf(EditExp(w, 0)), kWhite);
    Type(QStringLiteral("12"));
    QCOMPARE(EditResult(w, 2)->text(), QString());
    QCOMPARE(BaseOf(EditResult(w, 2)), QColor(192, 192, 192));
}

void tst_FormMain::equalsButtonEvaluatesTheActiveRow() {
    EditExp(w, 3)->setText(QStringLiteral("9*9"));
    EditExp(w, 1)->setFocus(Qt::MouseFocusReason);
    Type(QStringLiteral("6*7"));
    EditExp(w, 1)->setCursorPosition(1);
    Find<QCheckBox>(w, "checkComma")->setFocus(Qt::MouseFocusReason);
    QTest::mouseClick(BtnEqual(w, 3), Qt::LeftButton);
    // The Enter arrives through the event loop, after the click has returned.
    QTRY_COMPARE(EditResult(w, 1)->text(), QStringLiteral("42.00"));
    QCOMPARE(EditResult(w, 3)->text(), QString());
    QCOMPARE(QApplication::focusWidget(), EditExp(w, 1));
    QCOMPARE(EditExp(w, 1)->cursorPosition(), 1);
    QCOMPARE(EditExp(w, 1)->text(), QStringLiteral("6*7"));
}

void tst_FormMain::scriptErrorGoesToResultBox() {
    Evaluate(0, QStringLiteral("1+1"));
    const QString history = Find<THistoryMemo>(w, "m_memoHistory")->toPlainText();
    Evaluate(0, QStringLiteral("%5"));
    QCOMPARE(EditResult(w, 0)->text(), QStringLiteral("Exception occurred"));
    QCOMPARE(Find<THistoryMemo>(w, "m_memoHistory")->toPlainText(), history);
    QCOMPARE(EditExp(w, 0)->text(), QStringLiteral("%5"));
    QVERIFY(m_errors.messages.isEmpty());
}

void tst_FormMain::conversionErrorGoesToErrorBox() {
    Evaluate(0, QStringLiteral("1+1"));
    const QString history = Find<THistoryMemo>(w, "m_memoHistory")->toPlainText();
    Evaluate(0, QStringLiteral("1/0"));
    QCOMPARE(m_errors.messages, QStringList{"'INF' is not a valid floating point value"});
    QCOMPARE(EditResult(w, 0)->text(), QStringLiteral("2.00"));
    QCOMPARE(Find<THistoryMemo>(w, "m_memoHistory")->toPlainText(), history);
    // The Enter was swallowed: nothing reached the box.
    QCOMPARE(EditExp(w, 0)->text(), QStringLiteral("1/0"));
}

void tst_FormMain::precisionAndSeparatorsApplyToTheNextEvaluation() {
    Evaluate(0, QStringLiteral("1234.5"));
    QCOMPARE(EditResult(w, 0)->text(), QStringLiteral("1,234.50"));
    Find<QCheckBox>(w, "checkComma")->click();
    Find<TCSpinEdit>(w, "editPrecision")->SetValue(4);
    QCOMPARE(w->ResultFormat(), QStringLiteral("0.0000"));
    QCOMPARE(EditResult(w, 0)->text(), QStringLiteral("1,234.50"));
    Evaluate(0, QStringLiteral("1234.5"));
    QCOMPARE(EditResult(w, 0)->text(), QStringLiteral("1234.5000"));
    // "Auto startup" shares the handler and rebuilds the same pattern.
    Find<QCheckBox>(w, "checkStartup")->click();
    QCOMPARE(w->ResultFormat(), QStringLiteral("0.0000"));
}

void tst_FormMain::precisionTypedOutOfRangeIsClampedOnLeaving() {
    Find<TCSpinEdit>(w, "editPrecision")->setFocus(Qt::MouseFocusReason);
    Find<TCSpinEdit>(w, "editPrecision")->selectAll();
    Type(QStringLiteral("12"));
    QCOMPARE(w->ResultFormat(), QStringLiteral("#,##0.000000000000"));
    QTest::mouseClick(BtnEqual(w, 0), Qt::LeftButton);
    QCOMPARE(Find<TCSpinEdit>(w, "editPrecision")->text(), QStringLiteral("9"));
    QCOMPARE(w->ResultFormat(), QStringLiteral("#,##0.000000000"));

    Find<TCSpinEdit>(w, "editPrecision")->setFocus(Qt::MouseFocusReason);
    Find<TCSpinEdit>(w, "editPrecision")->selectAll();
    Type(QStringLiteral("-3"));
    QCOMPARE(w->ResultFormat(), QStringLiteral("#,##0"));
    EditExp(w, 0)->setFocus(Qt::MouseFocusReason);
    QCOMPARE(Find<TCSpinEdit>(w, "editPrecision")->text(), QStringLiteral("0"));
}

void tst_FormMain::emptyPrecisionReadsAsZero() {
    Find<TCSpinEdit>(w, "editPrecision")->setFocus(Qt::MouseFocusReason);
    Find<TCSpinEdit>(w, "editPrecision")->selectAll();
    Key(Qt::Key_Delete);
    QCOMPARE(Find<TCSpinEdit>(w, "editPrecision")->text(), QStringLiteral("0"));
    QCOMPARE(w->ResultFormat(), QStringLiteral("#,##0"));
}

void tst_FormMain::programmaticCheckRebuildsPattern() {
    Find<QCheckBox>(w, "checkComma")->setChecked(false);
    QCOMPARE(w->ResultFormat(), QStringLiteral("0.00"));
}

void tst_FormMain::engineFailuresDoNotStopCreation_data() {
    QTest::addColumn<uint>("createStatus");
    QTest::addColumn<uint>("languageStatus");
    QTest::addColumn<QString>("reported");
    QTest::addColumn<QString>("resultText");
    QTest::newRow("creation") << uint(Status::InvalidClassString) << 0u << "Invalid class string"
                              << "Class not registered";
    QTest::newRow("language") << 0u << uint(Status::InvalidArgument) << "The parameter is incorrect"
                              << "Exception occurred";
}

void tst_FormMain::engineFailuresDoNotStopCreation() {
    QFETCH(uint, createStatus);
    QFETCH(uint, languageStatus);
    QFETCH(QString, reported);
    QFETCH(QString, resultText);
    w.reset();
    m_errors.messages.clear();
    FailingEngine engine;
    engine.createStatus = createStatus;
    engine.languageStatus = languageStatus;
    Make(engine);
    QCOMPARE(m_errors.messages, QStringList{reported});
    // The later creation steps ran all the same.
    QCOMPARE(w->ResultFormat(), QStringLiteral("#,##0.00"));
    Evaluate(0, QStringLiteral("1+1"));
    QCOMPARE(EditResult(w, 0)->text(), resultText);
    QCOMPARE(Find<THistoryMemo>(w, "m_memoHistory")->toPlainText(), QString());
}

void tst_FormMain::Click(const char* keyName) {
    QTest::mouseClick(Find<QAbstractButton>(w, keyName), Qt::LeftButton);
}

void tst_FormMain::keypadRestoresTheRowCaretFirst() {
    EditExp(w, 2)->setFocus(Qt::MouseFocusReason);
    EditExp(w, 2)->setText(QStringLiteral("12+34"));
    EditExp(w, 2)->setCursorPosition(4);
    Find<THistoryMemo>(w, "m_memoHistory")->setFocus(Qt::MouseFocusReason);
    Click("SpeedButton12"); // "1"
    QCOMPARE(QApplication::focusWidget(), EditExp(w, 2));
    QCOMPARE(EditExp(w, 2)->text(), QStringLiteral("12+314"));
    QCOMPARE(EditExp(w, 2)->cursorPosition(), 5);
    QCOMPARE(w->ActiveExpression(), EditExp(w, 2));

    // A selection is not replaced: the key goes before it and the selection goes.
    EditExp(w, 2)->setSelection(1, 2);
    Click("SpeedButton6"); // "7"
    QCOMPARE(EditExp(w, 2)->text(), QStringLiteral("172+314"));
    QCOMPARE(EditExp(w, 2)->cursorPosition(), 2);
    QVERIFY(!EditExp(w, 2)->hasSelectedText());
}

void tst_FormMain::keypadBuildsAndEvaluatesWithTheMouseOnly() {
    for (const char* key :
         {"SpeedButton21", "SpeedButton12", "SpeedButton13", "SpeedButton18", "SpeedButton14",
          "SpeedButton9", "SpeedButton22", "SpeedButton20", "SpeedButton14"})
        Click(key);
    QCOMPARE(EditExp(w, 0)->text(), QStringLiteral("(12+34)*3"));
    Click("SpeedButton24"); // "="
    // The Enter is still queued when the click returns.
    QCOMPARE(EditResult(w, 0)->text(), QString());
    QTRY_COMPARE(EditResult(w, 0)->text(), QStringLiteral("138.00"));
    QCOMPARE(HistoryLines(5).mid(2), (QStringList{"(12+34)*3", "=", "138.00"}));
    Click("SpeedButton23"); // "+/-"
    QCOMPARE(EditExp(w, 0)->text(), QStringLiteral("-((12+34)*3)"));
    QCOMPARE(EditExp(w, 0)->cursorPosition(), 12);
    Click("SpeedButton24");
    QTRY_COMPARE(EditResult(w, 0)->text(), QStringLiteral("-138.00"));
}

void tst_FormMain::keypadBackSpace_data() {
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("length");
    QTest::addColumn<QString>("result");
    QTest::newRow("before the caret") << 3 << 0 << "1234";
    QTest::newRow("at position 0") << 0 << 0 << "12+34";
    QTest::newRow("selection") << 1 << 3 << "14";
}

void tst_FormMain::keypadBackSpace() {
    QFETCH(int, start);
    QFETCH(int, length);
    QFETCH(QString, result);
    EditExp(w, 0)->setText(QStringLiteral("12+34"));
    if (length)
        EditExp(w, 0)->setSelection(start, length);
    else
        EditExp(w, 0)->setCursorPosition(start);
    Click("SpeedButton26");
    QCOMPARE(EditExp(w, 0)->text(), QStringLiteral("12+34")); // still queued
    QCoreApplication::processEvents();
    QCOMPARE(EditExp(w, 0)->text(), result);
    QCOMPARE(EditResult(w, 0)->text(), QString());
}

void tst_FormMain::keypadClearAndClearAll() {
    Evaluate(0, QStringLiteral("1+1"));
    Evaluate(1, QStringLiteral("2+2"));
    const QString history = Find<THistoryMemo>(w, "m_memoHistory")->toPlainText();
    Click("SpeedButton27"); // "Clear" on row 2
    QCOMPARE(EditExp(w, 1)->text(), QString());
    QCOMPARE(EditResult(w, 1)->text(), QString());
    QCOMPARE(EditExp(w, 0)->text(), QStringLiteral("1+1"));
    QCOMPARE(EditResult(w, 0)->text(), QStringLiteral("2.00"));
    EditExp(w, 4)->setText(QStringLiteral("5"));
    Click("SpeedButton28"); // "Clear All"
    for (int row = 0; row < TfrmMain::kRows; ++row) {
        QCOMPARE(EditExp(w, row)->text(), QString());
        QCOMPARE(EditResult(w, row)->text(), QString());
    }
    QCOMPARE(w->ActiveExpression(), EditExp(w, 1));
    QCOMPARE(Find<THistoryMemo>(w, "m_memoHistory")->toPlainText(), history);
    QCOMPARE(RowLabel(w, 0)->text(), QStringLiteral("Expression1"));
}

void tst_FormMain::keypadSignToggleOnEmptyRowChangesNothing() {
    EditExp(w, 3)->setFocus(Qt::MouseFocusReason);
    Find<QCheckBox>(w, "checkComma")->setFocus(Qt::MouseFocusReason);
    Click("SpeedButton23");
    QCOMPARE(EditExp(w, 3)->text(), QString());
    QCOMPARE(QApplication::focusWidget(), EditExp(w, 3));
}

void tst_FormMain::exampleFillsTheIdleRowAndEvaluates_data() {
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<int>("row");
    QTest::newRow("all empty") << QStringList{"", "", "", "", ""} << 0;
    QTest::newRow("only row 3 empty") << QStringList{"1", "2", "", "4", "5"} << 2;
    QTest::newRow("rows 1 to 4 occupied") << QStringList{"1", "2", "3", "4", "5+5"} << 4;
    QTest::newRow("row 1 holds a blank") << QStringList{" ", "", "", "", ""} << 1;
}

void tst_FormMain::exampleFillsTheIdleRowAndEvaluates() {
    QFETCH(QStringList, texts);
    QFETCH(int, row);
    for (int r = 0; r < TfrmMain::kRows; ++r)
        EditExp(w, r)->setText(texts[r]);
    Find<QAction>(w, "menuExample1")->trigger();
    QCOMPARE(EditExp(w, row)->text(), QStringLiteral("(12+34)*3"));
    QCOMPARE(QApplication::focusWidget(), EditExp(w, row));
    QCOMPARE(w->ActiveExpression(), EditExp(w, row));
    QTRY_COMPARE(EditResult(w, row)->text(), QStringLiteral("138.00"));
    QCOMPARE(HistoryLines(5).mid(2), (QStringList{"(12+34)*3", "=", "138.00"}));
}

void tst_FormMain::menusAndAddresses() {
    QCOMPARE(Find<QMenu>(w, "File1")->title(), QStringLiteral("File"));
    QCOMPARE(Find<QMenu>(w, "File1")->actions(), QList<QAction*>{Find<QAction>(w, "menuExit")});
    QCOMPARE(Find<QMenu>(w, "Help1")->actions(),
             (QList<QAction*>{Find<QAction>(w, "menuHomePage"), Find<QAction>(w, "menuAbout")}));
    QCOMPARE(Find<QAction>(w, "menuExample1")->toolTip(),
             QStringLiteral("Show example in  the idle expression edit box."));
    for (QAction* a : {Find<QAction>(w, "menuExit"), Find<QAction>(w, "menuExample1"),
                       Find<QAction>(w, "menuHomePage"), Find<QAction>(w, "menuAbout")})
        QVERIFY(a->shortcut().isEmpty());
    Find<QAction>(w, "menuHomePage")->trigger();
    QCOMPARE(m_shell.opened.size(), size_t(1));
    QCOMPARE(m_shell.opened[0].first,
             QStringLiteral(
                 "http://www.quantoria.example/en/Quantoria_Detail.aspx?come_from=Quantoria_V1"));
    QCOMPARE(m_shell.opened[0].second, ShowState::Maximized);
}

void tst_FormMain::aboutWindowTextsAndLinks() {
    RecordingShellOpen shell;
    TfrmAbout about(w.get(), shell, [](const QString& path) {
        return path == QCoreApplication::applicationFilePath() ? QStringLiteral("1.8.6.66")
                                                               : QString();
    });
    QCOMPARE(about.windowTitle(), QStringLiteral("About"));
    QCOMPARE(about.size(), QSize(414, 279));
    QCOMPARE(Find<QLabel>(about, "lblProductFullName")->text(), QStringLiteral("Quantoria"));
    QCOMPARE(Find<QLabel>(about, "lblVersion")->text(), QStringLiteral("Version:1.8.6.66"));
    QCOMPARE(Find<TLabel>(about, "labelMail")->text(), g_supportMail);

    for (TLabel* link : {Find<TLabel>(about, "labelWeb"), Find<TLabel>(about, "labelMail")}) {
        QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
        QCoreApplication::sendEvent(link, &enter);
        QCOMPARE(link->FontColor(), QColor(0, 0, 255));
        QCOMPARE(link->cursor().shape(), Qt::PointingHandCursor);
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(link, &leave);
        QCOMPARE(link->FontColor(), QColor(0, 0, 0));
        QCOMPARE(link->cursor().shape(), Qt::ArrowCursor);
    }

    QTest::mouseClick(Find<TLabel>(about, "labelWeb"), Qt::LeftButton);
    QTest::mouseClick(Find<TLabel>(about, "labelMail"), Qt::LeftButton);
    Find<QPushButton>(about, "btnVisitHomePage")->click();
    QCOMPARE(shell.opened.size(), size_t(3));
    QCOMPARE(shell.opened[0].first,
             QStringLiteral("http://www.quantoria.example/?come_from=Quantoria_V1"));
    QCOMPARE(shell.opened[1].first, QStringLiteral("mailto:support@quantoria.example"));
    QCOMPARE(shell.opened[1].second, ShowState::Normal);
    QCOMPARE(shell.opened[2].first,
             QStringLiteral(
                 "http://www.quantoria.example/en/Quantoria_Detail.aspx?come_from=Quantoria_V1"));
}

void tst_FormMain::eachAboutIsAFreshWindow() {
    QList<QPointer<QWidget>> seen;
    auto closeIt = [&] {
        QWidget* modal = QApplication::activeModalWidget();
        QVERIFY(modal);
        seen << modal;
        QCOMPARE(Find<QLabel>(modal, "lblVersion")->text(), QStringLiteral("Version:1.8.6.66"));
        Find<QPushButton>(modal, "btnClose")->click();
    };
    for (int i = 0; i < 2; ++i) {
        QTimer::singleShot(0, this, closeIt);
        Find<QAction>(w, "menuAbout")->trigger();
    }
    QCOMPARE(seen.size(), 2);
    QVERIFY(seen[0].isNull() && seen[1].isNull()); // both destroyed after closing
}

QTEST_MAIN(tst_FormMain)
#include "tst_FormMain.moc"
