#include "Integrity.h"
#include "VersionInfo.h"
#include "support/FileHelpers.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

Q_DECLARE_METATYPE(IntegrityStatus)

namespace {

constexpr qsizetype kTrailer = 48;

} // namespace

class tst_Integrity : public QObject {
    Q_OBJECT
private slots:
    void init();
    void sealedProgram();
    void runningProgram();
    void changedCopies_data();
    void changedCopies();
    void otherFiles_data();
    void otherFiles();
    void sealing();
    void installedProgram_data();
    void installedProgram();

private:
    QString Write(const QString& name, const QByteArray& bytes, bool executable = false);
    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_Integrity::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

QString tst_Integrity::Write(const QString& name, const QByteArray& bytes, bool executable) {
    QFile file(m_dir->filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return {};
    if (executable)
        file.setPermissions(file.permissions() | QFile::ExeOwner);
    return file.fileName();
}

void tst_Integrity::sealedProgram() {
    QCOMPARE(IntegrityCheck(QStringLiteral(QUANTORIA_EXE)), IntegrityStatus::Ok);
}

// This test program is sealed by the build as well, and checks itself.
void tst_Integrity::runningProgram() {
    QCOMPARE(IntegrityCheck(), IntegrityStatus::Ok);
}

void tst_Integrity::changedCopies_data() {
    QTest::addColumn<qsizetype>("fromEnd"); // the byte changed, counted back from the end
    QTest::addColumn<IntegrityStatus>("status");
    QTest::newRow("last byte of the digest") << qsizetype(1) << IntegrityStatus::Damaged;
    QTest::newRow("first byte of the digest") << qsizetype(32) << IntegrityStatus::Damaged;
    QTest::newRow("last byte before the seal")
        << qsizetype(kTrailer + 1) << IntegrityStatus::Damaged;
    QTest::newRow("in the middle") << qsizetype(-1) << IntegrityStatus::Damaged;
    QTest::newRow("first byte") << qsizetype(0) << IntegrityStatus::Damaged;
    QTest::newRow("in the seal's magic") << qsizetype(40) << IntegrityStatus::Unsealed;
}

void tst_Integrity::changedCopies() {
    QFETCH(qsizetype, fromEnd);
    QFETCH(IntegrityStatus, status);
    QByteArray program = ReadBytes(QStringLiteral(QUANTORIA_EXE));
    QVERIFY(program.size() > 4096);
    const qsizetype at = fromEnd == 0  ? 0
                         : fromEnd < 0 ? program.size() / 2
                                       : program.size() - fromEnd;
    program[at] = char(program[at] ^ 0x01);
    QCOMPARE(IntegrityCheck(Write(QStringLiteral("copy"), program)), status);
}

void tst_Integrity::otherFiles_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<IntegrityStatus>("status");
    QTest::newRow("program built without the seal") << "plain" << IntegrityStatus::Unsealed;
    QTest::newRow("program with a byte appended") << "appended" << IntegrityStatus::Damaged;
    QTest::newRow("program with a block appended") << "appended block" << IntegrityStatus::Damaged;
    QTest::newRow("program with its last byte cut") << "cut" << IntegrityStatus::Damaged;
    QTest::newRow("program cut after its seal's magic")
        << "cut in the digest" << IntegrityStatus::Damaged;
    QTest::newRow("first half of the program") << "half" << IntegrityStatus::Damaged;
    QTest::newRow("first half of a plain program") << "plain half" << IntegrityStatus::Damaged;
    QTest::newRow("empty file") << "empty" << IntegrityStatus::Unsealed;
    QTest::newRow("missing file") << "missing" << IntegrityStatus::Unreadable;
    QTest::newRow("folder") << "folder" << IntegrityStatus::Unreadable;
    QTest::newRow("named pipe without a writer") << "fifo" << IntegrityStatus::Unreadable;
}

void tst_Integrity::otherFiles() {
    QFETCH(QString, kind);
    QFETCH(IntegrityStatus, status);
    const QByteArray program = ReadBytes(QStringLiteral(QUANTORIA_EXE));
    QString path;
    if (kind == QStringLiteral("plain"))
        path = QStringLiteral(PLAIN_PROGRAM);
    else if (kind == QStringLiteral("appended"))
        path = Write(kind, program + '\n');
    else if (kind == QStringLiteral("appended block"))
        path = Write(kind, program + QByteArray(100000, 'x'));
    else if (kind == QStringLiteral("cut"))
        path = Write(kind, program.chopped(1));
    else if (kind == QStringLiteral("cut in the digest"))
        path = Write(kind, program.chopped(20));
    else if (kind == QStringLiteral("half"))
        path = Write(kind, program.left(program.size() / 2));
    else if (kind == QStringLiteral("plain half")) {
        const QByteArray plain = ReadBytes(QStringLiteral(PLAIN_PROGRAM));
        path = Write(kind, plain.left(plain.size() / 2));
    } else if (kind == QStringLiteral("empty"))
        path = Write(kind, {});
    else if (kind == QStringLiteral("missing"))
        path = m_dir->filePath(kind);
    else if (kind == QStringLiteral("folder"))
        path = m_dir->path();
    else if (kind == QStringLiteral("fifo")) {
        path = m_dir->filePath(kind);
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    }
    QVERIFY(!path.isEmpty());
    QCOMPARE(IntegrityCheck(path), status);
}

void tst_Integrity::sealing() {
    const QByteArray plain = ReadBytes(QStringLiteral(PLAIN_PROGRAM));
    QVERIFY(!plain.isEmpty());
    const QString path = Write(QStringLiteral("plain_program"), plain, true);
    QString error;
    QVERIFY2(SealFile(path, &error), qPrintable(error));
    const QByteArray sealed = ReadBytes(path);
    QCOMPARE(sealed.size(), plain.size() + kTrailer);
    QVERIFY(sealed.startsWith(plain));
    QCOMPARE(IntegrityCheck(path), IntegrityStatus::Ok);

    // Sealing again changes nothing.
    QVERIFY2(SealFile(path, &error), qPrintable(error));
    QCOMPARE(ReadBytes(path), sealed);

    // The sealed program still runs.
    QProcess process;
    process.setWorkingDirectory(m_dir->path());
    process.start(path, {});
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);

