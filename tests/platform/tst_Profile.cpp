#include "Errors.h"
#include "support/FileHelpers.h"
#include "support/KeyedProfile.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <limits>
#include <memory>
#include <sys/stat.h>

namespace {

const QString kDefault = QStringLiteral("<default>");

// How a write is made to fail.
enum class Failure {
    ParentIsFile,   // a regular file where the folder should be
    PathIsFolder,   // a folder where the file should be
    MissingFolder,  // the folder does not exist
    SizeLimit,      // the file size limit stops the temporary file
    ReadOnlyFolder, // no write permission on the folder (not for root)
    UnreadableFile, // the old file cannot be read, so it is not replaced (not for root)
};

} // namespace

Q_DECLARE_METATYPE(Failure)

class tst_Profile : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void readString_data();
    void readString();
    void readInteger_data();
    void readInteger();
    void readBool_data();
    void readBool();
    void longValueIsCut_data();
    void longValueIsCut();
    void damagedFileGivesDefaults_data();
    void damagedFileGivesDefaults();
    void loadReadsSeveralKeys();

    void write_data();
    void write();
    void writtenValueReadsBack_data();
    void writtenValueReadsBack();
    void newFileHasOneLinePerKey_data();
    void newFileHasOneLinePerKey();
    void writeFailureKeepsOldFile_data();
    void writeFailureKeepsOldFile();
    void unstorableEntryWritesNothing_data();
    void unstorableEntryWritesNothing();
    void permissionsKept();

