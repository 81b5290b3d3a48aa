#include "HistoryText.h"
#include "support/FileHelpers.h"
#include "support/HistoryEntries.h"
#include "support/MainWindowFixture.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextDocument>

namespace {

// Newest first, as the program writes it, with characters outside ASCII and a few rarely seen
// ones among them. `line` is the line end.
QByteArray Entries(int count, const char* line = "\r\n") {
    return HistoryEntries(1, count, line, true);
}

// What the memo holds, as it is saved.
QString MemoText(const QPlainTextEdit* memo) {
    QString text = memo->document()->toRawText();
    text.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    return text;
}

// Triggers the "Select All" of a memo's context menu.
void SelectAllFromMenu(QPlainTextEdit* memo) {
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(10, 10),
                            memo->viewport()->mapToGlobal(QPoint(10, 10)));
    QApplication::sendEvent(memo->viewport(), &event);
    QMenu* menu = nullptr;
    for (QWidget* top : QApplication::topLevelWidgets())
        if (auto* m = qobject_cast<QMenu*>(top); m && m->isVisible())
            menu = m;
    QVERIFY(menu);
    auto* all = menu->findChild<QAction*>(QStringLiteral("select-all"));
    QVERIFY(all);
    all->trigger();
    menu->close();
}

} // namespace

// The history memo holds the newest part of a long history and takes in the rest as the user
// goes there. Whatever the user does, the file written is byte for byte what a memo holding the
// whole history from the start would save: that memo (a plain one, the reference) gets the same
// keys and clicks side by side with the window.
class tst_FormMainHistory : public QObject {
    Q_OBJECT
private slots:
    void init() { f.NewFolder(); }
    void cleanup() { f.w.reset(); }

    void savedAsAWholeMemoWouldSaveIt_data();
    void savedAsAWholeMemoWouldSaveIt();
    void scrollingToTheEndTakesInTheRest();
    void scrollBarTakenToTheEndReadsEverything_data();
    void scrollBarTakenToTheEndReadsEverything();
    void takingInKeepsTheCaretAndIsNotUndone();
    void unchangedHistoryIsNotRewrittenAtExit();
    void restCopiedWhileTakingInReadsOnWhereItWas();

private:
    // Runs one step on the window's memo and on the reference.
    void Step(const QString& step, QPlainTextEdit* reference);
    MainWindowFixture f;
};

void tst_FormMainHistory::Step(const QString& step, QPlainTextEdit* reference) {
    THistoryMemo* memo = Find<THistoryMemo>(f.w, "m_memoHistory");
    const QStringList parts = step.split(QLatin1Char(' '));
    const QString& what = parts[0];
    const QString argument = parts.size() > 1 ? parts[1] : QString();
    // The same keys to both memos, the window's taking in as it goes.
    const auto keys = [&](Qt::Key key, Qt::KeyboardModifiers modifiers, int times = 1) {
        for (QPlainTextEdit* target : {static_cast<QPlainTextEdit*>(memo), reference}) {
            target->setFocus();
            for (int i = 0; i < times; ++i) {
                QTest::keyClick(target, key, modifiers);
                QCoreApplication::processEvents();
            }
        }
    };
    const auto type = [&](const QString& text) {
        for (QPlainTextEdit* target : {static_cast<QPlainTextEdit*>(memo), reference})
            QTest::keyClicks(target, text);
    };
    if (what == QLatin1String("evaluate")) {
        const QString before = MemoText(memo);
        QApplication::setActiveWindow(f.w.get());
        QVERIFY(QTest::qWaitForWindowActive(f.w.get()));
        f.Evaluate(0, argument);
        const QString after = MemoText(memo);
        QVERIFY(after.endsWith(before));
        QTextCursor top(reference->document());
        reference->document()->setUndoRedoEnabled(false);
        top.insertText(after.left(after.size() - before.size()));
        reference->document()->setUndoRedoEnabled(true);
    } else if (what == QLatin1String("top")) {
        keys(Qt::Key_Home, Qt::ControlModifier);
        type(argument);
    } else if (what == QLatin1String("end")) {
        keys(Qt::Key_End, Qt::ControlModifier);
        type(argument);
    } else if (what == QLatin1String("pagedown")) {
        keys(Qt::Key_Home, Qt::ControlModifier);
        keys(Qt::Key_PageDown, Qt::NoModifier, argument.toInt());
        type(QStringLiteral("p"));
    } else if (what == QLatin1String("selectall")) {
        keys(Qt::Key_A, Qt::ControlModifier);
        keys(Qt::Key_Delete, Qt::NoModifier);
    } else if (what == QLatin1String("menuselectall")) {
        SelectAllFromMenu(memo);
        reference->selectAll();
        keys(Qt::Key_Delete, Qt::NoModifier);
    } else if (what == QLatin1String("undo")) {
        keys(Qt::Key_Z, Qt::ControlModifier);
    } else if (what == QLatin1String("erase")) {
        f.boxes.answers.enqueue(MessageBoxes::IdOk);
        QTest::mouseClick(Find<TLabel>(f.w, "labelEraseHistory"), Qt::LeftButton);
        reference->clear();
        QCOMPARE(ReadBytes(f.HistoryFile()), QByteArray());
    } else {
        QFAIL(qPrintable(QStringLiteral("no step ") + what));
    }
}

