#include "Errors.h"
#include "HistoryFile.h"
#include "HistoryText.h"
#include "support/FileHelpers.h"
#include "support/HistoryEntries.h"

#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray Entries(int first, int count, const char* line = "\r\n") {
    return HistoryEntries(first, count, line);
}

// The text the memo shows for a whole file, and the bytes of a rest.
QString WholeText(const QByteArray& bytes) {
    return DecodeHistoryBytes(bytes);
}

QByteArray RestBytes(const HistoryRest& rest) {
    QByteArray bytes(rest.size, Qt::Uninitialized);
    if (rest.size &&
        ::pread(rest.file->Descriptor(), bytes.data(), size_t(rest.size), rest.offset) != rest.size)
        return "<unreadable>";
    return bytes;
}

// How saving is made to fail.
enum class SaveFailure {
    MissingFolder,
    PathIsFolder,
    ParentIsFile,
    ReadOnlyFolder, // not for root
    SizeLimit,
};

} // namespace

Q_DECLARE_METATYPE(SaveFailure)

// A history file read in parts and written back with the part not read.
class tst_HistoryFile : public QObject {
    Q_OBJECT
private slots:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }
    void cleanup() {
        QFile::setPermissions(m_dir->path(),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        m_dir.reset();
    }

    void loadReadsAHeadOnlyOfALongSavedFile_data();
    void loadReadsAHeadOnlyOfALongSavedFile();
    void restIsTakenInPieceByPiece();
    void saveWritesTextAndRestAsOneFile();
    void privateCopyIsNotChangedByWritesToTheFile();
    void restSurvivesTheFileBeingReplaced();
    void restCutShortIsAnErrorAndLosesNothing();

    void load_data();
    void load();
    void loadFailure_data();
    void loadFailure();
    void saveEmptyTextGivesEmptyFile();
    void largeHistoryRoundTrip();
    void saveFailureKeepsOldFile_data();
    void saveFailureKeepsOldFile();
    void savePermissionsKept();

private:
    QString Path() const { return m_dir->filePath(QStringLiteral("calc_history.txt")); }
    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_HistoryFile::loadReadsAHeadOnlyOfALongSavedFile_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<qint64>("head");
    QTest::addColumn<bool>("partly"); // read in part
    QTest::addColumn<bool>("savedForm");
    const QByteArray saved = Entries(1, 3000);
    QTest::newRow("saved form, head") << saved << qint64(4096) << true << true;
    QTest::newRow("saved form, no head asked") << saved << qint64(0) << false << true;
    QTest::newRow("saved form, shorter than the head")
        << saved << qint64(saved.size()) << false << true;
    QTest::newRow("LF line ends: whole")
        << Entries(1, 3000, "\n") << qint64(4096) << false << false;
    QTest::newRow("Windows-1252 at the very end: whole") << saved + "caf\xE9\r\n"
                                                         << qint64(4096) << false << false;
    QTest::newRow("lone CR at the very end: whole")
        << saved + "\r" << qint64(4096) << false << false;
    QTest::newRow("first line longer than the head: whole")
        << QByteArray(8000, 'x') + "\r\n" + saved << qint64(4096) << false << true;
}

void tst_HistoryFile::loadReadsAHeadOnlyOfALongSavedFile() {
    QFETCH(QByteArray, bytes);
    QFETCH(qint64, head);
    QFETCH(bool, partly);
    QFETCH(bool, savedForm);
    QVERIFY(WriteBytes(Path(), bytes));
    LoadedHistory loaded = LoadHistoryFile(Path(), head);
    QVERIFY(loaded.exists);
    QCOMPARE(loaded.savedForm, savedForm);
    QCOMPARE(!loaded.rest.IsEmpty(), partly);
    if (partly) {
        const QByteArray text = EncodeHistoryText(loaded.text);
        QVERIFY(text.size() <= head);
        QVERIFY(text.size() > head / 2);
        QVERIFY2(text.endsWith(".00\r\n"), "the head ends between two entries");
        QCOMPARE(text + RestBytes(loaded.rest), bytes);
    }
    QCOMPARE(loaded.text + TakeHistoryRest(loaded.rest, -1), WholeText(bytes));
}