private:
    QString FilePath() const { return m_dir->filePath(QStringLiteral("calc_config.ini")); }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_Profile::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void tst_Profile::cleanup() {
    // Folders made read-only by a test must be writable again to be removed.
    QFile::setPermissions(m_dir->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    m_dir.reset();
}

void tst_Profile::readString_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");

    const QString config = QStringLiteral("Config");
    const QString prec = QStringLiteral("Prec");
    QTest::newRow("plain") << QByteArray("[Config]\nPrec=5\n") << config << prec << "5";
    QTest::newRow("section name in other case")
        << QByteArray("[config]\nPrec=5\n") << "CONFIG" << prec << "5";
    QTest::newRow("key name in other case") << QByteArray("[Config]\nPREC=5\n") << config << "prec"
                                            << "5";
    QTest::newRow("non-ASCII names in other case")
        << QByteArray("[\xC3\x9Cnits]\nGr\xC3\xB6\xC3\x9F"
                      "e=3\n")
        << QString::fromUtf8("\xC3\xBCNITS")
        << QString::fromUtf8("GR\xC3\x96\xC3\x9F"
                             "E")
        << "3";
    QTest::newRow("blanks around key and value")
        << QByteArray("[Config]\n \t Prec \t=  5 \t\v\f\n") << config << prec << "5";
    QTest::newRow("blanks around the section name")
        << QByteArray("  [ Config ]  \nPrec=5\n") << config << prec << "5";
    QTest::newRow("blanks in the asked names") << QByteArray("[Config]\nPrec=5\n") << " Config "
                                               << "\tPrec "
                                               << "5";
    QTest::newRow("value after the first equals sign")
        << QByteArray("[Config]\nPrec=a=b\n") << config << prec << "a=b";
    QTest::newRow("quotes removed")
        << QByteArray("[Config]\nPrec=\"a b\"\n") << config << prec << "a b";
    QTest::newRow("blanks inside quotes kept")
        << QByteArray("[Config]\nPrec=  \" a \"  \n") << config << prec << " a ";
    QTest::newRow("one pair of quotes removed")
        << QByteArray("[Config]\nPrec=\"\"x\"\"\n") << config << prec << "\"x\"";
    QTest::newRow("a lone quote kept")
        << QByteArray("[Config]\nPrec=\"\n") << config << prec << "\"";
    QTest::newRow("an unmatched quote kept")
        << QByteArray("[Config]\nPrec=\"abc\n") << config << prec << "\"abc";
    QTest::newRow("single quotes kept")
        << QByteArray("[Config]\nPrec='x'\n") << config << prec << "'x'";
    QTest::newRow("empty value is not the default")
        << QByteArray("[Config]\nPrec=\n") << config << prec << "";
    QTest::newRow("a line without equals sign is no key")
        << QByteArray("[Config]\nPrec\n") << config << prec << kDefault;
    QTest::newRow("comment") << QByteArray("[Config]\n;Prec=5\n") << config << prec << kDefault;
    QTest::newRow("indented comment, then the key")
        << QByteArray("[Config]\n  ;Prec=5\nPrec=6\n") << config << prec << "6";
    QTest::newRow("first of two keys")
        << QByteArray("[Config]\nPrec=1\nprec=2\n") << config << prec << "1";
    QTest::newRow("only the first of two sections")
        << QByteArray("[Config]\nA=1\n[Other]\nX=1\n[Config]\nPrec=2\n") << config << prec
        << kDefault;
    QTest::newRow("key of another section")
        << QByteArray("[Other]\nPrec=5\n[Config]\nA=1\n") << config << prec << kDefault;
    QTest::newRow("key before any section")
        << QByteArray("Prec=5\n[Config]\n") << config << prec << kDefault;
    QTest::newRow("missing section")
        << QByteArray("[Other]\nPrec=5\n") << config << prec << kDefault;
    QTest::newRow("missing key") << QByteArray("[Config]\nComma=1\n") << config << prec << kDefault;
    QTest::newRow("empty file") << QByteArray() << config << prec << kDefault;
    QTest::newRow("CR LF") << QByteArray("[Config]\r\nComma=1\r\nPrec=5\r\n") << config << prec
                           << "5";
    QTest::newRow("lone CR") << QByteArray("[Config]\rComma=1\rPrec=5\r") << config << prec << "5";
    QTest::newRow("no line end at the end")
        << QByteArray("[Config]\nPrec=5") << config << prec << "5";
    QTest::newRow("byte order mark")
        << QByteArray("\xEF\xBB\xBF[Config]\nPrec=5\n") << config << prec << "5";
    QTest::newRow("section line with text after the bracket")
        << QByteArray("[Config] ; settings\nPrec=5\n") << config << prec << "5";
    QTest::newRow("section name runs to the last bracket")
        << QByteArray("[a]b]\nPrec=5\n") << "a]b" << prec << "5";
    QTest::newRow("an unclosed bracket is no section")
        << QByteArray("[Config\nPrec=5\n") << config << prec << kDefault;
    QTest::newRow("UTF-8 value") << QByteArray("[Config]\nPrec=caf\xC3\xA9 \xE2\x82\xAC\n")
                                 << config << prec << QString::fromUtf8("caf\xC3\xA9 \xE2\x82\xAC");
    QTest::newRow("Windows-1252 value") << QByteArray("[Config]\nPrec=caf\xE9 \x80\xA0\n") << config
                                        << prec << QStringLiteral("caf\u00E9 \u20AC\u00A0");
    QTest::newRow("Windows-1252 line among UTF-8 lines")
        << QByteArray("[Config]\nA=\xC3\xA9\nPrec=\xE9\n") << config << prec
        << QStringLiteral("\u00E9");
    QTest::newRow("UTF-8 line among Windows-1252 lines")
        << QByteArray("[Config]\nA=\xE9\nPrec=\xC3\xA9\n") << config << prec
        << QStringLiteral("\u00E9");
    QTest::newRow("UTF-8 sequence cut short")
        << QByteArray("[Config]\nPrec=caf\xC3\n") << config << prec << QStringLiteral("caf\u00C3");
}

void tst_Profile::readString() {
    QFETCH(QByteArray, file);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, expected);
    QVERIFY(WriteBytes(FilePath(), file));
    QCOMPARE(KeyedProfile(FilePath()).ReadString(section, key, kDefault), expected);
}