void tst_FormMainHistory::savedAsAWholeMemoWouldSaveIt_data() {
    QTest::addColumn<QByteArray>("file"); // "<missing>": no file
    QTest::addColumn<QStringList>("steps");
    const QByteArray longFile = Entries(4000); // about 200 KB: the memo reads a part
    const auto steps = [](const char* text) { return QString::fromLatin1(text).split(';'); };
    QTest::newRow("evaluations") << longFile << steps("evaluate 1+1;evaluate 2*3");
    QTest::newRow("edit at the top") << longFile << steps("top abc;evaluate 7");
    QTest::newRow("edit at the end") << longFile << steps("evaluate 7;end tail");
    QTest::newRow("edit after paging down past the part read")
        << longFile << steps("pagedown 600;evaluate 7");
    QTest::newRow("select all and delete") << longFile << steps("evaluate 7;selectall");
    QTest::newRow("select all from the menu and delete") << longFile << steps("menuselectall");
    QTest::newRow("select all, delete, undo") << longFile << steps("selectall;undo");
    QTest::newRow("erase, then evaluate") << longFile << steps("evaluate 7;erase;evaluate 8");
    QTest::newRow("nothing") << longFile << QStringList();
    QTest::newRow("LF line ends, read whole") << Entries(4000, "\n") << steps("evaluate 7");
    QTest::newRow("LF line ends, nothing done") << Entries(4000, "\n") << QStringList();
    QTest::newRow("short file") << Entries(20) << steps("evaluate 7;end x");
    QTest::newRow("empty file") << QByteArray() << steps("evaluate 7");
    QTest::newRow("no file, nothing done") << QByteArray("<missing>") << QStringList();
}

void tst_FormMainHistory::savedAsAWholeMemoWouldSaveIt() {
    QFETCH(QByteArray, file);
    QFETCH(QStringList, steps);
    if (file != "<missing>")
        QVERIFY(WriteBytes(f.HistoryFile(), file));
    QVERIFY(f.Make());
    QPlainTextEdit reference;
    reference.setPlainText(file == "<missing>" ? QString() : DecodeHistoryBytes(file));
    reference.setFont(Find<THistoryMemo>(f.w, "m_memoHistory")->font());
    reference.setLineWrapMode(Find<THistoryMemo>(f.w, "m_memoHistory")->lineWrapMode());
    reference.setHorizontalScrollBarPolicy(
        Find<THistoryMemo>(f.w, "m_memoHistory")->horizontalScrollBarPolicy());
    reference.setVerticalScrollBarPolicy(
        Find<THistoryMemo>(f.w, "m_memoHistory")->verticalScrollBarPolicy());
    reference.resize(Find<THistoryMemo>(f.w, "m_memoHistory")->size());
    reference.show();
    QVERIFY(QTest::qWaitForWindowExposed(&reference));
    for (const QString& step : steps) {
        Step(step, &reference);
        if (QTest::currentTestFailed())
            return;
    }
    QVERIFY2(f.errors.messages.isEmpty(), qPrintable(f.errors.messages.join(QLatin1Char('|'))));
    f.Destroy();
    const QByteArray expected = EncodeHistoryText(MemoText(&reference));
    const QByteArray written = ReadBytes(f.HistoryFile());
    QVERIFY2(written == expected,
             qPrintable(QStringLiteral("%1 bytes written, %2 expected; first difference at %3")
                            .arg(written.size())
                            .arg(expected.size())
                            .arg([&] {
                                qsizetype i = 0;
                                while (i < written.size() && i < expected.size() &&
                                       written[i] == expected[i])
                                    ++i;
                                return i;
                            }())));
    QVERIFY(f.errors.messages.isEmpty());
}

void tst_FormMainHistory::scrollingToTheEndTakesInTheRest() {
    QVERIFY(WriteBytes(f.HistoryFile(), Entries(4000)));
    QVERIFY(f.Make());
    THistoryMemo* memo = Find<THistoryMemo>(f.w, "m_memoHistory");
    const qint64 restAtStart = memo->Rest().size;
    QVERIFY2(restAtStart > 100000, "a long history is not read whole at start");
    QScrollBar* bar = memo->verticalScrollBar();
    QVERIFY(bar->maximum() > 0);
    bar->setValue(bar->maximum());
    QTRY_VERIFY(memo->Rest().size < restAtStart);
    // Scrolling on to the end reads the whole history.
    for (int i = 0; i < 100 && !memo->Rest().IsEmpty(); ++i) {
        bar->setValue(bar->maximum());
        QCoreApplication::processEvents();
    }
    QVERIFY(memo->Rest().IsEmpty());
    QCOMPARE(MemoText(memo), DecodeHistoryBytes(Entries(4000)));
}