    // A damaged file is not sealed over.
    QByteArray damaged = sealed;
    damaged[10] = char(damaged[10] ^ 0x01);
    const QString damagedPath = Write(QStringLiteral("damaged"), damaged);
    QVERIFY(!SealFile(damagedPath, &error));
    QVERIFY(error.contains(damagedPath));
    QCOMPARE(ReadBytes(damagedPath), damaged);

    QVERIFY(!SealFile(m_dir->filePath(QStringLiteral("missing")), &error));
    QVERIFY(!QFile::exists(m_dir->filePath(QStringLiteral("missing"))));
}

void tst_Integrity::installedProgram_data() {
    QTest::addColumn<bool>("strip");
    QTest::newRow("as built") << false;
    QTest::newRow("stripped") << true;
}

// `cmake --install` copies the sealed file unchanged (no RPATH edit). `cmake --install --strip`
// (what the package is made with) strips it, which drops the seal, and seals it again; the version
// record stays.
void tst_Integrity::installedProgram() {
    QFETCH(bool, strip);
    QStringList arguments = {
        QStringLiteral("--install"), QStringLiteral(BUILD_DIR), QStringLiteral("--prefix"),
        QStringLiteral("/usr"),
        // Its own manifest: build/install_manifest.txt stays the user's install.
        QStringLiteral("--component"), QStringLiteral("Unspecified")};
    if (strip)
        arguments.append(QStringLiteral("--strip"));
    QProcess install;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DESTDIR"), m_dir->filePath(QStringLiteral("root")));
    install.setProcessEnvironment(environment);
    install.setWorkingDirectory(m_dir->path());
    install.setProcessChannelMode(QProcess::MergedChannels);
    install.start(QStringLiteral(CMAKE_COMMAND_PATH), arguments);
    QVERIFY(install.waitForFinished(120000));
    QVERIFY2(install.exitStatus() == QProcess::NormalExit && install.exitCode() == 0,
             install.readAll().constData());

    const QString installed =
        m_dir->filePath(QStringLiteral("root/usr/" INSTALL_BINDIR "/quantoria"));
    QCOMPARE(IntegrityCheck(installed), IntegrityStatus::Ok);
    const QByteArray built = ReadBytes(QStringLiteral(QUANTORIA_EXE));
    if (strip)
        QVERIFY2(ReadBytes(installed).size() < built.size() - kTrailer, "not stripped");
    else
        QCOMPARE(ReadBytes(installed), built);
    QCOMPARE(GetFileVersionText(installed), QStringLiteral(QUANTORIA_VERSION_TEXT));
}

QTEST_GUILESS_MAIN(tst_Integrity)
#include "tst_Integrity.moc"
