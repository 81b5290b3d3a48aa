#include "support/FileHelpers.h"
#include "support/MainWindowFixture.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QPlainTextEdit>

// The main window's history and settings files and the autostart entry.
class tst_FormMainFiles : public QObject {
    Q_OBJECT
private slots:
    void init() { f.NewFolder(); }
    void cleanup() { f.w.reset(); }

    void historyIsSavedNewestFirstWithCrLf();
    void historyLoadsEveryLineBreakForm();
    void missingHistoryIsASilentFirstStart();
    void unreadableHistoryIsReportedAndNeverOverwritten();
    void historyIsAutosavedSoonAfterAChange();
    void evaluationIsOnDiskBeforeTheNextRuns();
    void secondCopySharingTheFolderKeepsApart();
    void leftoverOfAKilledSaveGoesAtTheNextStart();
    void failedHistorySaveDoesNotCostTheSettings();
    void eraseAsksFirst_data();
    void eraseAsksFirst();
    void hideAndShowHistory();
    void linkHoverColours();
    void settingsAppliedAtStart_data();
    void settingsAppliedAtStart();
    void settingsWrittenIntoEmptyFolder();
    void settingsKeepOtherLinesAndTypedPrecision();
    void autostartFollowsTheCheckBox();

private:
    MainWindowFixture f;
};

void tst_FormMainFiles::historyIsSavedNewestFirstWithCrLf() {
    QVERIFY(f.Make());
    f.Evaluate(0, QStringLiteral("1+1"));
    f.Evaluate(1, QStringLiteral("2*3"));
    f.Destroy();
    const QList<QByteArray> lines = ReadBytes(f.HistoryFile()).split('\n');
    QCOMPARE(lines.size(), 11); // ten lines, each ended by CR LF
    for (int i = 0; i < 10; ++i)
        QVERIFY2(lines[i].endsWith('\r'), lines[i].constData());
    QCOMPARE(lines[2], QByteArray("2*3\r"));
    QCOMPARE(lines[4], QByteArray("6.00\r"));
    QCOMPARE(lines[7], QByteArray("1+1\r"));
    QCOMPARE(lines[9], QByteArray("2.00\r"));
    QVERIFY(f.errors.messages.isEmpty());
}

void tst_FormMainFiles::historyLoadsEveryLineBreakForm() {
    // LF, lone CR, CR LF, and a byte from a Windows code page (0xE9, e acute).
    QVERIFY(WriteBytes(f.HistoryFile(), QByteArray("a\nb\rc\r\nd\xE9\r\n")));
    QVERIFY(f.Make());
    QCOMPARE(Find<THistoryMemo>(f.w, "m_memoHistory")->toPlainText(),
             QStringLiteral("a\nb\nc\nd\u00E9\n"));
    f.Destroy();
    QCOMPARE(ReadBytes(f.HistoryFile()), QByteArray("a\r\nb\r\nc\r\nd\xC3\xA9\r\n"));
}

void tst_FormMainFiles::missingHistoryIsASilentFirstStart() {
    QVERIFY(WriteBytes(f.SettingsFile(), "[Config]\nPrec=4\n"));
    QVERIFY(f.Make());
    QVERIFY(f.errors.messages.isEmpty());
    QCOMPARE(f.w->ResultFormat(), QStringLiteral("#,##0.0000"));
    f.Destroy();
    QCOMPARE(ReadBytes(f.HistoryFile()), QByteArray());
}

void tst_FormMainFiles::unreadableHistoryIsReportedAndNeverOverwritten() {
    QVERIFY(QDir().mkpath(f.HistoryFile())); // a folder where the file should be
    QVERIFY(WriteBytes(f.SettingsFile(), "[Config]\nPrec=5\n"));
    QVERIFY(f.Make());
    QCOMPARE(f.errors.messages, QStringList{QStringLiteral("Cannot open file ") + f.HistoryFile()});
    // The settings were read all the same.
    QCOMPARE(f.w->ResultFormat(), QStringLiteral("#,##0.00000"));
    f.Evaluate(0, QStringLiteral("1+1"));
    f.Destroy();
    QVERIFY(QFileInfo(f.HistoryFile()).isDir());
    QVERIFY(ReadBytes(f.SettingsFile()).contains("Prec=5"));
    // The session's entries were kept beside it, and the user was told where, once.
    const QFileInfo history(f.HistoryFile());
    const QStringList kept = history.dir().entryList(
        {history.completeBaseName() + QStringLiteral("-session-*.txt")}, QDir::Files);
    QCOMPARE(kept.size(), 1);
    const QString keptPath = history.dir().filePath(kept[0]);
    QVERIFY(ReadBytes(keptPath).contains("1+1\r\n=\r\n2.00000\r\n"));
    QCOMPARE(f.errors.messages.size(), 2);
    QVERIFY2(f.errors.messages[1].contains(keptPath), qPrintable(f.errors.messages[1]));
}