void tst_HistoryFile::restIsTakenInPieceByPiece() {
    const QByteArray bytes = Entries(1, 2000);
    QVERIFY(WriteBytes(Path(), bytes));
    LoadedHistory loaded = LoadHistoryFile(Path(), 1000);
    QString text = loaded.text;
    int pieces = 0;
    while (!loaded.rest.IsEmpty()) {
        const qint64 before = loaded.rest.size;
        const QString piece = TakeHistoryRest(loaded.rest, 1000);
        QVERIFY(!piece.isEmpty());
        QCOMPARE(loaded.rest.size, before - EncodeHistoryText(piece).size());
        if (!loaded.rest.IsEmpty())
            QVERIFY2(piece.endsWith(QStringLiteral(".00\n")), qPrintable(piece.right(20)));
        text += piece;
        ++pieces;
    }
    QVERIFY(pieces > 50);
    QCOMPARE(text, WholeText(bytes));
    QVERIFY(loaded.rest.file == nullptr); // an empty rest holds no file open
}

void tst_HistoryFile::saveWritesTextAndRestAsOneFile() {
    const QByteArray bytes = Entries(1, 3000);
    QVERIFY(WriteBytes(Path(), bytes));
    LoadedHistory loaded = LoadHistoryFile(Path(), 4096);
    const QString top = QStringLiteral("\nnewest\nx\n=\n1.00\n") + loaded.text;
    SaveHistoryFile(Path(), top, loaded.rest);
    QCOMPARE(ReadBytes(Path()), EncodeHistoryText(top) + RestBytes(loaded.rest));
    // An empty text and rest: a file of 0 bytes.
    SaveHistoryFile(Path(), QString(), {});
    QCOMPARE(ReadBytes(Path()), QByteArray());
}

void tst_HistoryFile::privateCopyIsNotChangedByWritesToTheFile() {
    const QByteArray bytes = Entries(1, 3000);
    QVERIFY(WriteBytes(Path(), bytes));
    LoadedHistory loaded = LoadHistoryFile(Path(), 4096);
    const QByteArray rest = RestBytes(loaded.rest);
    const HistoryRest copy = PrivateCopy(loaded.rest, m_dir->path());
    QVERIFY(copy.file->IsPrivate());
    QCOMPARE(copy.offset, 0);
    QCOMPARE(RestBytes(copy), rest);
    QCOMPARE(FolderEntries(m_dir->path()), QStringList(QStringLiteral("calc_history.txt")));
    // The file written over in place: the read rest changes, the copy does not.
    QVERIFY(WriteBytes(Path(), QByteArray(bytes.size(), 'z')));
    QVERIFY(RestBytes(loaded.rest) != rest);
    QCOMPARE(RestBytes(copy), rest);
    QCOMPARE(PrivateCopy(copy, m_dir->path()).file, copy.file); // copied once
}

void tst_HistoryFile::restSurvivesTheFileBeingReplaced() {
    const QByteArray bytes = Entries(1, 3000);
    QVERIFY(WriteBytes(Path(), bytes));
    LoadedHistory loaded = LoadHistoryFile(Path(), 4096);
    const QByteArray rest = RestBytes(loaded.rest);
    // Someone else replaces the file, then removes it: the rest read at start is still there.
    QVERIFY(WriteBytes(Path() + QStringLiteral(".new"), "other"));
    QVERIFY(QFile::remove(Path()));
    QVERIFY(QFile::rename(Path() + QStringLiteral(".new"), Path()));
    QVERIFY(QFile::remove(Path()));
    SaveHistoryFile(Path(), loaded.text, loaded.rest);
    QCOMPARE(ReadBytes(Path()), bytes);
    QCOMPARE(RestBytes(loaded.rest), rest);
}

