#include "Errors.h"
#include "SettingsFile.h"
#include "support/FileHelpers.h"

#include <QDateTime>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

Q_DECLARE_METATYPE(Settings)

namespace {

// Precision, comma, startup, history shown.
Settings Values(int precision, bool comma, bool startup, bool displayHistory) {
    return Settings{precision, comma, startup, displayHistory};
}

const QByteArray kMissing = "<missing>";
const QByteArray kDefaultsWritten = "[Config]\nPrec=2\nComma=1\nStartup=1\nDisplayHistory=1\n";

} // namespace

namespace QTest {
template <> char* toString(const Settings& values) {
    return qstrdup(QStringLiteral("Prec %1, Comma %2, Startup %3, DisplayHistory %4")
                       .arg(values.precision)
                       .arg(values.comma)
                       .arg(values.startup)
                       .arg(values.displayHistory)
                       .toUtf8()
                       .constData());
}
} // namespace QTest

// The settings file: what a file reads as, and the bytes a save of those values leaves.
class tst_SettingsFile : public QObject {
    Q_OBJECT
private slots:
    void init() { m_dir = std::make_unique<QTemporaryDir>(); }

    void roundTrip_data();
    void roundTrip();
    void saveWritesValuesAsGiven_data();
    void saveWritesValuesAsGiven();
    void fileThatIsNoFileReadsAsDefaultsAndIsNotReplaced_data();
    void fileThatIsNoFileReadsAsDefaultsAndIsNotReplaced();
    void loadRemovesALeftoverOfACutShortSave();

private:
    QString Path() const { return m_dir->filePath(QStringLiteral("calc_config.ini")); }
    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_SettingsFile::roundTrip_data() {
    QTest::addColumn<QByteArray>("before"); // kMissing: no file
    QTest::addColumn<Settings>("read");
    QTest::addColumn<QByteArray>("after"); // the file after saving what was read

    QTest::newRow("missing file") << kMissing << Values(2, true, true, true) << kDefaultsWritten;
    QTest::newRow("empty file") << QByteArray() << Values(2, true, true, true) << kDefaultsWritten;
    QTest::newRow("every key") << QByteArray("[Config]\nPrec=4\nComma=0\nStartup=0\n"
                                             "DisplayHistory=0\n")
                               << Values(4, false, false, false)
                               << QByteArray("[Config]\nPrec=4\nComma=0\nStartup=0\n"
                                             "DisplayHistory=0\n");
    QTest::newRow("missing keys go after the section's last key")
        << QByteArray("[Config]\r\nComma=0\r\n") << Values(2, false, true, true)
        << QByteArray("[Config]\r\nComma=0\r\nPrec=2\r\nStartup=1\r\nDisplayHistory=1\r\n");
    QTest::newRow("missing section goes at the end after a blank line")
        << QByteArray("[Window]\nLeft=3\n") << Values(2, true, true, true)
        << QByteArray("[Window]\nLeft=3\n\n") + kDefaultsWritten;
    QTest::newRow("keys outside the section are not read")
        << QByteArray("Prec=5\n[Other]\nComma=0\n") << Values(2, true, true, true)
        << QByteArray("Prec=5\n[Other]\nComma=0\n\n") + kDefaultsWritten;
    QTest::newRow("precision above 9")
        << QByteArray("[Config]\nPrec=15\n") << Values(9, true, true, true)
        << QByteArray("[Config]\nPrec=9\nComma=1\nStartup=1\n"
                      "DisplayHistory=1\n");
    QTest::newRow("negative precision")
        << QByteArray("[Config]\nPrec=-3\n") << Values(0, true, true, true)
        << QByteArray("[Config]\nPrec=0\nComma=1\nStartup=1\n"
                      "DisplayHistory=1\n");
    QTest::newRow("precision beyond the int range")
        << QByteArray("[Config]\nPrec=99999999999\n") << Values(2, true, true, true)
        << kDefaultsWritten;
    QTest::newRow("damaged values") << QByteArray("[Config]\nPrec=abc\nComma=yes\nStartup=\n"
                                                  "DisplayHistory=1x\n")
                                    << Values(2, true, true, true) << kDefaultsWritten;
    QTest::newRow("signs") << QByteArray("[Config]\nPrec=+3\nComma=-1\n")
                           << Values(3, true, true, true)
                           << QByteArray("[Config]\nPrec=3\nComma=1\nStartup=1\n"
                                         "DisplayHistory=1\n");
    QTest::newRow("hex values") << QByteArray("[Config]\nPrec=0x5\nComma=0X0\nStartup=0x10\n"
                                              "DisplayHistory=0x\n")
                                << Values(5, false, true, true)
                                << QByteArray("[Config]\nPrec=5\nComma=0\nStartup=1\n"
                                              "DisplayHistory=1\n");
    QTest::newRow("hex precision above 9")
        << QByteArray("[Config]\nPrec=0X1f\n") << Values(9, true, true, true)
        << QByteArray("[Config]\nPrec=9\nComma=1\nStartup=1\n"
                      "DisplayHistory=1\n");
    QTest::newRow("any integer but 0 is true")
        << QByteArray("[Config]\nComma=7\nStartup=00\n") << Values(2, true, false, true)
        << QByteArray("[Config]\nComma=1\nStartup=0\n"
                      "Prec=2\nDisplayHistory=1\n");
    QTest::newRow("odd letter case, spelling kept")
        << QByteArray("[config]\ncomma=0\nPREC=4\ndisplayhistory=0\n")
        << Values(4, false, true, false)
        << QByteArray("[config]\ncomma=0\nPREC=4\ndisplayhistory=0\nStartup=1\n");
    QTest::newRow("blanks and quotes")
        << QByteArray("[ Config ]\n  Prec \t= \"7\" \n") << Values(7, true, true, true)
        << QByteArray("[ Config ]\n  Prec \t= 7\nComma=1\n"
                      "Startup=1\nDisplayHistory=1\n");
    QTest::newRow("other sections, keys and comments kept")
        << QByteArray("; mine\r\n[Other]\r\nx=1\r\n[Config]\r\nPrec=3\r\nExtra=y\r\n\r\n"
                      "[Last]\r\nz=2")
        << Values(3, true, true, true)
        << QByteArray("; mine\r\n[Other]\r\nx=1\r\n[Config]\r\nPrec=3\r\nExtra=y\r\nComma=1\r\n"
                      "Startup=1\r\nDisplayHistory=1\r\n\r\n[Last]\r\nz=2");
    QTest::newRow("only the first section of the name counts")
        << QByteArray("[Config]\nPrec=3\n[Config]\nComma=0\n") << Values(3, true, true, true)
        << QByteArray("[Config]\nPrec=3\nComma=1\nStartup=1\nDisplayHistory=1\n"
                      "[Config]\nComma=0\n");
    QTest::newRow("first of a repeated key counts")
        << QByteArray("[Config]\nPrec=3\nPrec=8\n") << Values(3, true, true, true)
        << QByteArray("[Config]\nPrec=3\nPrec=8\nComma=1\nStartup=1\nDisplayHistory=1\n");
    QTest::newRow("byte order mark kept")
        << QByteArray("\xEF\xBB\xBF[Config]\nPrec=6\n") << Values(6, true, true, true)
        << QByteArray("\xEF\xBB\xBF[Config]\nPrec=6\nComma=1\n"
                      "Startup=1\nDisplayHistory=1\n");
    QTest::newRow("binary garbage kept, section added")
        << QByteArray("\x00\xff[Config\x01\nPrec=\x80", 17) << Values(2, true, true, true)
        << QByteArray("\x00\xff[Config\x01\nPrec=\x80\n\n", 19) + kDefaultsWritten;
}

void tst_SettingsFile::roundTrip() {
    QFETCH(QByteArray, before);
    QFETCH(Settings, read);
    QFETCH(QByteArray, after);
    if (before != kMissing)
        QVERIFY(WriteBytes(Path(), before));
    const Settings values = SettingsFile::Load(Path());
    QCOMPARE(values, read);
    SettingsFile::Save(Path(), values);
    QCOMPARE(ReadBytes(Path()), after);
    // What was written reads back as the same values, and saves as the same bytes.
    QCOMPARE(SettingsFile::Load(Path()), read);
    SettingsFile::Save(Path(), read);
    QCOMPARE(ReadBytes(Path()), after);
    QCOMPARE(FolderEntries(m_dir->path()), QStringList{QStringLiteral("calc_config.ini")});
}

// The window saves the precision box's text as typed, which may lie outside 0 to 9 until the box
// is left; the next load brings it back into range.
void tst_SettingsFile::saveWritesValuesAsGiven_data() {
    QTest::addColumn<Settings>("values");
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<Settings>("readBack");
    QTest::newRow("defaults") << SettingsFile::Defaults() << kDefaultsWritten
                              << Values(2, true, true, true);
    QTest::newRow("all off") << Values(0, false, false, false)
                             << QByteArray("[Config]\nPrec=0\nComma=0\nStartup=0\n"
                                           "DisplayHistory=0\n")
                             << Values(0, false, false, false);
    QTest::newRow("typed 12") << Values(12, true, false, true)
                              << QByteArray("[Config]\nPrec=12\nComma=1\nStartup=0\n"
                                            "DisplayHistory=1\n")
                              << Values(9, true, false, true);
    QTest::newRow("typed -5") << Values(-5, false, true, false)
                              << QByteArray("[Config]\nPrec=-5\nComma=0\nStartup=1\n"
                                            "DisplayHistory=0\n")
                              << Values(0, false, true, false);
}

void tst_SettingsFile::saveWritesValuesAsGiven() {
    QFETCH(Settings, values);
    QFETCH(QByteArray, written);
    QFETCH(Settings, readBack);
    SettingsFile::Save(Path(), values);
    QCOMPARE(ReadBytes(Path()), written);
    QCOMPARE(SettingsFile::Load(Path()), readBack);
}

// Reading never fails and never waits; a save that cannot replace the file says so and leaves
// whatever is there alone.
void tst_SettingsFile::fileThatIsNoFileReadsAsDefaultsAndIsNotReplaced_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("folder") << "folder";
    QTest::newRow("FIFO") << "fifo";
}