void tst_FormMainFiles::historyIsAutosavedSoonAfterAChange() {
    QVERIFY(f.Make());
    f.Evaluate(0, QStringLiteral("(12+34)*3"));
    QTRY_VERIFY_WITH_TIMEOUT(ReadBytes(f.HistoryFile()).contains("(12+34)*3\r\n=\r\n138.00\r\n"),
                             10000);
    // A user's edit of the memo is saved as well.
    Find<THistoryMemo>(f.w, "m_memoHistory")->appendPlainText(QStringLiteral("note"));
    QTRY_VERIFY_WITH_TIMEOUT(ReadBytes(f.HistoryFile()).endsWith("note"), 10000);
}

// No event loop runs between the evaluations (no autosave timer fires): the first evaluation's
// entry is on disk as soon as the second one has run.
void tst_FormMainFiles::evaluationIsOnDiskBeforeTheNextRuns() {
    QVERIFY(f.Make());
    f.Evaluate(0, QStringLiteral("40+2"));
    f.Evaluate(1, QStringLiteral("6*7"));
    QVERIFY2(ReadBytes(f.HistoryFile()).contains("40+2\r\n=\r\n42.00\r\n"),
             ReadBytes(f.HistoryFile()).constData());
    QVERIFY(f.errors.messages.isEmpty());
}

// Two copies on one folder (two sessions): the first owns the history file, the second reads it,
// is told, and keeps its entries in a session file; no entry of either is lost.
void tst_FormMainFiles::secondCopySharingTheFolderKeepsApart() {
    QVERIFY(f.Make());
    f.Evaluate(0, QStringLiteral("1+1"));
    QTRY_VERIFY_WITH_TIMEOUT(ReadBytes(f.HistoryFile()).contains("1+1\r\n"), 10000);
    MainWindowFixture second;
    second.UseFolderOf(f);
    QVERIFY(second.Make());
    QCOMPARE(second.errors.messages.size(), 1);
    QVERIFY2(second.errors.messages[0].contains(QStringLiteral("in use by another copy")),
             qPrintable(second.errors.messages[0]));
    QVERIFY(Find<THistoryMemo>(second.w, "m_memoHistory")
                ->toPlainText()
                .contains(QStringLiteral("1+1")));
    second.Evaluate(0, QStringLiteral("2+2"));
    QApplication::setActiveWindow(f.w.get());
    QVERIFY(QTest::qWaitForWindowActive(f.w.get()));
    f.Evaluate(0, QStringLiteral("3+3"));
    second.Destroy();
    f.Destroy();
    const QByteArray owned = ReadBytes(f.HistoryFile());
    QVERIFY(owned.contains("1+1\r\n") && owned.contains("3+3\r\n"));
    QVERIFY(!owned.contains("2+2\r\n"));
    const QFileInfo history(f.HistoryFile());
    const QStringList kept = history.dir().entryList(
        {history.completeBaseName() + QStringLiteral("-session-*.txt")}, QDir::Files);
    QCOMPARE(kept.size(), 1);
    QVERIFY(ReadBytes(history.dir().filePath(kept[0])).contains("2+2\r\n"));
}

// A kill between a save's naming of its temporary file and the rename leaves "<name>.XXXXXX".
// The copy that holds the history's lock removes it at start however young it is (a kill and a
// new start seconds apart); a copy kept apart by the lock leaves the owner's alone.
void tst_FormMainFiles::leftoverOfAKilledSaveGoesAtTheNextStart() {
    const QString leftover = f.HistoryFile() + QStringLiteral(".Ab3xYz");
    QVERIFY(WriteBytes(leftover, "a save cut short"));
    QVERIFY(f.Make());
    QVERIFY(!QFile::exists(leftover));
    QVERIFY(WriteBytes(leftover, "the owner's save under way"));
    MainWindowFixture second;
    second.UseFolderOf(f);
    QVERIFY(second.Make());
    QVERIFY(QFile::exists(leftover));
}