void tst_Profile::readInteger_data() {
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<int>("expected");
    const int d = 42; // the default

    QTest::newRow("decimal") << QByteArray("15") << 15;
    QTest::newRow("negative") << QByteArray("-3") << -3;
    QTest::newRow("plus sign") << QByteArray("+7") << 7;
    QTest::newRow("blanks around") << QByteArray(" 7 ") << 7;
    QTest::newRow("leading zeros") << QByteArray("007") << 7;
    QTest::newRow("minus zero") << QByteArray("-0") << 0;
    QTest::newRow("in quotes") << QByteArray("\"12\"") << 12;
    QTest::newRow("hex") << QByteArray("0x5") << 5;
    QTest::newRow("hex capital X, lower-case digits") << QByteArray("0X1f") << 31;
    QTest::newRow("hex upper-case digits") << QByteArray("0xFF") << 255;
    QTest::newRow("hex with leading zeros") << QByteArray("0x0005") << 5;
    QTest::newRow("hex maximum") << QByteArray("0x7FFFFFFF") << std::numeric_limits<int>::max();
    QTest::newRow("hex past the maximum") << QByteArray("0x80000000") << d;
    QTest::newRow("hex prefix alone") << QByteArray("0x") << d;
    QTest::newRow("hex prefix alone, capital") << QByteArray("0X") << d;
    QTest::newRow("hex with a bad digit") << QByteArray("0x1g") << d;
    QTest::newRow("signed hex") << QByteArray("-0x5") << d;
    QTest::newRow("letters") << QByteArray("abc") << d;
    QTest::newRow("trailing letter") << QByteArray("7x") << d;
    QTest::newRow("blank inside") << QByteArray("1 2") << d;
    QTest::newRow("decimal point") << QByteArray("3.0") << d;
    QTest::newRow("exponent") << QByteArray("1e3") << d;
    QTest::newRow("empty") << QByteArray("") << d;
    QTest::newRow("sign alone") << QByteArray("-") << d;
    QTest::newRow("plus alone") << QByteArray("+") << d;
    QTest::newRow("two signs") << QByteArray("+-1") << d;
    QTest::newRow("maximum") << QByteArray("2147483647") << std::numeric_limits<int>::max();
    QTest::newRow("minimum") << QByteArray("-2147483648") << std::numeric_limits<int>::min();
    QTest::newRow("one past the maximum") << QByteArray("2147483648") << d;
    QTest::newRow("one past the minimum") << QByteArray("-2147483649") << d;
    QTest::newRow("far past the maximum") << QByteArray("99999999999999999999") << d;
    QTest::newRow("non-ASCII digits") << QByteArray("\xD9\xA1\xD9\xA2") << d;
    QTest::newRow("full-width digits") << QByteArray("\xEF\xBC\x91") << d;
}

void tst_Profile::readInteger() {
    QFETCH(QByteArray, value);
    QFETCH(int, expected);
    QVERIFY(WriteBytes(FilePath(), "[Config]\nPrec=" + value + "\n"));
    QCOMPARE(
        KeyedProfile(FilePath()).ReadInteger(QStringLiteral("Config"), QStringLiteral("Prec"), 42),
        expected);
}

void tst_Profile::readBool_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<bool>("defaultValue");
    QTest::addColumn<bool>("expected");

    QTest::newRow("0") << QByteArray("[Config]\nComma=0\n") << true << false;
    QTest::newRow("1") << QByteArray("[Config]\nComma=1\n") << false << true;
    QTest::newRow("2") << QByteArray("[Config]\nComma=2\n") << false << true;
    QTest::newRow("-1") << QByteArray("[Config]\nComma=-1\n") << false << true;
    QTest::newRow("hex 0") << QByteArray("[Config]\nComma=0x0\n") << true << false;
    QTest::newRow("hex 10") << QByteArray("[Config]\nComma=0x10\n") << false << true;
    QTest::newRow("word, default true") << QByteArray("[Config]\nComma=false\n") << true << true;
    QTest::newRow("word, default false") << QByteArray("[Config]\nComma=true\n") << false << false;
    QTest::newRow("empty, default true") << QByteArray("[Config]\nComma=\n") << true << true;
    QTest::newRow("missing, default true") << QByteArray("[Config]\n") << true << true;
    QTest::newRow("missing, default false") << QByteArray("[Config]\n") << false << false;
}

