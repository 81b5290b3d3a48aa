#include "Errors.h"
#include "HistoryStore.h"
#include "HistoryText.h"
#include "support/Doubles.h"
#include "support/FileHelpers.h"
#include "support/HistoryEntries.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Newest first, as the program writes it.
QByteArray Entries(int count, const char* line = "\r\n") {
    return HistoryEntries(1, count, line);
}

// What the window's memo holds: a text and the rest of the file it has not taken in.
struct Memo {
    QString text;
    HistoryRest rest;

    HistoryStore::Holder Holder() {
        return {[this] { return text; }, [this] { return rest; },
                [this](const HistoryRest& from, const HistoryRest& to) {
                    if (!rest.IsEmpty() && rest.file == from.file && rest.offset == from.offset &&
                        rest.size == from.size)
                        rest = to;
                }};
    }
    void Set(LoadedHistory loaded) {
        text = loaded.text;
        rest = loaded.rest;
    }
    // The whole history, as a save writes it.
    QByteArray Bytes() {
        QString whole = text;
        HistoryRest all = rest;
        whole += TakeHistoryRest(all, -1);
        return EncodeHistoryText(whole);
    }
};

// A store and the memo it saves, on one history file.
struct Copy {
    RecordingErrorReporter errors;
    Memo memo;
    HistoryStore store;

    explicit Copy(const QString& path) : store(path, errors, memo.Holder()) {}

    // Loads as the window's start does; false when the file could not be read.
    bool Load(qint64 headBytes = HistoryStore::kHeadBytes) {
        try {
            memo.Set(store.Load(QStringLiteral("Quantoria"), headBytes));
            return true;
        } catch (const EFOpenError& e) {
            errors.ShowException(e.Message());
            return false;
        }
    }
    // A change of the memo, an evaluation's or the user's.
    void Add(const QString& entry) {
        memo.text.prepend(entry);
        store.Changed();
    }
    // Saves in the background and takes in the outcome, as the event loop would.
    bool SaveAndWait(bool report) {
        store.SaveInBackground(report);
        const bool written = store.WaitWritten();
        QCoreApplication::processEvents();
        return written;
    }
};

QStringList SessionFiles(const QString& historyFile) {
    const QFileInfo history(historyFile);
    QStringList files;
    for (const QString& name : history.dir().entryList(
             {history.completeBaseName() + QStringLiteral("-session-*.txt")}, QDir::Files))
        files << history.dir().filePath(name);
    return files;
}

} // namespace

// The history file's rules, on real files in a folder of each test's own: the lock, the session
// file, the unreadable file never written over, when the end of the program writes, and failures
// reported once.
class tst_HistoryStore : public QObject {
    Q_OBJECT
private slots:
    void init() { m_dir = std::make_unique<QTemporaryDir>(); }

