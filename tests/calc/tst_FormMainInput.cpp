// The main window's rows and precision box under the ways users reach them: every road that
// changes the precision box, long results, selections left behind, held arrow keys.
#include "FormMain.h"
#include "support/MainWindowFixture.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QStyle>
#include <QStyleOptionSpinBox>
#include <QTest>
#include <QWheelEvent>

namespace {

// Keys go where a user's keys go: to the widget holding the focus.
void Key(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QWidget* focus = QApplication::focusWidget();
    QVERIFY(focus);
    QTest::keyClick(focus, Qt::Key(key), modifiers);
}

// The middle of one of a spin box's arrow buttons, as its style draws them.
QPoint ArrowButton(QSpinBox* spin, QStyle::SubControl button) {
    QStyleOptionSpinBox option;
    option.initFrom(spin);
    option.frame = spin->hasFrame();
    option.buttonSymbols = spin->buttonSymbols();
    option.subControls = QStyle::SC_SpinBoxUp | QStyle::SC_SpinBoxDown | QStyle::SC_SpinBoxFrame |
                         QStyle::SC_SpinBoxEditField;
    option.stepEnabled = QAbstractSpinBox::StepUpEnabled | QAbstractSpinBox::StepDownEnabled;
    return spin->style()->subControlRect(QStyle::CC_SpinBox, &option, button, spin).center();
}

// A key event as the X server's auto-repeat delivers it when Qt does not recognise the repeat:
// plain presses and releases, the repeat's release and press sharing one time stamp.
void SendKey(QWidget* to, QEvent::Type type, int key, quint64 time) {
    QKeyEvent event(type, key, Qt::NoModifier, QString(), false);
    event.setTimestamp(time);
    QApplication::sendEvent(to, &event);
}

} // namespace

class tst_FormMainInput : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void everyRoadOfThePrecisionBoxRebuildsThePattern_data();
    void everyRoadOfThePrecisionBoxRebuildsThePattern();
    void precisionTypedPastNineAndEnteredShowsNineAtMost();
    void longResultsShowTheirStart_data();
    void longResultsShowTheirStart();
    void rowLeftWithASelectionRemembersItsStart_data();
    void rowLeftWithASelectionRemembersItsStart();
    void heldArrowKeyMovesTheFocusOnce_data();
    void heldArrowKeyMovesTheFocusOnce();

private:
    MainWindowFixture f;
    std::unique_ptr<TfrmMain>& w = f.w;
};

void tst_FormMainInput::init() {
    f.NewFolder();
    QVERIFY(f.Make());
}

void tst_FormMainInput::cleanup() {
    w.reset();
}

void tst_FormMainInput::everyRoadOfThePrecisionBoxRebuildsThePattern_data() {
    QTest::addColumn<QString>("road");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("result");
    QTest::newRow("up arrow button") << "up button"
                                     << "#,##0.000"
                                     << "0.333";
    QTest::newRow("down arrow button") << "down button"
                                       << "#,##0.0"
                                       << "0.3";
    QTest::newRow("up key") << "up key"
                            << "#,##0.000"
                            << "0.333";
    QTest::newRow("down key") << "down key"
                              << "#,##0.0"
                              << "0.3";
    QTest::newRow("wheel up") << "wheel up"
                              << "#,##0.000"
                              << "0.333";
    QTest::newRow("wheel down") << "wheel down"
                                << "#,##0.0"
                                << "0.3";
    QTest::newRow("page up key") << "page up key"
                                 << "#,##0.000000000"
                                 << "0.333300000";
}