void tst_Profile::readBool() {
    QFETCH(QByteArray, file);
    QFETCH(bool, defaultValue);
    QFETCH(bool, expected);
    QVERIFY(WriteBytes(FilePath(), file));
    QCOMPARE(KeyedProfile(FilePath())
                 .ReadBool(QStringLiteral("Config"), QStringLiteral("Comma"), defaultValue),
             expected);
}

void tst_Profile::longValueIsCut_data() {
    QTest::addColumn<QString>("value"); // as it stands in the file
    QTest::addColumn<QString>("expected");

    const auto letters = [](qsizetype n) {
        QString text;
        for (qsizetype i = 0; i < n; ++i)
            text += QChar(char16_t(u'a' + i % 26));
        return text;
    };
    QTest::newRow("2046") << letters(2046) << letters(2046);
    QTest::newRow("2047") << letters(2047) << letters(2047);
    QTest::newRow("2048") << letters(2048) << letters(2047);
    QTest::newRow("10000") << letters(10000) << letters(2047);
    QTest::newRow("2047 in quotes") << '"' + letters(2047) + '"' << letters(2047);
    QTest::newRow("2048 in quotes") << '"' + letters(2048) + '"' << letters(2047);
    QTest::newRow("non-ASCII") << QString(3000, QChar(0xE9)) << QString(2047, QChar(0xE9));
    // 2046 letters and a character outside the BMP: half a pair is never returned.
    QTest::newRow("surrogate pair at the cut")
        << letters(2046) + QStringLiteral("\U0001F600") << letters(2046);
    QTest::newRow("surrogate pair before the cut") << letters(2045) + QStringLiteral("\U0001F600x")
                                                   << letters(2045) + QStringLiteral("\U0001F600");
}

void tst_Profile::longValueIsCut() {
    QFETCH(QString, value);
    QFETCH(QString, expected);
    QVERIFY(WriteBytes(FilePath(), "[Config]\nPrec=" + value.toUtf8() + "\nComma=1\n"));
    const KeyedProfile profile(FilePath());
    QCOMPARE(profile.ReadString(QStringLiteral("Config"), QStringLiteral("Prec"), kDefault),
             expected);
    QCOMPARE(profile.ReadString(QStringLiteral("Config"), QStringLiteral("Comma"), kDefault),
             QStringLiteral("1"));
}

void tst_Profile::damagedFileGivesDefaults_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("kind"); // "file", "folder" or "missing"

    QRandomGenerator random(20261208);
    QByteArray noise(64 * 1024, Qt::Uninitialized);
    random.fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
    QTest::newRow("random bytes") << noise << "file";
    QTest::newRow("zero bytes") << QByteArray(4096, '\0') << "file";
    const QString utf16 = QStringLiteral("\uFEFF[Config]\r\nPrec=5\r\nComma=1\r\n");
    QTest::newRow("settings in UTF-16")
        << QByteArray(reinterpret_cast<const char*>(utf16.utf16()), utf16.size() * 2) << "file";
    QTest::newRow("folder") << QByteArray() << "folder";
    QTest::newRow("missing file") << QByteArray() << "missing";
}

void tst_Profile::damagedFileGivesDefaults() {
    QFETCH(QByteArray, file);
    QFETCH(QString, kind);
    if (kind == QLatin1String("folder"))
        QVERIFY(QDir().mkdir(FilePath()));
    else if (kind == QLatin1String("file"))
        QVERIFY(WriteBytes(FilePath(), file));

    const KeyedProfile profile(FilePath());
    const QString config = QStringLiteral("Config");
    QCOMPARE(profile.ReadString(config, QStringLiteral("Prec"), kDefault), kDefault);
    QCOMPARE(profile.ReadInteger(config, QStringLiteral("Prec"), 42), 42);
    QCOMPARE(profile.ReadBool(config, QStringLiteral("Comma"), true), true);
    QCOMPARE(profile.ReadBool(config, QStringLiteral("Comma"), false), false);
}