void tst_FormMainFiles::failedHistorySaveDoesNotCostTheSettings() {
    QVERIFY(f.Make());
    Find<QCheckBox>(f.w, "checkStartup")->setChecked(false);
    Find<TCSpinEdit>(f.w, "editPrecision")->SetValue(3);
    // The history file cannot be created: a folder took its place after the start.
    QVERIFY(QDir().mkpath(f.HistoryFile()));
    f.Destroy();
    QCOMPARE(f.errors.messages.size(), 1);
    QVERIFY2(f.errors.messages[0].contains(f.HistoryFile()), qPrintable(f.errors.messages[0]));
    QVERIFY(ReadBytes(f.SettingsFile()).contains("Prec=3"));
    QVERIFY(ReadBytes(f.SettingsFile()).contains("Startup=0"));
}

void tst_FormMainFiles::eraseAsksFirst_data() {
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("erased");
    QTest::newRow("cancel") << int(MessageBoxes::IdCancel) << false;
    QTest::newRow("ok") << int(MessageBoxes::IdOk) << true;
}

void tst_FormMainFiles::eraseAsksFirst() {
    QFETCH(int, answer);
    QFETCH(bool, erased);
    QVERIFY(WriteBytes(f.HistoryFile(), "old\r\n"));
    QVERIFY(f.Make());
    f.boxes.answers.enqueue(answer);
    QTest::mouseClick(Find<TLabel>(f.w, "labelEraseHistory"), Qt::LeftButton);
    QCOMPARE(f.boxes.asked.size(), 1);
    QCOMPARE(f.boxes.asked[0].text,
             QStringLiteral("All historys of calculator will be lost, are you sure?"));
    QCOMPARE(f.boxes.asked[0].caption, QStringLiteral("Quantoria"));
    QCOMPARE(f.boxes.asked[0].flags, unsigned(MessageBoxes::OkCancel | MessageBoxes::IconQuestion));
    // The file changes at once, not at exit.
    QCOMPARE(ReadBytes(f.HistoryFile()), erased ? QByteArray() : QByteArray("old\r\n"));
    QCOMPARE(Find<THistoryMemo>(f.w, "m_memoHistory")->toPlainText(),
             erased ? QString() : QStringLiteral("old\n"));
}

void tst_FormMainFiles::hideAndShowHistory() {
    QVERIFY(f.Make());
    QWidget* client = f.w->centralWidget();
    QCOMPARE(client->width(), 910);
    QTest::mouseClick(Find<TLabel>(f.w, "LabelHideHistory"), Qt::LeftButton);
    QCOMPARE(client->width(), 558);
    QCOMPARE(Find<TLabel>(f.w, "LabelHideHistory")->text(), QStringLiteral("Display History"));
    QTest::mouseClick(Find<TLabel>(f.w, "LabelHideHistory"), Qt::LeftButton);
    QCOMPARE(client->width(), 910);
    QCOMPARE(Find<TLabel>(f.w, "LabelHideHistory")->text(), QStringLiteral("Hide History"));
    // Round trips never shrink the window.
    for (int i = 0; i < 4; ++i)
        QTest::mouseClick(Find<TLabel>(f.w, "LabelHideHistory"), Qt::LeftButton);
    QCOMPARE(client->width(), 910);
}

void tst_FormMainFiles::linkHoverColours() {
    QVERIFY(f.Make());
    for (TLabel* link :
         {Find<TLabel>(f.w, "LabelHideHistory"), Find<TLabel>(f.w, "labelEraseHistory")}) {
        QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
        QCoreApplication::sendEvent(link, &enter);
        QCOMPARE(link->FontColor(), QColor(255, 0, 0));
        QCOMPARE(link->cursor().shape(), Qt::PointingHandCursor);
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(link, &leave);
        QCOMPARE(link->FontColor(), QColor(0, 0, 0));
        QCOMPARE(link->cursor().shape(), Qt::ArrowCursor);
    }
}