void tst_HistoryFile::restCutShortIsAnErrorAndLosesNothing() {
    const QByteArray bytes = Entries(1, 3000);
    QVERIFY(WriteBytes(Path(), bytes));
    LoadedHistory loaded = LoadHistoryFile(Path(), 4096);
    const HistoryRest before = loaded.rest;
    // The same file cut short in place, as an editor writing over it might leave it.
    QVERIFY(::truncate(QFile::encodeName(Path()).constData(), 6000) == 0);
    const QString other = m_dir->filePath(QStringLiteral("other.txt"));
    QVERIFY(WriteBytes(other, "kept\r\n"));
    QVERIFY_THROWS_EXCEPTION(EWriteError, SaveHistoryFile(other, loaded.text, loaded.rest));
    QCOMPARE(ReadBytes(other), QByteArray("kept\r\n"));
    QCOMPARE(FolderEntries(m_dir->path()),
             QStringList({QStringLiteral("calc_history.txt"), QStringLiteral("other.txt")}));
    QVERIFY_THROWS_EXCEPTION(EReadError, TakeHistoryRest(loaded.rest, -1));
    QCOMPARE(loaded.rest.offset, before.offset);
    QCOMPARE(loaded.rest.size, before.size);
}

void tst_HistoryFile::load_data() {
    QTest::addColumn<bool>("present");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");

    QTest::newRow("missing file") << false << QByteArray() << QString();
    QTest::newRow("0 bytes") << true << QByteArray() << QString();
    QTest::newRow("entries") << true
                             << QByteArray("\r\n12/8/2026 7:10:00 AM\r\n1+1\r\n=\r\n2.00\r\n"
                                           "\r\n12/8/2026 7:09:00 AM\r\n2\x80\r\n=\r\n")
                             << QStringLiteral("\n12/8/2026 7:10:00 AM\n1+1\n=\n2.00\n"
                                               "\n12/8/2026 7:09:00 AM\n2\u20AC\n=\n");
}

void tst_HistoryFile::load() {
    QFETCH(bool, present);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    if (present)
        QVERIFY(WriteBytes(Path(), bytes));
    const LoadedHistory history = LoadHistoryFile(Path());
    QCOMPARE(history.exists, present);
    QCOMPARE(history.text, text);
}

void tst_HistoryFile::loadFailure_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("folder") << "folder";
    QTest::newRow("I/O error while reading") << "io";
    QTest::newRow("no read permission") << "permission";
}

void tst_HistoryFile::loadFailure() {
    QFETCH(QString, kind);
    QString path = Path();
    if (kind == QLatin1String("folder")) {
        QVERIFY(QDir().mkdir(path));
    } else if (kind == QLatin1String("io")) {
        // Opens, then every read fails with EIO: nothing is mapped at address 0.
        path = QStringLiteral("/proc/self/mem");
        if (!QFile::exists(path))
            QSKIP("no /proc/self/mem here");
    } else {
        QVERIFY(WriteBytes(path, "1+1"));
        QVERIFY(QFile::setPermissions(path, QFile::WriteOwner));
        if (QFile(path).open(QIODevice::ReadOnly))
            QSKIP("permissions do not stop this user (root)");
    }
    try {
        LoadHistoryFile(path);
        QFAIL("the load did not fail");
    } catch (const EFOpenError& e) {
        QCOMPARE(e.Message(), QStringLiteral("Cannot open file ") + path);
    }
}

void tst_HistoryFile::saveEmptyTextGivesEmptyFile() {
    QVERIFY(WriteBytes(Path(), "\r\nold\r\n"));
    SaveHistoryFile(Path(), QString());
    QVERIFY(QFileInfo(Path()).isFile());
    QCOMPARE(QFileInfo(Path()).size(), 0);
    const LoadedHistory history = LoadHistoryFile(Path());
    QVERIFY(history.exists);
    QVERIFY(history.text.isEmpty());
}