void tst_FormMainHistory::scrollBarTakenToTheEndReadsEverything_data() {
    QTest::addColumn<bool>("drag"); // the thumb dragged to the end, else the bar's "Bottom"
    QTest::newRow("Bottom") << false;
    QTest::newRow("thumb let go at the end") << true;
}

void tst_FormMainHistory::scrollBarTakenToTheEndReadsEverything() {
    QFETCH(bool, drag);
    QVERIFY(WriteBytes(f.HistoryFile(), Entries(4000)));
    QVERIFY(f.Make());
    THistoryMemo* memo = Find<THistoryMemo>(f.w, "m_memoHistory");
    QScrollBar* bar = memo->verticalScrollBar();
    QVERIFY(!memo->Rest().IsEmpty());
    if (drag) {
        bar->setSliderDown(true);
        bar->setValue(bar->maximum());
        bar->setSliderDown(false);
    } else {
        bar->triggerAction(QAbstractSlider::SliderToMaximum);
    }
    QVERIFY(memo->Rest().IsEmpty());
    QCOMPARE(bar->value(), bar->maximum());
    QCOMPARE(MemoText(memo), DecodeHistoryBytes(Entries(4000)));
}

void tst_FormMainHistory::takingInKeepsTheCaretAndIsNotUndone() {
    QVERIFY(WriteBytes(f.HistoryFile(), Entries(4000)));
    QVERIFY(f.Make());
    THistoryMemo* memo = Find<THistoryMemo>(f.w, "m_memoHistory");
    memo->setFocus();
    QTest::keyClick(memo, Qt::Key_Home, Qt::ControlModifier);
    QTest::keyClicks(memo, QStringLiteral("typed"));
    QTextCursor caret = memo->textCursor();
    caret.setPosition(2);
    caret.setPosition(4, QTextCursor::KeepAnchor);
    memo->setTextCursor(caret);
    memo->TakeIn(-1);
    QCOMPARE(memo->textCursor().anchor(), 2);
    QCOMPARE(memo->textCursor().position(), 4);
    // Undo never takes back what was taken in (taking in clears the undo history, as adding an
    // entry does).
    QTest::keyClick(memo, Qt::Key_Z, Qt::ControlModifier);
    QTest::keyClick(memo, Qt::Key_Z, Qt::ControlModifier);
    QVERIFY(memo->Rest().IsEmpty());
    QCOMPARE(MemoText(memo), QStringLiteral("typed") + DecodeHistoryBytes(Entries(4000)));
}

void tst_FormMainHistory::unchangedHistoryIsNotRewrittenAtExit() {
    QVERIFY(WriteBytes(f.HistoryFile(), Entries(4000)));
    const FileStamp before = FileStamp::Of(f.HistoryFile());
    QVERIFY(f.Make());
    QTest::qWait(1200); // past the autosave's delay
    f.Destroy();
    QCOMPARE(FileStamp::Of(f.HistoryFile()), before);
    // Replaced behind the window's back: written again at exit, as the memo and rest hold it.
    QVERIFY(f.Make());
    QTRY_VERIFY(Find<THistoryMemo>(f.w, "m_memoHistory")->Rest().file->IsPrivate());
    QVERIFY(WriteBytes(f.HistoryFile(), "replaced\r\n"));
    f.Destroy();
    QCOMPARE(ReadBytes(f.HistoryFile()), Entries(4000));
}

// The rest is copied to a private file on the writer thread while the memo may take in more
// from the original: the memo goes on reading from the copy where it stopped.
void tst_FormMainHistory::restCopiedWhileTakingInReadsOnWhereItWas() {
    const QByteArray bytes = Entries(4000);
    QVERIFY(WriteBytes(f.HistoryFile(), bytes));
    LoadedHistory loaded = LoadHistoryFile(f.HistoryFile(), 4096);
    RecordingErrorReporter errors;
    THistoryMemo memo(nullptr, errors);
    memo.SetHistory(loaded.text, loaded.rest);
    const HistoryRest copy = PrivateCopy(loaded.rest, f.folder->path());
    memo.TakeIn(5000);
    memo.TakeIn(5000);
    memo.MoveRest(loaded.rest, copy);
    QCOMPARE(memo.Rest().file, copy.file);
    memo.TakeIn(-1);
    QCOMPARE(MemoText(&memo), DecodeHistoryBytes(bytes));
    // A rest that no longer matches (the history erased meanwhile) is left alone.
    memo.ClearHistory();
    memo.MoveRest(loaded.rest, copy);
    QVERIFY(memo.Rest().IsEmpty());
    QVERIFY(errors.messages.isEmpty());
}

QTEST_MAIN(tst_FormMainHistory)
#include "tst_FormMainHistory.moc"