void tst_Profile::loadReadsSeveralKeys() {
    QVERIFY(WriteBytes(FilePath(), "[Config]\r\nPrec=4\r\nComma=0\r\nStartup=1\r\n"));
    const ProfileDocument settings = Profile(FilePath()).Load();
    // The file may change afterwards: the loaded contents stay.
    QVERIFY(QFile::remove(FilePath()));
    const QString config = QStringLiteral("Config");
    QCOMPARE(settings.ReadInteger(config, QStringLiteral("Prec"), 2), 4);
    QCOMPARE(settings.ReadBool(config, QStringLiteral("Comma"), true), false);
    QCOMPARE(settings.ReadBool(config, QStringLiteral("Startup"), false), true);
    QCOMPARE(settings.ReadBool(config, QStringLiteral("DisplayHistory"), true), true);
    QCOMPARE(Profile(FilePath()).Load().ReadInteger(config, QStringLiteral("Prec"), 2), 2);
}

void tst_Profile::write_data() {
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("after");

    const QString config = QStringLiteral("Config");
    const QString prec = QStringLiteral("Prec");
    const QString comma = QStringLiteral("Comma");

    QTest::newRow("value replaced in place")
        << QByteArray("[Config]\nPrec=2\nComma=1\n") << config << prec << "5"
        << QByteArray("[Config]\nPrec=5\nComma=1\n");
    QTest::newRow("key spelling and blanks before the value kept")
        << QByteArray("[Config]\n  pREC =  2  \nComma=1\n") << config << prec << "5"
        << QByteArray("[Config]\n  pREC =  5\nComma=1\n");
    QTest::newRow("CR LF kept") << QByteArray("[Config]\r\nPrec=2\r\nComma=1\r\n") << config << prec
                                << "5" << QByteArray("[Config]\r\nPrec=5\r\nComma=1\r\n");
    QTest::newRow("comments, other sections and other bytes kept")
        << QByteArray("; settings\r\n[Window]\r\nLeft = 10\r\n\r\n[config]\r\n; precision\r\n"
                      "Prec=2\r\n\r\n[Other]\r\nx=\xE9\xFF\x80\r\n\xFE\xFE\r\n\x01\x02\r\n")
        << config << prec << "5"
        << QByteArray("; settings\r\n[Window]\r\nLeft = 10\r\n\r\n[config]\r\n; precision\r\n"
                      "Prec=5\r\n\r\n[Other]\r\nx=\xE9\xFF\x80\r\n\xFE\xFE\r\n\x01\x02\r\n");
    QTest::newRow("first of two keys replaced")
        << QByteArray("[Config]\nPrec=1\nPrec=2\n") << config << prec << "5"
        << QByteArray("[Config]\nPrec=5\nPrec=2\n");
    QTest::newRow("the first of two sections gets the new key")
        << QByteArray("[Config]\nA=1\n[Other]\n[Config]\nPrec=2\n") << config << prec << "5"
        << QByteArray("[Config]\nA=1\nPrec=5\n[Other]\n[Config]\nPrec=2\n");
    QTest::newRow("new key after the section's last key line")
        << QByteArray("[Config]\nPrec=2\n\n; next\n[Other]\nA=1\n") << config << comma << "1"
        << QByteArray("[Config]\nPrec=2\nComma=1\n\n; next\n[Other]\nA=1\n");
    QTest::newRow("new key before comments and other lines after the keys")
        << QByteArray("[Config]\nPrec=2\n; note\njunk\n\n[Other]\n") << config << comma << "1"
        << QByteArray("[Config]\nPrec=2\nComma=1\n; note\njunk\n\n[Other]\n");
    QTest::newRow("new key in a section without keys")
        << QByteArray("[Config]\n;Comma=0\n\n[Other]\nA=1\n") << config << comma << "1"
        << QByteArray("[Config]\nComma=1\n;Comma=0\n\n[Other]\nA=1\n");
    QTest::newRow("new key at a file end without line end")
        << QByteArray("[Config]\nPrec=2") << config << comma << "1"
        << QByteArray("[Config]\nPrec=2\nComma=1\n");
    QTest::newRow("new key after a section line at the file end")
        << QByteArray("[Other]\r\nA=1\r\n[Config]") << config << comma << "1"
        << QByteArray("[Other]\r\nA=1\r\n[Config]\r\nComma=1\r\n");
    QTest::newRow("new section at the end, after a blank line")
        << QByteArray("[Other]\nA=1\n") << config << comma << "1"
        << QByteArray("[Other]\nA=1\n\n[Config]\nComma=1\n");
    QTest::newRow("new section after a blank last line")
        << QByteArray("[Other]\nA=1\n\n") << config << comma << "1"
        << QByteArray("[Other]\nA=1\n\n[Config]\nComma=1\n");
    QTest::newRow("new section in a CR LF file without line end at the end")
        << QByteArray("[Other]\r\nA=1") << config << comma << "1"
        << QByteArray("[Other]\r\nA=1\r\n\r\n[Config]\r\nComma=1\r\n");
    QTest::newRow("new section in an empty file")
        << QByteArray() << config << comma << "1" << QByteArray("[Config]\nComma=1\n");
    QTest::newRow("new lines end like the first line")
        << QByteArray("[Config]\r\nPrec=2\n") << config << comma << "1"
        << QByteArray("[Config]\r\nPrec=2\nComma=1\r\n");
    QTest::newRow("lone CR file") << QByteArray("[Config]\rPrec=2\r") << config << comma << "1"
                                  << QByteArray("[Config]\rPrec=2\rComma=1\r");
    QTest::newRow("a lone CR never joins the LF of an empty line after it")
        << QByteArray("[Config]\rPrec=2\r\n\n[Other]\r") << config << comma << "1"
        << QByteArray("[Config]\rPrec=2\r\nComma=1\r\n\n[Other]\r");
    QTest::newRow("blank line after a lone CR line")
        << QByteArray("[Other]\nA=1\r") << config << comma << "1"
        << QByteArray("[Other]\nA=1\r\r[Config]\nComma=1\n");
    QTest::newRow("byte order mark kept")
        << QByteArray("\xEF\xBB\xBF[Config]\nPrec=2\n") << config << prec << "5"
        << QByteArray("\xEF\xBB\xBF[Config]\nPrec=5\n");
    QTest::newRow("key on the first line after a byte order mark")
        << QByteArray("\xEF\xBB\xBFPrec=1\n[Config]\n") << config << prec << "5"
        << QByteArray("\xEF\xBB\xBFPrec=1\n[Config]\nPrec=5\n");
    QTest::newRow("Windows-1252 key line rewritten as UTF-8")
        << QByteArray("[Config]\nNom\xE9 = 1\nA=\xE9\n") << config << QStringLiteral("nom\u00C9")
        << QStringLiteral("\u00E9t\u00E9")
        << QByteArray("[Config]\nNom\xC3\xA9 = \xC3\xA9t\xC3\xA9\nA=\xE9\n");
    QTest::newRow("names trimmed") << QByteArray("[Config]\nPrec=2\n") << " Config "
                                   << "\tComma "
                                   << "1" << QByteArray("[Config]\nPrec=2\nComma=1\n");
    QTest::newRow("blanks at the ends of a value kept by quotes")
        << QByteArray() << config << comma << " 1 " << QByteArray("[Config]\nComma=\" 1 \"\n");
    QTest::newRow("a quoted value kept by quotes")
        << QByteArray() << config << comma << "\"1\"" << QByteArray("[Config]\nComma=\"\"1\"\"\n");
}