void tst_HistoryFile::largeHistoryRoundTrip() {
    // Over 2 MB of entries, newest first as the memo keeps them, with non-ASCII results; the file
    // form is built alongside, independently of the code under test.
    QString text;
    QByteArray file;
    for (int i = 0; file.size() < 2 * 1024 * 1024; ++i) {
        const QString entry =
            QStringLiteral("\n12/8/2026 7:%1:00 AM\n(12+%2)*3\n=\n%3\u00A0\u20AC\n")
                .arg(i % 60, 2, 10, QLatin1Char('0'))
                .arg(i)
                .arg((12 + i) * 3);
        text += entry;
        QByteArray bytes = entry.toUtf8();
        bytes.replace("\n", "\r\n");
        file += bytes;
    }
    SaveHistoryFile(Path(), text);
    QCOMPARE(ReadBytes(Path()), file);
    const LoadedHistory history = LoadHistoryFile(Path());
    QVERIFY(history.exists);
    QCOMPARE(history.text, text);
}

void tst_HistoryFile::saveFailureKeepsOldFile_data() {
    QTest::addColumn<SaveFailure>("failure");
    QTest::newRow("missing folder") << SaveFailure::MissingFolder;
    QTest::newRow("path is a folder") << SaveFailure::PathIsFolder;
    QTest::newRow("parent is a regular file") << SaveFailure::ParentIsFile;
    QTest::newRow("read-only folder") << SaveFailure::ReadOnlyFolder;
    QTest::newRow("file size limit") << SaveFailure::SizeLimit;
}

void tst_HistoryFile::saveFailureKeepsOldFile() {
    QFETCH(SaveFailure, failure);
    const QByteArray old("\r\n12/8/2026 7:10:00 AM\r\n1+1\r\n=\r\n2.00\r\n");
    const QString folder = m_dir->path();
    QString path = Path();
    QString oldFile = path;
    switch (failure) {
    case SaveFailure::MissingFolder:
        oldFile = m_dir->filePath(QStringLiteral("other"));
        path = m_dir->filePath(QStringLiteral("missing/calc_history.txt"));
        break;
    case SaveFailure::PathIsFolder:
        QVERIFY(QDir().mkdir(path));
        oldFile = path + QStringLiteral("/inside");
        break;
    case SaveFailure::ParentIsFile:
        oldFile = m_dir->filePath(QStringLiteral("history"));
        path = oldFile + QStringLiteral("/calc_history.txt");
        break;
    default:
        break;
    }
    QVERIFY(WriteBytes(oldFile, old));
    const QStringList entries = FolderEntries(folder);
    if (failure == SaveFailure::ReadOnlyFolder) {
        QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
        if (CanCreateFilesIn(folder))
            QSKIP("permissions do not stop this user (root)");
    }

    if (failure == SaveFailure::SizeLimit) {
        // Texts below and above the size of QFileDevice's write buffer.
        for (const qsizetype size : {1000, 100000}) {
            try {
                const FileSizeLimit limit(64);
                SaveHistoryFile(path, QString(size, QLatin1Char('7')));
                QFAIL("the save did not fail");
            } catch (const EWriteError& e) {
                QCOMPARE(e.Message(), QStringLiteral("Unable to write to ") + path);
            }
        }
    } else {
        const QString text = QStringLiteral("\n12/8/2026 7:10:00 AM\n1+1\n=\n2.00\n");
        try {
            SaveHistoryFile(path, text);
            QFAIL("the save did not fail");
        } catch (const EFCreateError& e) {
            QCOMPARE(e.Message(), QStringLiteral("Cannot create file ") + path);
        }
    }

    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCOMPARE(ReadBytes(oldFile), old);
    QCOMPARE(FolderEntries(folder), entries);
}

void tst_HistoryFile::savePermissionsKept() {
    QVERIFY(WriteBytes(Path(), "old"));
    QVERIFY(::chmod(QFile::encodeName(Path()).constData(), 0600) == 0);
    SaveHistoryFile(Path(), QStringLiteral("new\n"));
    struct stat status {};
    QVERIFY(::stat(QFile::encodeName(Path()).constData(), &status) == 0);
    QCOMPARE(status.st_mode & 07777, mode_t(0600));
    QCOMPARE(ReadBytes(Path()), QByteArray("new\r\n"));
}

QTEST_GUILESS_MAIN(tst_HistoryFile)
#include "tst_HistoryFile.moc"
