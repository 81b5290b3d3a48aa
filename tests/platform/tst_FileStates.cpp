// The program's files are read and written only when they are what they claim: a regular file
// of this user, or a symbolic link that may be followed to one.
#include "AtomicFile.h"
#include "Errors.h"
#include "HistoryFile.h"
#include "HistoryText.h"
#include "support/FileHelpers.h"
#include "support/KeyedProfile.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr uid_t kOtherUser = 65534; // nobody

QByteArray Name(const QString& path) {
    return QFile::encodeName(path);
}

} // namespace

class tst_FileStates : public QObject {
    Q_OBJECT
private slots:
    void states_data();
    void states();
    void followedLinkReplacesItsTarget();
    void leftoverTemporariesAreRemoved();
    void rangeIsCopiedAfterTheBytes_data();
    void rangeIsCopiedAfterTheBytes();

private:
    // Makes the state named `state` at dir/file; returns what must be true of it afterwards.
    static void Make(const QString& state, const QString& dir, const QString& file) {
        const QByteArray path = Name(file);
        if (state == "missing") {
        } else if (state == "regular") {
            QVERIFY(WriteBytes(file, "[Config]\nPrec=4\n"));
        } else if (state == "fifo") {
            QCOMPARE(::mkfifo(path.constData(), 0600), 0);
        } else if (state == "folder") {
            QVERIFY(QDir().mkdir(file));
        } else if (state == "socket") {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            qstrncpy(address.sun_path, path.constData(), sizeof address.sun_path);
            QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
            ::close(fd);
        } else if (state == "dangling link") {
            QCOMPARE(::symlink(Name(dir + "/nowhere").constData(), path.constData()), 0);
        } else if (state == "link of another user") {
            QVERIFY(WriteBytes(dir + "/victim", "[Config]\nPrec=4\n"));
            QCOMPARE(::symlink(Name(dir + "/victim").constData(), path.constData()), 0);
            if (::lchown(path.constData(), kOtherUser, kOtherUser) != 0)
                QSKIP("cannot give a link to another user (not root)");
        } else if (state == "file of another user") {
            QVERIFY(WriteBytes(file, "[Config]\nPrec=4\n"));
            if (::chown(path.constData(), kOtherUser, kOtherUser) != 0)
                QSKIP("cannot give a file to another user (not root)");
        } else if (state == "own link") {
            QVERIFY(WriteBytes(dir + "/target", "[Config]\nPrec=4\n"));
            QCOMPARE(::symlink(Name(dir + "/target").constData(), path.constData()), 0);
        }
    }
};

void tst_FileStates::states_data() {
    QTest::addColumn<QString>("state");
    QTest::addColumn<int>("read");  // FileAt::Kind for reading
    QTest::addColumn<int>("write"); // FileAt::Kind for writing
    QTest::newRow("missing") << "missing" << int(FileAt::Missing) << int(FileAt::Missing);
    QTest::newRow("regular") << "regular" << int(FileAt::Regular) << int(FileAt::Regular);
    QTest::newRow("fifo") << "fifo" << int(FileAt::Refused) << int(FileAt::Refused);
    QTest::newRow("folder") << "folder" << int(FileAt::Refused) << int(FileAt::Refused);
    QTest::newRow("socket") << "socket" << int(FileAt::Refused) << int(FileAt::Refused);
    QTest::newRow("dangling link")
        << "dangling link" << int(FileAt::Refused) << int(FileAt::Refused);
    QTest::newRow("link of another user")
        << "link of another user" << int(FileAt::Refused) << int(FileAt::Refused);
    QTest::newRow("file of another user")
        << "file of another user" << int(FileAt::Regular) << int(FileAt::Refused);
    QTest::newRow("own link") << "own link" << int(FileAt::Regular) << int(FileAt::Regular);
}

// Each state: what InspectFile says, that reading and writing never block, that a refused file is
// neither read nor written (the history gives its message, the settings their defaults and, on
// writing, their message), and that nothing changes hands or comes into being behind a link.
void tst_FileStates::states() {
    QFETCH(QString, state);
    QFETCH(int, read);
    QFETCH(int, write);
    QTemporaryDir dir;
    const QString file = dir.path() + "/calc_config.ini";
    Make(state, dir.path(), file);

    QCOMPARE(int(InspectFile(file, false).kind), read);
    QCOMPARE(int(InspectFile(file, true).kind), write);

    QElapsedTimer timer;
    timer.start();
    // Reading: the settings fall back to their defaults, the history reports the file.
    QCOMPARE(KeyedProfile(file).ReadInteger("Config", "Prec", 2), read == FileAt::Regular ? 4 : 2);
    bool historyFailed = false;
    try {
        LoadHistoryFile(file);
    } catch (const EFOpenError& e) {
        historyFailed = true;
        QCOMPARE(e.Message(), "Cannot open file " + file);
    }
    QCOMPARE(historyFailed, read == FileAt::Refused);

    // Writing.
    bool writeFailed = false;
    try {
        KeyedProfile(file).WriteInteger("Config", "Prec", 7);
    } catch (const EIniFileException& e) {
        writeFailed = true;
        QCOMPARE(e.Message(), "Unable to write to " + file);
    }
    QCOMPARE(writeFailed, write == FileAt::Refused);
    QVERIFY2(timer.elapsed() < 5000, "a read or a write waited");

    struct stat after {};
    if (state == "dangling link")
        QVERIFY(!QFile::exists(dir.path() + "/nowhere"));
    if (state == "link of another user") {
        QCOMPARE(ReadBytes(dir.path() + "/victim"), QByteArray("[Config]\nPrec=4\n"));
    }
    if (state == "file of another user") {
        QCOMPARE(::stat(Name(file).constData(), &after), 0);
        QCOMPARE(after.st_uid, kOtherUser);
    }
    if (state == "fifo" || state == "socket" || state == "folder") {
        QCOMPARE(::lstat(Name(file).constData(), &after), 0);
        QVERIFY(!S_ISREG(after.st_mode));
    }
}