void tst_SettingsFile::fileThatIsNoFileReadsAsDefaultsAndIsNotReplaced() {
    QFETCH(QString, kind);
    if (kind == QLatin1String("folder"))
        QVERIFY(QDir().mkpath(Path()));
    else
        QCOMPARE(::mkfifo(QFile::encodeName(Path()).constData(), 0600), 0);
    QCOMPARE(SettingsFile::Load(Path()), SettingsFile::Defaults());
    QString message;
    try {
        SettingsFile::Save(Path(), Values(4, false, false, false));
    } catch (const EIniFileException& e) {
        message = e.Message();
    }
    QCOMPARE(message, QStringLiteral("Unable to write to ") + Path());
    struct stat info {};
    QCOMPARE(::lstat(QFile::encodeName(Path()).constData(), &info), 0);
    QVERIFY(kind == QLatin1String("folder") ? S_ISDIR(info.st_mode) : S_ISFIFO(info.st_mode));
    QCOMPARE(FolderEntries(m_dir->path()), QStringList{QStringLiteral("calc_config.ini")});
}

// A save killed between writing its temporary file and renaming it leaves "<name>.XXXXXX"; the
// next start removes it once it is old enough not to be another copy's save under way.
void tst_SettingsFile::loadRemovesALeftoverOfACutShortSave() {
    const QString old = Path() + QStringLiteral(".Ab3xYz");
    const QString young = Path() + QStringLiteral(".Cd4uVw");
    QVERIFY(WriteBytes(old, "[Config]\nPrec=3\n"));
    QVERIFY(WriteBytes(young, "[Config]\nPrec=3\n"));
    QFile file(old);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(-3600),
                             QFileDevice::FileModificationTime));
    file.close();
    QCOMPARE(SettingsFile::Load(Path()), SettingsFile::Defaults());
    QVERIFY(!QFile::exists(old));
    QVERIFY(QFile::exists(young));
}

QTEST_GUILESS_MAIN(tst_SettingsFile)
#include "tst_SettingsFile.moc"