void tst_Profile::write() {
    QFETCH(QByteArray, before);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QByteArray, after);
    if (!before.isEmpty())
        QVERIFY(WriteBytes(FilePath(), before));

    KeyedProfile profile(FilePath());
    profile.WriteString(section, key, value);
    QCOMPARE(ReadBytes(FilePath()), after);
    QCOMPARE(profile.ReadString(section, key, kDefault), value);
    QCOMPARE(FolderEntries(m_dir->path()), QStringList{QStringLiteral("calc_config.ini")});
}

void tst_Profile::writtenValueReadsBack_data() {
    QTest::addColumn<QString>("value");
    QTest::newRow("empty") << "";
    QTest::newRow("plain") << "plain";
    QTest::newRow("blanks at the ends") << "  a b\t";
    QTest::newRow("only blanks") << "   ";
    QTest::newRow("in quotes") << "\"x\"";
    QTest::newRow("a lone quote") << "\"";
    QTest::newRow("quote at the end") << "a\"";
    QTest::newRow("quotes and blanks") << " \"x\" ";
    QTest::newRow("equals sign") << "x=y";
    QTest::newRow("semicolon first") << ";not a comment";
    QTest::newRow("section-like") << "[not a section]";
    QTest::newRow("non-ASCII") << QStringLiteral("\u00E9\u20AC\u00A0\U0001F600");
    QTest::newRow("2047 characters") << QString(2047, QLatin1Char('x'));
}