void tst_FileStates::followedLinkReplacesItsTarget() {
    QTemporaryDir dir;
    const QString file = dir.path() + "/calc_history.txt";
    QVERIFY(WriteBytes(dir.path() + "/target", "old"));
    QCOMPARE(::symlink(Name(dir.path() + "/target").constData(), Name(file).constData()), 0);
    QCOMPARE(WriteFileAtomically(file, "new"), AtomicWrite::Done);
    struct stat link {};
    QCOMPARE(::lstat(Name(file).constData(), &link), 0);
    QVERIFY(S_ISLNK(link.st_mode));
    QCOMPARE(ReadBytes(dir.path() + "/target"), QByteArray("new"));
}

// A save cut short between naming its temporary file and the rename leaves "<name>.XXXXXX": old
// ones go, a young one (another copy saving now), other names and folders stay.
void tst_FileStates::leftoverTemporariesAreRemoved() {
    QTemporaryDir dir;
    const QString file = dir.path() + "/calc_history.txt";
    const auto age = [](const QString& path, int seconds) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadWrite));
        QVERIFY(f.setFileTime(QDateTime::currentDateTime().addSecs(-seconds),
                              QFileDevice::FileModificationTime));
    };
    QVERIFY(WriteBytes(file, "kept"));
    QVERIFY(WriteBytes(file + ".Ab3xYz", "old leftover"));
    age(file + ".Ab3xYz", 3600);
    QVERIFY(WriteBytes(file + ".Qq1Ww2", "a save under way"));
    QVERIFY(WriteBytes(file + ".bak", "not ours"));
    age(file + ".bak", 3600);
    QVERIFY(WriteBytes(dir.path() + "/calc_config.ini.Ab3xYz", "another file's"));
    age(dir.path() + "/calc_config.ini.Ab3xYz", 3600);
    QVERIFY(QDir().mkdir(file + ".Fold3r"));
    QCOMPARE(RemoveLeftoverTemporaries(file), 1);
    QVERIFY(!QFile::exists(file + ".Ab3xYz"));
    for (const QString& kept : {file, file + ".Qq1Ww2", file + ".bak", file + ".Fold3r",
                                dir.path() + "/calc_config.ini.Ab3xYz"})
        QVERIFY2(QFileInfo::exists(kept), qPrintable(kept));
}

void tst_FileStates::rangeIsCopiedAfterTheBytes_data() {
    QTest::addColumn<bool>("otherFileSystem"); // the kernel cannot copy: through a buffer
    QTest::addColumn<qint64>("sourceSize");
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("written");
    for (const bool other : {false, true}) {
        const char* where = other ? "another file system, " : "same folder, ";
        QTest::addRow("%ssmall", where) << other << qint64(100) << qint64(7) << qint64(90) << true;
        QTest::addRow("%slarger than the buffer", where)
            << other << qint64(3 << 20) << qint64(5) << qint64((3 << 20) - 5) << true;
        QTest::addRow("%scut short", where)
            << other << qint64(3 << 20) << qint64(5) << qint64(3 << 20) << false;
    }
}

// A save writes its text followed by a range of another file (the part of a long history not
// read), copied in the kernel where it can and through a buffer where it cannot.
void tst_FileStates::rangeIsCopiedAfterTheBytes() {
    QFETCH(bool, otherFileSystem);
    QFETCH(qint64, sourceSize);
    QFETCH(qint64, offset);
    QFETCH(qint64, size);
    QFETCH(bool, written);
    QTemporaryDir dir;
    std::unique_ptr<QTemporaryDir> elsewhere;
    QString sourceFolder = dir.path();
    if (otherFileSystem) {
        elsewhere = std::make_unique<QTemporaryDir>(QStringLiteral("/dev/shm/quantoria-XXXXXX"));
        struct stat here {
        }, there{};
        if (!elsewhere->isValid() || ::stat(Name(dir.path()).constData(), &here) != 0 ||
            ::stat(Name(elsewhere->path()).constData(), &there) != 0 || here.st_dev == there.st_dev)
            QSKIP("no other file system at /dev/shm");
        sourceFolder = elsewhere->path();
    }
    QByteArray source(sourceSize, Qt::Uninitialized);
    for (qint64 i = 0; i < sourceSize; ++i)
        source[i] = char('a' + i % 23);
    QVERIFY(WriteBytes(sourceFolder + "/rest", source));
    const int fd = ::open(Name(sourceFolder + "/rest").constData(), O_RDONLY | O_CLOEXEC);
    QVERIFY(fd >= 0);
    const QString file = dir.path() + "/calc_history.txt";
    QVERIFY(WriteBytes(file, "old"));
    const AtomicWrite result = WriteFileAtomically(file, "head\r\n", {fd, offset, size});
    ::close(fd);
    QCOMPARE(result == AtomicWrite::Done, written);
    QCOMPARE(ReadBytes(file), written ? "head\r\n" + source.mid(offset, size) : QByteArray("old"));
    QCOMPARE(QDir(dir.path())
                 .entryList({QStringLiteral("calc_history.txt*")}, QDir::Files | QDir::Hidden),
             QStringList(QStringLiteral("calc_history.txt")));
}

QTEST_GUILESS_MAIN(tst_FileStates)
#include "tst_FileStates.moc"