void tst_FormMainInput::everyRoadOfThePrecisionBoxRebuildsThePattern() {
    QFETCH(QString, road);
    QFETCH(QString, pattern);
    QFETCH(QString, result);
    TCSpinEdit* spin = w->editPrecision;
    QCOMPARE(w->m_resultFormat, QStringLiteral("#,##0.00"));
    f.Evaluate(0, QStringLiteral("1/3"));
    QCOMPARE(w->editResult[0]->text(), QStringLiteral("0.33"));

    const QString before = spin->text();
    if (road.endsWith(QLatin1String("button"))) {
        const bool up = road.startsWith(QLatin1String("up"));
        QTest::mouseClick(spin, Qt::LeftButton, Qt::NoModifier,
                          ArrowButton(spin, up ? QStyle::SC_SpinBoxUp : QStyle::SC_SpinBoxDown));
    } else if (road.endsWith(QLatin1String("key"))) {
        spin->setFocus(Qt::MouseFocusReason);
        Key(road.startsWith(QLatin1String("up"))     ? Qt::Key_Up
            : road.startsWith(QLatin1String("down")) ? Qt::Key_Down
                                                     : Qt::Key_PageUp);
    } else {
        const int delta = road.endsWith(QLatin1String("up")) ? 120 : -120;
        const QPoint at = spin->rect().center();
        QWheelEvent wheel(at, spin->mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(spin, &wheel);
    }
    QVERIFY2(spin->text() != before, "the road did not change the box");
    QCOMPARE(w->m_resultFormat, pattern);

    // The next evaluation uses the new pattern; the result shown before keeps its text.
    QCOMPARE(w->editResult[0]->text(), QStringLiteral("0.33"));
    f.Evaluate(0, QStringLiteral("1/3"));
    QCOMPARE(w->editResult[0]->text(), result);
}

void tst_FormMainInput::precisionTypedPastNineAndEnteredShowsNineAtMost() {
    w->editExp[0]->setText(QStringLiteral("1/3"));
    w->editPrecision->setFocus(Qt::MouseFocusReason);
    w->editPrecision->selectAll();
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("12"));
    // While the box has the focus, the typed number is the precision.
    QCOMPARE(w->m_resultFormat, QStringLiteral("#,##0.000000000000"));
    Key(Qt::Key_Return);
    QCOMPARE(w->editPrecision->text(), QStringLiteral("9"));
    QCOMPARE(w->m_resultFormat, QStringLiteral("#,##0.000000000"));

    // The "=" beside a row works on the active row, row 1.
    QTest::mouseClick(w->btnEqual[2], Qt::LeftButton);
    QTRY_COMPARE(w->editResult[0]->text(), QStringLiteral("0.333300000"));
    QCOMPARE(w->editPrecision->text(), QStringLiteral("9"));
}

void tst_FormMainInput::longResultsShowTheirStart_data() {
    QTest::addColumn<QString>("expression");
    QTest::addColumn<int>("precision");
    QTest::addColumn<QString>("result");
    QTest::newRow("negative, nine places") << "-987654321.5" << 9 << "-987,654,321.500000000";
    QTest::newRow("fifteen digits") << "922337203685477" << 2 << "922,337,203,685,477.00";
    QTest::newRow("eleven digits") << "-12345678901.25" << 4 << "-12,345,678,901.2500";
}

void tst_FormMainInput::longResultsShowTheirStart() {
    QFETCH(QString, expression);
    QFETCH(int, precision);
    QFETCH(QString, result);
    w->editPrecision->SetValue(precision);
    f.Evaluate(1, expression);
    TEdit* box = w->editResult[1];
    QCOMPARE(box->text(), result);
    // The text is wider than the box: the sign and the leading digits are what shows.
    QVERIFY(box->fontMetrics().horizontalAdvance(result) > box->width());
    QCOMPARE(box->cursorPosition(), 0);
    QVERIFY2(box->inputMethodQuery(Qt::ImCursorRectangle).toRect().left() < 8,
             "the box is scrolled away from the text's start");

    // Entering the box leaves its start in view too.
    box->setFocus(Qt::MouseFocusReason);
    QVERIFY(box->inputMethodQuery(Qt::ImCursorRectangle).toRect().left() < 8);
}