    void exitWritesOnlyWhatIsNotOnDisk_data();
    void exitWritesOnlyWhatIsNotOnDisk();
    void unreadableFileIsNeverWrittenOver();
    void secondCopyOnTheFolderKeepsItsEntriesApart();
    void copiesStartedTogetherKeepSessionFilesOfTheirOwn();
    void failedSaveIsReportedOnceUntilOneSucceeds();
    void restIsCopiedBeforeTheFileIsReplaced();

private:
    QString Path() const { return m_dir->filePath(QStringLiteral("calc_history.txt")); }
    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_HistoryStore::exitWritesOnlyWhatIsNotOnDisk_data() {
    QTest::addColumn<QByteArray>("file"); // "<missing>": none
    QTest::addColumn<qint64>("head");     // how much the memo reads at start
    QTest::addColumn<QString>("then");    // what happens before the end
    QTest::addColumn<bool>("rewritten");
    const QByteArray saved = Entries(20);
    const QByteArray missing = "<missing>";
    const qint64 whole = HistoryStore::kHeadBytes;
    QTest::newRow("saved form, nothing") << saved << whole << "nothing" << false;
    QTest::newRow("saved form, head read, nothing") << saved << qint64(300) << "nothing" << false;
    QTest::newRow("saved form, changed") << saved << whole << "change" << true;
    QTest::newRow("saved form, head read, changed") << saved << qint64(300) << "change" << true;
    QTest::newRow("saved form, autosaved") << saved << whole << "autosave" << false;
    QTest::newRow("saved form, replaced") << saved << whole << "replace" << true;
    QTest::newRow("saved form, removed") << saved << whole << "remove" << true;
    QTest::newRow("LF line ends, nothing") << Entries(20, "\n") << whole << "nothing" << true;
    QTest::newRow("empty file, nothing") << QByteArray() << whole << "nothing" << false;
    QTest::newRow("missing, nothing") << missing << whole << "nothing" << true;
}

void tst_HistoryStore::exitWritesOnlyWhatIsNotOnDisk() {
    QFETCH(QByteArray, file);
    QFETCH(qint64, head);
    QFETCH(QString, then);
    QFETCH(bool, rewritten);
    if (file != "<missing>")
        QVERIFY(WriteBytes(Path(), file));
    Copy copy(Path());
    QVERIFY(copy.Load(head));
    QCOMPARE(copy.memo.Bytes(),
             EncodeHistoryText(DecodeHistoryBytes(file == "<missing>" ? QByteArray() : file)));
    if (then == QLatin1String("change")) {
        copy.Add(QStringLiteral("\n12/8/2026 8:00:00 AM\n1+1\n=\n2.00\n"));
    } else if (then == QLatin1String("autosave")) {
        copy.Add(QStringLiteral("typed\n"));
        QTRY_COMPARE_WITH_TIMEOUT(ReadBytes(Path()), copy.memo.Bytes(), 10000);
    } else if (then == QLatin1String("replace")) {
        QVERIFY(WriteBytes(Path() + QStringLiteral(".new"), "replaced\r\n"));
        QVERIFY(QFile::remove(Path()));
        QVERIFY(QFile::rename(Path() + QStringLiteral(".new"), Path()));
    } else if (then == QLatin1String("remove")) {
        QVERIFY(QFile::remove(Path()));
    }
    const FileStamp before = FileStamp::Of(Path());
    copy.store.SaveAtExit();
    QCOMPARE(FileStamp::Of(Path()) != before, rewritten);
    QCOMPARE(ReadBytes(Path()), copy.memo.Bytes());
    QVERIFY2(copy.errors.messages.isEmpty(), qPrintable(copy.errors.messages.join('|')));
    QVERIFY(SessionFiles(Path()).isEmpty());
}

// A history file there but unreadable (here a folder in its place) is reported at the load and
// never written over; the session's entries go to a session file once there are any, and the
// user is told its name once. An erase takes the history file back.
void tst_HistoryStore::unreadableFileIsNeverWrittenOver() {
    QVERIFY(QDir().mkpath(Path()));
    Copy copy(Path());
    QVERIFY(!copy.Load());
    QCOMPARE(copy.errors.messages, QStringList{QStringLiteral("Cannot open file ") + Path()});
    // Nothing to keep yet (the user typed and deleted again): no session file.
    copy.store.Changed();
    copy.store.SaveAtExit();
    QVERIFY(SessionFiles(Path()).isEmpty());
    QCOMPARE(copy.errors.messages.size(), 1);

    copy.Add(QStringLiteral("first\n"));
    QVERIFY(copy.SaveAndWait(true));
    const QStringList sessions = SessionFiles(Path());
    QCOMPARE(sessions.size(), 1);
    QCOMPARE(copy.store.Target(), sessions[0]);
    QCOMPARE(ReadBytes(sessions[0]), QByteArray("first\r\n"));
    QCOMPARE(copy.errors.messages.size(), 2);
    QVERIFY2(copy.errors.messages[1].contains(QStringLiteral("could not be read")) &&
                 copy.errors.messages[1].contains(sessions[0]) &&
                 copy.errors.messages[1].contains(Path()),
             qPrintable(copy.errors.messages[1]));
    copy.Add(QStringLiteral("second\n"));
    copy.store.SaveAtExit();
    QCOMPARE(ReadBytes(sessions[0]), QByteArray("second\r\nfirst\r\n"));
    QCOMPARE(copy.errors.messages.size(), 2); // told once
    QVERIFY(QFileInfo(Path()).isDir());

    // The user erases: the history file is the target again.
    QVERIFY(QDir().rmdir(Path()));
    copy.memo.text.clear();
    copy.store.Erase();
    QCOMPARE(ReadBytes(Path()), QByteArray());
    QCOMPARE(copy.store.Target(), Path());
    copy.Add(QStringLiteral("after\n"));
    copy.store.SaveAtExit();
    QCOMPARE(ReadBytes(Path()), QByteArray("after\r\n"));
    QCOMPARE(ReadBytes(sessions[0]), QByteArray("second\r\nfirst\r\n"));
    QCOMPARE(copy.errors.messages.size(), 2);
}

// Two copies on one folder (two sessions, two machines): the first owns the history file; the
// second reads it, is told, and keeps its entries in a session file, which its erase empties.
// Once the owner is gone the next copy owns the file again.
void tst_HistoryStore::secondCopyOnTheFolderKeepsItsEntriesApart() {
    QVERIFY(WriteBytes(Path(), "old\r\n"));
    auto first = std::make_unique<Copy>(Path());
    QVERIFY(first->Load());
    auto second = std::make_unique<Copy>(Path());
    QVERIFY(second->Load());
    QCOMPARE(second->memo.text, QStringLiteral("old\n"));
    QCOMPARE(second->errors.messages.size(), 1);
    QVERIFY2(second->errors.messages[0].contains(
                 QStringLiteral("is in use by another copy of Quantoria")) &&
                 second->errors.messages[0].contains(second->store.Target()),
             qPrintable(second->errors.messages[0]));
    QVERIFY(second->store.Target() != Path());

    first->Add(QStringLiteral("mine\n"));
    second->Add(QStringLiteral("theirs\n"));
    QVERIFY(second->SaveAndWait(true));
    QVERIFY(first->SaveAndWait(true));
    QCOMPARE(ReadBytes(Path()), QByteArray("mine\r\nold\r\n"));
    QCOMPARE(ReadBytes(second->store.Target()), QByteArray("theirs\r\nold\r\n"));

    // The second copy's erase empties its own file only.
    second->memo.text.clear();
    second->store.Erase();
    QCOMPARE(ReadBytes(second->store.Target()), QByteArray());
    QCOMPARE(ReadBytes(Path()), QByteArray("mine\r\nold\r\n"));
    second->store.SaveAtExit();
    first->store.SaveAtExit();
    QCOMPARE(ReadBytes(Path()), QByteArray("mine\r\nold\r\n"));
    QCOMPARE(first->errors.messages, QStringList());
    QCOMPARE(second->errors.messages.size(), 1);
    second.reset();
    first.reset();

    Copy third(Path());
    QVERIFY(third.Load());
    QCOMPARE(third.store.Target(), Path());
    QVERIFY(third.errors.messages.isEmpty());
}

// A failed save after a change is reported once; later failures are not, until a save succeeds.
// A failed save of an evaluation (not reported) is tried again by the autosave, which reports.
// Two copies that find the history held by a third, started within the same second, each keep
// their entries in a file of their own.
void tst_HistoryStore::copiesStartedTogetherKeepSessionFilesOfTheirOwn() {
    QVERIFY(WriteBytes(Path(), "old\r\n"));
    Copy owner(Path());
    QVERIFY(owner.Load());
    Copy second(Path());
    Copy third(Path());
    QVERIFY(second.Load());
    QVERIFY(third.Load());
    QVERIFY(second.store.Target() != third.store.Target());
    second.Add(QStringLiteral("second\n"));
    third.Add(QStringLiteral("third\n"));
    QVERIFY(second.SaveAndWait(true));
    QVERIFY(third.SaveAndWait(true));
    QCOMPARE(SessionFiles(Path()).size(), 2);
    QCOMPARE(ReadBytes(second.store.Target()), QByteArray("second\r\nold\r\n"));
    QCOMPARE(ReadBytes(third.store.Target()), QByteArray("third\r\nold\r\n"));
}

void tst_HistoryStore::failedSaveIsReportedOnceUntilOneSucceeds() {
    Copy copy(Path());
    QVERIFY(copy.Load());
    const QString failure = QStringLiteral("Cannot create file ") + Path();
    copy.Add(QStringLiteral("a\n"));
    QVERIFY(QDir().mkpath(Path())); // a folder took the file's place
    QVERIFY(copy.SaveAndWait(true));
    QCOMPARE(copy.errors.messages, QStringList{failure});
    copy.Add(QStringLiteral("b\n"));
    QVERIFY(copy.SaveAndWait(true));
    QCOMPARE(copy.errors.messages, QStringList{failure});

    QVERIFY(QDir().rmdir(Path()));
    QVERIFY(copy.SaveAndWait(true));
    QCOMPARE(ReadBytes(Path()), QByteArray("b\r\na\r\n"));
    QCOMPARE(copy.errors.messages.size(), 1);

    QVERIFY(QFile::remove(Path()));
    QVERIFY(QDir().mkpath(Path()));
    copy.Add(QStringLiteral("c\n"));
    QVERIFY(copy.SaveAndWait(false));
    QCOMPARE(copy.errors.messages.size(), 1); // not yet: the autosave tries again
    QTRY_COMPARE_WITH_TIMEOUT(copy.errors.messages.size(), 2, 10000);
    QCOMPARE(copy.errors.messages[1], failure);

    // The end of the program tries once more and raises.
    QVERIFY_THROWS_EXCEPTION(EFCreateError, copy.store.SaveAtExit());
    QVERIFY(QDir().rmdir(Path()));
    copy.store.SaveAtExit();
    QCOMPARE(ReadBytes(Path()), QByteArray("c\r\nb\r\na\r\n"));
    QCOMPARE(copy.errors.messages.size(), 2);
}

// The rest of a long history is copied to a private file shortly after the load, so a history
// file replaced or cut short in place later does not change what the end of the program writes.
void tst_HistoryStore::restIsCopiedBeforeTheFileIsReplaced() {
    const QByteArray bytes = Entries(400);
    QVERIFY(WriteBytes(Path(), bytes));
    Copy copy(Path());
    QVERIFY(copy.Load(1000));
    QVERIFY(!copy.memo.rest.IsEmpty());
    QVERIFY(!copy.memo.rest.file->IsPrivate());
    QTRY_VERIFY_WITH_TIMEOUT(copy.memo.rest.file->IsPrivate(), 10000);
    QVERIFY(WriteBytes(Path(), "cut\r\n")); // in place, as a shell's ">" does
    copy.store.SaveAtExit();
    QCOMPARE(ReadBytes(Path()), bytes);
    QVERIFY(copy.errors.messages.isEmpty());
}

QTEST_GUILESS_MAIN(tst_HistoryStore)
#include "tst_HistoryStore.moc"