void tst_Profile::writtenValueReadsBack() {
    QFETCH(QString, value);
    QVERIFY(WriteBytes(FilePath(), "[Window]\nLeft=1\n\n[Config]\nPrec=2\n\n[Other]\nA=1\n"));
    KeyedProfile profile(FilePath());
    const QString config = QStringLiteral("Config");
    const QString name = QStringLiteral("Name");
    profile.WriteString(config, name, value); // a new key
    QCOMPARE(profile.ReadString(config, name, kDefault), value);
    profile.WriteString(config, name, QStringLiteral("other"));
    profile.WriteString(config, name, value); // in place
    QCOMPARE(profile.ReadString(config, name, kDefault), value);
    QCOMPARE(profile.ReadString(config, QStringLiteral("Prec"), kDefault), QStringLiteral("2"));
    QCOMPARE(profile.ReadString(QStringLiteral("Other"), QStringLiteral("A"), kDefault),
             QStringLiteral("1"));
}

void tst_Profile::newFileHasOneLinePerKey_data() {
    QTest::addColumn<bool>("batch");
    QTest::newRow("four writes") << false;
    QTest::newRow("one batch") << true;
}

void tst_Profile::newFileHasOneLinePerKey() {
    QFETCH(bool, batch);
    KeyedProfile profile(FilePath());
    const QString config = QStringLiteral("Config");
    if (batch) {
        profile.Write({{config, QStringLiteral("Prec"), QStringLiteral("2")},
                       {config, QStringLiteral("Comma"), QStringLiteral("1")},
                       {config, QStringLiteral("Startup"), QStringLiteral("1")},
                       {config, QStringLiteral("DisplayHistory"), QStringLiteral("1")}});
    } else {
        profile.WriteInteger(config, QStringLiteral("Prec"), 2);
        profile.WriteBool(config, QStringLiteral("Comma"), true);
        profile.WriteBool(config, QStringLiteral("Startup"), true);
        profile.WriteBool(config, QStringLiteral("DisplayHistory"), true);
    }
    const QByteArray bytes = ReadBytes(FilePath());
    QCOMPARE(bytes, QByteArray("[Config]\nPrec=2\nComma=1\nStartup=1\nDisplayHistory=1\n"));
    QCOMPARE(bytes.count('\n'), 5);
}

void tst_Profile::writeFailureKeepsOldFile_data() {
    QTest::addColumn<Failure>("failure");
    QTest::newRow("parent is a regular file") << Failure::ParentIsFile;
    QTest::newRow("path is a folder") << Failure::PathIsFolder;
    QTest::newRow("missing folder") << Failure::MissingFolder;
    QTest::newRow("file size limit") << Failure::SizeLimit;
    QTest::newRow("read-only folder") << Failure::ReadOnlyFolder;
    QTest::newRow("unreadable old file") << Failure::UnreadableFile;
}

