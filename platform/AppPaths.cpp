#include "AppPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cerrno>
#include <sys/stat.h>

namespace {

const QString kSettingsName = QStringLiteral("calc_config.ini");
const QString kHistoryName = QStringLiteral("calc_history.txt");
const QString kFolderName = QStringLiteral("quantoria");

// A file created and removed again: the only test that holds for every user, root included, and
// for read-only mounts.
bool CanCreateFilesIn(const QString& folder) {
    if (folder.isEmpty())
        return false;
    QTemporaryFile probe(folder + QStringLiteral("/.quantoria-probe-XXXXXX"));
    return probe.open(); // removed when it goes out of scope
}

// The system's own program folders, and the `bin` folder of a prefix, are installed places, never
// a portable copy: root can write them, and a package's files belong to the package manager.
bool IsInstalledFolder(const QString& folder) {
    static const QStringList systemFolders = {QStringLiteral("/bin"),
                                              QStringLiteral("/sbin"),
                                              QStringLiteral("/usr/bin"),
                                              QStringLiteral("/usr/sbin"),
                                              QStringLiteral("/usr/games"),
                                              QStringLiteral("/usr/local/bin"),
                                              QStringLiteral("/usr/local/sbin"),
                                              QStringLiteral("/usr/local/games")};
    const QString clean = QDir::cleanPath(QDir(folder).absolutePath());
    if (systemFolders.contains(clean))
        return true;
    // PREFIX/bin beside PREFIX/share: /usr, /usr/local, ~/.local, /opt/NAME, a staging root's usr.
    const QFileInfo info(clean);
    return info.fileName() == QStringLiteral("bin") &&
           QFileInfo(info.path() + QStringLiteral("/share")).isDir();
}

QString BaseFolder(const char* variable, const QString& defaultUnderHome) {
    const QString value = qEnvironmentVariable(variable);
    if (!value.isEmpty() && QDir::isAbsolutePath(value))
        return QDir::cleanPath(value);
    return QDir::cleanPath(QDir::homePath() + QLatin1Char('/') + defaultUnderHome);
}

} // namespace

QString XdgConfigHome() {
    return BaseFolder("XDG_CONFIG_HOME", QStringLiteral(".config"));
}

QString XdgStateHome() {
    return BaseFolder("XDG_STATE_HOME", QStringLiteral(".local/state"));
}

bool MakePrivatePath(const QString& path) {
    const QString clean = QDir::cleanPath(QDir(path).absolutePath());
    if (QFileInfo(clean).isDir())
        return true;
    qsizetype next = 1; // after the root's "/"
    while (next <= clean.size()) {
        qsizetype slash = clean.indexOf(QLatin1Char('/'), next);
        if (slash < 0)
            slash = clean.size();
        const QByteArray folder = QFile::encodeName(clean.first(slash));
        if (::mkdir(folder.constData(), 0700) != 0 && errno != EEXIST)
            return false;
        next = slash + 1;
    }
    return QFileInfo(clean).isDir();
}

AppPaths AppPaths::Resolve(const QString& executableDir) {
    AppPaths paths;
    const bool marked =
        !executableDir.isEmpty() &&
        QFileInfo(QDir(executableDir).filePath(QLatin1String(kPortableMarker))).isFile();
    if (marked && !IsInstalledFolder(executableDir) && CanCreateFilesIn(executableDir)) {
        const QString folder = QDir::cleanPath(QDir(executableDir).absolutePath());
        paths.m_settingsFile = folder + QLatin1Char('/') + kSettingsName;
        paths.m_historyFile = folder + QLatin1Char('/') + kHistoryName;
        paths.m_portable = true;
        return paths;
    }
    const QString configFolder = XdgConfigHome() + QLatin1Char('/') + kFolderName;
    const QString stateFolder = XdgStateHome() + QLatin1Char('/') + kFolderName;
    MakePrivatePath(configFolder);
    MakePrivatePath(stateFolder);
    paths.m_settingsFile = configFolder + QLatin1Char('/') + kSettingsName;
    paths.m_historyFile = stateFolder + QLatin1Char('/') + kHistoryName;
    return paths;
}