void tst_FormMainInput::rowLeftWithASelectionRemembersItsStart_data() {
    QTest::addColumn<bool>("leftToRight");
    QTest::newRow("selected left to right") << true;
    QTest::newRow("selected right to left") << false;
}

// Select "2+" in 12+3, click the precision box, click keypad 7: the 7 goes where the selection
// started.
void tst_FormMainInput::rowLeftWithASelectionRemembersItsStart() {
    QFETCH(bool, leftToRight);
    QTest::keyClicks(w->editExp[0], QStringLiteral("12+3"));
    if (leftToRight) {
        Key(Qt::Key_Home);
        Key(Qt::Key_Right);
        Key(Qt::Key_Right, Qt::ShiftModifier);
        Key(Qt::Key_Right, Qt::ShiftModifier);
    } else {
        Key(Qt::Key_End);
        Key(Qt::Key_Left);
        Key(Qt::Key_Left, Qt::ShiftModifier);
        Key(Qt::Key_Left, Qt::ShiftModifier);
    }
    QCOMPARE(w->editExp[0]->selectedText(), QStringLiteral("2+"));

    QTest::mouseClick(w->editPrecision->findChild<QLineEdit*>(), Qt::LeftButton);
    QCOMPARE(w->m_expCaret[0], 1);
    QTest::mouseClick(w->findChild<QAbstractButton*>(QStringLiteral("SpeedButton6")),
                      Qt::LeftButton);
    QCOMPARE(w->editExp[0]->text(), QStringLiteral("172+3"));
}

void tst_FormMainInput::heldArrowKeyMovesTheFocusOnce_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("stamped");
    QTest::addColumn<QString>("to");
    // Stamped: Qt's own events from the X server, the repeat not recognised. Unstamped: the
    // copies the accessibility bridge passes on, without time stamps.
    QTest::newRow("Down held in row 1") << int(Qt::Key_Down) << true << "editExp2";
    QTest::newRow("Down held, accessibility on") << int(Qt::Key_Down) << false << "editExp2";
    QTest::newRow("Up held in row 1") << int(Qt::Key_Up) << true << "m_memoHistory";
}

void tst_FormMainInput::heldArrowKeyMovesTheFocusOnce() {
    QFETCH(int, key);
    QFETCH(bool, stamped);
    QFETCH(QString, to);
    QCOMPARE(QApplication::focusWidget(), w->editExp[0]);
    // Pressed at 1000 ms, repeated from 1660 ms every 40 ms, released at 2100 ms. Each event
    // goes where the focus is at that moment, as the display server's events do.
    const auto stamp = [&](quint64 time) { return stamped ? time : 0; };
    quint64 time = 1000;
    SendKey(QApplication::focusWidget(), QEvent::KeyPress, key, stamp(time));
    for (time = 1660; time < 2100; time += 40) {
        SendKey(QApplication::focusWidget(), QEvent::KeyRelease, key, stamp(time));
        SendKey(QApplication::focusWidget(), QEvent::KeyPress, key, stamp(time));
    }
    SendKey(QApplication::focusWidget(), QEvent::KeyRelease, key, stamp(time));

    QTRY_COMPARE(QApplication::focusWidget()->objectName(), to);
    QTest::qWait(200); // nothing more comes of the held key
    QCOMPARE(QApplication::focusWidget()->objectName(), to);
    QCOMPARE(w->m_editActiveExp, w->editExp[to == QLatin1String("editExp2") ? 1 : 0]);

    // A key pressed and released again walks one step further.
    if (to != QLatin1String("editExp2"))
        return;
    SendKey(QApplication::focusWidget(), QEvent::KeyPress, Qt::Key_Down, stamp(time + 500));
    QTest::qWait(100);
    SendKey(QApplication::focusWidget(), QEvent::KeyRelease, Qt::Key_Down, stamp(time + 600));
    QTRY_VERIFY(QApplication::focusWidget()->objectName() != to);
}

QTEST_MAIN(tst_FormMainInput)
#include "tst_FormMainInput.moc"