void tst_Profile::writeFailureKeepsOldFile() {
    QFETCH(Failure, failure);
    const QByteArray old("; keep me\r\n[Config]\r\nPrec=2\r\n");
    const QString folder = m_dir->path();
    QString path = FilePath();
    QString oldFile = path; // the file that must come through unchanged
    switch (failure) {
    case Failure::ParentIsFile:
        oldFile = m_dir->filePath(QStringLiteral("settings"));
        path = oldFile + QStringLiteral("/calc_config.ini");
        break;
    case Failure::PathIsFolder:
        QVERIFY(QDir().mkdir(path));
        oldFile = path + QStringLiteral("/inside");
        break;
    case Failure::MissingFolder:
        oldFile = m_dir->filePath(QStringLiteral("other"));
        path = m_dir->filePath(QStringLiteral("missing/calc_config.ini"));
        break;
    default:
        break;
    }
    QVERIFY(WriteBytes(oldFile, old));
    const QStringList entries = FolderEntries(folder);

    if (failure == Failure::ReadOnlyFolder) {
        QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
        if (CanCreateFilesIn(folder))
            QSKIP("permissions do not stop this user (root)");
    }
    if (failure == Failure::UnreadableFile) {
        QVERIFY(QFile::setPermissions(path, QFile::WriteOwner));
        if (QFile(path).open(QIODevice::ReadOnly))
            QSKIP("permissions do not stop this user (root)");
    }

    KeyedProfile profile(path);
    const QString config = QStringLiteral("Config");
    try {
        if (failure == Failure::SizeLimit) {
            const FileSizeLimit limit(64);
            profile.WriteString(config, QStringLiteral("Prec"), QString(1000, QLatin1Char('9')));
        } else {
            profile.WriteInteger(config, QStringLiteral("Prec"), 5);
        }
        QFAIL("the write did not fail");
    } catch (const EIniFileException& e) {
        QCOMPARE(e.Message(), QStringLiteral("Unable to write to ") + path);
    }

    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile::setPermissions(oldFile, QFile::ReadOwner | QFile::WriteOwner);
    QCOMPARE(ReadBytes(oldFile), old);
    QCOMPARE(FolderEntries(folder), entries);
}

void tst_Profile::unstorableEntryWritesNothing_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("section");

    const QString config = QStringLiteral("Config");
    QTest::newRow("empty key") << ""
                               << "1" << config;
    QTest::newRow("blank key") << "  "
                               << "1" << config;
    QTest::newRow("equals sign in the key") << "a=b"
                                            << "1" << config;
    QTest::newRow("key starting with a semicolon") << ";a"
                                                   << "1" << config;
    QTest::newRow("key starting with a bracket") << "[a"
                                                 << "1" << config;
    QTest::newRow("line feed in the value") << "Prec"
                                            << "1\n[Other]" << config;
    QTest::newRow("carriage return in the value") << "Prec"
                                                  << "1\r" << config;
    QTest::newRow("line feed in the key") << "Pr\nec"
                                          << "1" << config;
    QTest::newRow("line feed in the section") << "Prec"
                                              << "1"
                                              << "Con\nfig";
}

void tst_Profile::unstorableEntryWritesNothing() {
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, section);
    const QByteArray old("[Config]\nPrec=2\n");
    QVERIFY(WriteBytes(FilePath(), old));
    KeyedProfile profile(FilePath());
    // Alone, and after a good entry in the same batch: nothing is written either way.
    const QList<QList<ProfileEntry>> batches = {
        {{section, key, value}},
        {{QStringLiteral("Config"), QStringLiteral("Comma"), QStringLiteral("1")},
         {section, key, value}},
    };
    for (const QList<ProfileEntry>& batch : batches) {
        QVERIFY_THROWS_EXCEPTION(EIniFileException, profile.Write(batch));
        QCOMPARE(ReadBytes(FilePath()), old);
    }
    QCOMPARE(FolderEntries(m_dir->path()), QStringList{QStringLiteral("calc_config.ini")});
}

void tst_Profile::permissionsKept() {
    QVERIFY(WriteBytes(FilePath(), "[Config]\nPrec=2\n"));
    QVERIFY(::chmod(QFile::encodeName(FilePath()).constData(), 0640) == 0);
    KeyedProfile(FilePath()).WriteInteger(QStringLiteral("Config"), QStringLiteral("Prec"), 5);
    struct stat status {};
    QVERIFY(::stat(QFile::encodeName(FilePath()).constData(), &status) == 0);
    QCOMPARE(status.st_mode & 07777, mode_t(0640));
    QCOMPARE(ReadBytes(FilePath()), QByteArray("[Config]\nPrec=5\n"));
}

QTEST_GUILESS_MAIN(tst_Profile)
#include "tst_Profile.moc"
