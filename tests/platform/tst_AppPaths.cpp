#include "AppPaths.h"
#include "support/FileHelpers.h"
#include "support/ScopedVariable.h"

#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <optional>
#include <sys/stat.h>

namespace {

mode_t ModeOf(const QString& path) {
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return 0;
    return status.st_mode & 07777;
}

} // namespace

class tst_AppPaths : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void markedProgramFolderIsPortable();
    void whereTheFilesGo_data();
    void whereTheFilesGo();
    void installedProgramFolders_data();
    void installedProgramFolders();
    void xdgFolders_data();
    void xdgFolders();
    void existingFoldersKeepTheirMode();
    void readOnlyProgramFolderIsNotPortable();
    void makePrivatePathFailsUnderAFile();

private:
    QString Root() const { return m_dir->path(); }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_AppPaths::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void tst_AppPaths::cleanup() {
    QFile::setPermissions(Root() + QStringLiteral("/bin"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    m_dir.reset();
}

void tst_AppPaths::markedProgramFolderIsPortable() {
    const QString bin = Root() + QStringLiteral("/bin");
    QVERIFY(QDir().mkdir(bin));
    const QString marker = bin + QLatin1Char('/') + QLatin1String(kPortableMarker);
    QVERIFY(QFile(marker).open(QIODevice::WriteOnly));
    const ScopedVariable home("HOME", Root().toLocal8Bit() + "/home");
    const AppPaths paths = AppPaths::Resolve(bin + QStringLiteral("/"));
    QVERIFY(paths.IsPortable());
    QCOMPARE(paths.SettingsFile(), bin + QStringLiteral("/calc_config.ini"));
    QCOMPARE(paths.HistoryFile(), bin + QStringLiteral("/calc_history.txt"));
    QCOMPARE(FolderEntries(bin), QStringList{QLatin1String(kPortableMarker)}); // the probe is gone
    QVERIFY(!QFileInfo::exists(Root() + QStringLiteral("/home"))); // no XDG folders made
}

// Installed copies in folders their user can write (a prefix under the home folder, a copy run
// by root) keep their files in the XDG folders, like any installed copy; only the marker makes
// a copy portable.
void tst_AppPaths::whereTheFilesGo_data() {
    QTest::addColumn<QString>("bin");
    QTest::addColumn<bool>("marker");
    QTest::addColumn<bool>("portable");
    QTest::newRow("prefix under the home folder") << "home/.local/bin" << false << false;
    QTest::newRow("writable system prefix") << "usr/local/bin" << false << false;
    QTest::newRow("portable copy in a home folder") << "home/apps/quantoria" << true << true;
    QTest::newRow("marker that is a folder") << "opt/quantoria" << false << false;
}

void tst_AppPaths::whereTheFilesGo() {
    QFETCH(QString, bin);
    QFETCH(bool, marker);
    QFETCH(bool, portable);
    const QString folder = Root() + QLatin1Char('/') + bin;
    QVERIFY(QDir().mkpath(folder));
    const QString markerPath = folder + QLatin1Char('/') + QLatin1String(kPortableMarker);
    if (marker)
        QVERIFY(QFile(markerPath).open(QIODevice::WriteOnly));
    else if (bin.startsWith(QLatin1String("opt")))
        QVERIFY(QDir().mkdir(markerPath));
    const ScopedVariable home("HOME", QFile::encodeName(Root() + QStringLiteral("/home")));
    const ScopedVariable config("XDG_CONFIG_HOME", std::nullopt);
    const ScopedVariable state("XDG_STATE_HOME", std::nullopt);
    const AppPaths paths = AppPaths::Resolve(folder);
    QCOMPARE(paths.IsPortable(), portable);
    if (portable) {
        QCOMPARE(paths.SettingsFile(), folder + QStringLiteral("/calc_config.ini"));
        QCOMPARE(paths.HistoryFile(), folder + QStringLiteral("/calc_history.txt"));
    } else {
        QCOMPARE(paths.SettingsFile(),
                 Root() + QStringLiteral("/home/.config/quantoria/calc_config.ini"));
        QCOMPARE(paths.HistoryFile(),
                 Root() + QStringLiteral("/home/.local/state/quantoria/calc_history.txt"));
    }
}

void tst_AppPaths::installedProgramFolders_data() {
    // Folders made below the test's folder, then the program's folder ("<root>" stands for the
    // test's folder), which is writable and marked portable in every row that makes it.
    QTest::addColumn<QStringList>("made");
    QTest::addColumn<QString>("programFolder");
    QTest::addColumn<bool>("portable");

    QTest::newRow("bin alone") << QStringList{"bin"} << "<root>/bin" << true;
    QTest::newRow("build tree beside share")
        << QStringList{"src/build", "src/share"} << "<root>/src/build" << true;
    QTest::newRow("bin under share") << QStringList{"x/share/bin"} << "<root>/x/share/bin" << true;
    QTest::newRow("bin beside share")
        << QStringList{"prefix/bin", "prefix/share"} << "<root>/prefix/bin" << false;
    QTest::newRow("staging root's usr/bin")
        << QStringList{"stage/usr/bin", "stage/usr/share"} << "<root>/stage/usr/bin/" << false;
    QTest::newRow("spelled with ..")
        << QStringList{"prefix/bin", "prefix/share"} << "<root>/prefix/share/../bin" << false;
    // Root can write these: the program must not even try.
    QTest::newRow("/usr/bin") << QStringList{} << "/usr/bin" << false;
    QTest::newRow("/usr/local/bin") << QStringList{} << "/usr/local/bin" << false;
    QTest::newRow("/bin") << QStringList{} << "/bin" << false;
}

// A copy installed under a prefix keeps its files in the XDG folders even where it may write its
// own folder and is marked portable, and leaves that folder as it was; other marked writable
// folders are portable copies.
void tst_AppPaths::installedProgramFolders() {
    QFETCH(QStringList, made);
    QFETCH(QString, programFolder);
    QFETCH(bool, portable);
    for (const QString& folder : made)
        QVERIFY(QDir(Root()).mkpath(folder));
    const QString folder = QString(programFolder).replace(QStringLiteral("<root>"), Root());
    const bool ours = folder.startsWith(Root());
    if (ours)
        QVERIFY(QFile(QDir(folder).filePath(QLatin1String(kPortableMarker)))
                    .open(QIODevice::WriteOnly));
    const QStringList before = ours ? FolderEntries(folder) : QStringList();
    const ScopedVariable home("HOME", QFile::encodeName(Root() + QStringLiteral("/home")));
    const ScopedVariable config("XDG_CONFIG_HOME", std::nullopt);
    const ScopedVariable state("XDG_STATE_HOME", std::nullopt);

    const AppPaths paths = AppPaths::Resolve(folder);

    QCOMPARE(paths.IsPortable(), portable);
    const QString clean = QDir::cleanPath(folder);
    QCOMPARE(paths.SettingsFile(),
             portable ? clean + QStringLiteral("/calc_config.ini")
                      : Root() + QStringLiteral("/home/.config/quantoria/calc_config.ini"));
    QCOMPARE(paths.HistoryFile(),
             portable ? clean + QStringLiteral("/calc_history.txt")
                      : Root() + QStringLiteral("/home/.local/state/quantoria/calc_history.txt"));
    if (ours)
        QCOMPARE(FolderEntries(folder), before);
}

void tst_AppPaths::xdgFolders_data() {
    // A value, or "<unset>"; "<root>" stands for the test's folder.
    QTest::addColumn<QString>("configHome");
    QTest::addColumn<QString>("stateHome");
    QTest::addColumn<QString>("settings");
    QTest::addColumn<QString>("history");
    QTest::addColumn<QStringList>("created"); // folders that must now exist with mode 0700

    const QString unset = QStringLiteral("<unset>");
    const QString defaultSettings = QStringLiteral("<root>/home/.config/quantoria/calc_config.ini");
    const QString defaultHistory =
        QStringLiteral("<root>/home/.local/state/quantoria/calc_history.txt");
    const QStringList defaultFolders = {
        QStringLiteral("<root>/home/.config"), QStringLiteral("<root>/home/.config/quantoria"),
        QStringLiteral("<root>/home/.local"), QStringLiteral("<root>/home/.local/state"),
        QStringLiteral("<root>/home/.local/state/quantoria")};

    QTest::newRow("unset") << unset << unset << defaultSettings << defaultHistory << defaultFolders;
    QTest::newRow("empty") << ""
                           << "" << defaultSettings << defaultHistory << defaultFolders;
    QTest::newRow("relative") << "cfg"
                              << "state" << defaultSettings << defaultHistory << defaultFolders;
    QTest::newRow("absolute") << "<root>/cfg"
                              << "<root>/xdg/state/"
                              << "<root>/cfg/quantoria/calc_config.ini"
                              << "<root>/xdg/state/quantoria/calc_history.txt"
                              << QStringList{QStringLiteral("<root>/cfg"),
                                             QStringLiteral("<root>/cfg/quantoria"),
                                             QStringLiteral("<root>/xdg"),
                                             QStringLiteral("<root>/xdg/state"),
                                             QStringLiteral("<root>/xdg/state/quantoria")};
    QTest::newRow("only the state folder set")
        << unset << "<root>/state" << defaultSettings << "<root>/state/quantoria/calc_history.txt"
        << QStringList{QStringLiteral("<root>/home/.config/quantoria"),
                       QStringLiteral("<root>/state/quantoria")};
}

void tst_AppPaths::xdgFolders() {
    QFETCH(QString, configHome);
    QFETCH(QString, stateHome);
    QFETCH(QString, settings);
    QFETCH(QString, history);
    QFETCH(QStringList, created);
    const auto resolved = [this](QString text) {
        return text.replace(QStringLiteral("<root>"), Root());
    };
    const auto variable = [&](const QString& value) -> std::optional<QByteArray> {
        if (value == QLatin1String("<unset>"))
            return std::nullopt;
        return QFile::encodeName(resolved(value));
    };

    const ScopedVariable home("HOME", QFile::encodeName(Root() + QStringLiteral("/home")));
    const ScopedVariable config("XDG_CONFIG_HOME", variable(configHome));
    const ScopedVariable state("XDG_STATE_HOME", variable(stateHome));
    // The program's folder does not exist, so files cannot be created there.
    const AppPaths paths = AppPaths::Resolve(Root() + QStringLiteral("/missing/bin"));

    QVERIFY(!paths.IsPortable());
    QCOMPARE(paths.SettingsFile(), resolved(settings));
    QCOMPARE(paths.HistoryFile(), resolved(history));
    for (const QString& folder : created) {
        QVERIFY2(QFileInfo(resolved(folder)).isDir(), qPrintable(folder));
        QCOMPARE(ModeOf(resolved(folder)), mode_t(0700));
    }
    QVERIFY(!QFileInfo::exists(Root() + QStringLiteral("/missing")));
}

void tst_AppPaths::existingFoldersKeepTheirMode() {
    const QString config = Root() + QStringLiteral("/home/.config");
    QVERIFY(QDir().mkpath(config));
    QVERIFY(::chmod(QFile::encodeName(config).constData(), 0755) == 0);
    const ScopedVariable home("HOME", QFile::encodeName(Root() + QStringLiteral("/home")));
    const ScopedVariable configHome("XDG_CONFIG_HOME", std::nullopt);
    const AppPaths paths = AppPaths::Resolve(Root() + QStringLiteral("/missing"));
    QCOMPARE(paths.SettingsFile(), config + QStringLiteral("/quantoria/calc_config.ini"));
    QCOMPARE(ModeOf(config), mode_t(0755));
    QCOMPARE(ModeOf(config + QStringLiteral("/quantoria")), mode_t(0700));
}

void tst_AppPaths::readOnlyProgramFolderIsNotPortable() {
    const QString bin = Root() + QStringLiteral("/bin");
    QVERIFY(QDir().mkdir(bin));
    // Even marked: files that cannot be written there go to the XDG folders.
    QVERIFY(
        QFile(bin + QLatin1Char('/') + QLatin1String(kPortableMarker)).open(QIODevice::WriteOnly));
    QVERIFY(QFile::setPermissions(bin, QFile::ReadOwner | QFile::ExeOwner));
    if (CanCreateFilesIn(bin))
        QSKIP("permissions do not stop this user (root)");
    const ScopedVariable home("HOME", QFile::encodeName(Root() + QStringLiteral("/home")));
    const ScopedVariable config("XDG_CONFIG_HOME", std::nullopt);
    const ScopedVariable state("XDG_STATE_HOME", std::nullopt);
    const AppPaths paths = AppPaths::Resolve(bin);
    QVERIFY(!paths.IsPortable());
    QCOMPARE(paths.SettingsFile(),
             Root() + QStringLiteral("/home/.config/quantoria/calc_config.ini"));
}

void tst_AppPaths::makePrivatePathFailsUnderAFile() {
    QVERIFY(WriteBytes(Root() + QStringLiteral("/file"), "x"));
    QVERIFY(!MakePrivatePath(Root() + QStringLiteral("/file/a/b")));
    QVERIFY(MakePrivatePath(Root() + QStringLiteral("/a/b/../c")));
    QVERIFY(QFileInfo(Root() + QStringLiteral("/a/c")).isDir());
    QVERIFY(!QFileInfo::exists(Root() + QStringLiteral("/a/b")));
}

QTEST_GUILESS_MAIN(tst_AppPaths)
#include "tst_AppPaths.moc"