void tst_FormMainFiles::settingsAppliedAtStart_data() {
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<bool>("startup");
    QTest::addColumn<int>("clientWidth");
    QTest::newRow("no file") << QByteArray() << "#,##0.00" << true << 910;
    QTest::newRow("Prec=15") << QByteArray("[Config]\nPrec=15\n") << "#,##0.000000000" << true
                             << 910;
    QTest::newRow("Prec=-3") << QByteArray("[Config]\nPrec=-3\n") << "#,##0" << true << 910;
    QTest::newRow("Prec=abc") << QByteArray("[Config]\nPrec=abc\n") << "#,##0.00" << true << 910;
    QTest::newRow("Prec=0x5") << QByteArray("[Config]\nPrec=0x5\n") << "#,##0.00000" << true << 910;
    QTest::newRow("Comma=0") << QByteArray("[config]\ncomma=0\n") << "0.00" << true << 910;
    QTest::newRow("Comma=7") << QByteArray("[Config]\nComma=7\n") << "#,##0.00" << true << 910;
    QTest::newRow("Comma=yes") << QByteArray("[Config]\nComma=yes\n") << "#,##0.00" << true << 910;
    QTest::newRow("Startup=0") << QByteArray("[Config]\r\nStartup=0\r\n") << "#,##0.00" << false
                               << 910;
    QTest::newRow("DisplayHistory=0")
        << QByteArray("[Config]\nDisplayHistory=0\n") << "#,##0.00" << true << 558;
    QTest::newRow("binary garbage")
        << QByteArray("\x00\xff[Config\x01\nPrec=\x80", 14) << "#,##0.00" << true << 910;
}

void tst_FormMainFiles::settingsAppliedAtStart() {
    QFETCH(QByteArray, ini);
    QFETCH(QString, pattern);
    QFETCH(bool, startup);
    QFETCH(int, clientWidth);
    if (!ini.isEmpty())
        QVERIFY(WriteBytes(f.SettingsFile(), ini));
    QVERIFY(f.Make());
    QCOMPARE(f.w->ResultFormat(), pattern);
    QCOMPARE(Find<QCheckBox>(f.w, "checkStartup")->isChecked(), startup);
    QCOMPARE(f.w->centralWidget()->width(), clientWidth);
    QVERIFY(f.errors.messages.isEmpty());
}

void tst_FormMainFiles::settingsWrittenIntoEmptyFolder() {
    QVERIFY(f.Make());
    f.Destroy();
    QCOMPARE(ReadBytes(f.SettingsFile()),
             QByteArray("[Config]\nPrec=2\nComma=1\nStartup=1\nDisplayHistory=1\n"));
}

void tst_FormMainFiles::settingsKeepOtherLinesAndTypedPrecision() {
    QVERIFY(WriteBytes(f.SettingsFile(), "; mine\r\n[Other]\r\nx=1\r\n[Config]\r\nPrec=2\r\n"));
    QVERIFY(f.Make());
    QTest::mouseClick(Find<TLabel>(f.w, "LabelHideHistory"), Qt::LeftButton);
    // Typed but not confirmed by leaving the box: written as typed.
    Find<TCSpinEdit>(f.w, "editPrecision")->setFocus(Qt::MouseFocusReason);
    Find<TCSpinEdit>(f.w, "editPrecision")->selectAll();
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("12"));
    f.Destroy();
    QCOMPARE(ReadBytes(f.SettingsFile()),
             QByteArray("; mine\r\n[Other]\r\nx=1\r\n[Config]\r\nPrec=12\r\n"
                        "Comma=1\r\nStartup=1\r\nDisplayHistory=0\r\n"));
}

void tst_FormMainFiles::autostartFollowsTheCheckBox() {
    QVERIFY(f.Make());
    f.Destroy();
    QVERIFY(f.autostart->IsSet());
    const QByteArray entry = ReadBytes(f.autostart->EntryFile());
    QVERIFY2(entry.contains("Exec=\"" + f.File(QStringLiteral("quantoria")).toUtf8() + "\""),
             entry.constData());

    QVERIFY(f.Make());
    Find<QCheckBox>(f.w, "checkStartup")->click();
    QVERIFY(f.autostart->IsSet()); // nothing changes before the exit
    f.Destroy();
    QVERIFY(!f.autostart->IsSet());
    QVERIFY(f.Make());
    f.Destroy(); // deleting an entry that is not there is silent
    QVERIFY(f.errors.messages.isEmpty());
}

QTEST_MAIN(tst_FormMainFiles)
#include "tst_FormMainFiles.moc"
