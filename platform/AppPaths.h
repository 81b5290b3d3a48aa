#pragma once

#include <QString>

// Where the settings file and the history file live, decided once at start.
//
// A portable copy keeps both files next to the program. A copy is portable when the marker file
// kPortableMarker lies beside the program (the build tree has one; a user makes a copy portable
// by adding one) and the folder takes new files (tried by creating and removing one). Whether the
// folder is writable alone says nothing: an installation under the home folder, or one run by
// root, is writable and still installed. An installed place is never portable, marker or not: a
// program folder that is one of the system's (/usr/bin, /usr/local/bin, ...) or a `bin` folder
// beside a `share` folder (the layout of an installation prefix, a package's staging root
// included). Every other copy follows the XDG Base
// Directory Specification: the settings in $XDG_CONFIG_HOME/quantoria (default ~/.config) and the
// history in $XDG_STATE_HOME/quantoria (default ~/.local/state). Resolve creates those two folders,
// and any missing folder above them, with mode 0700; when that fails the paths are still given,
// and the first write reports the error.
inline constexpr char kPortableMarker[] = "quantoria.portable";

class AppPaths {
public:
    static AppPaths Resolve(const QString& executableDir);

    const QString& SettingsFile() const { return m_settingsFile; }
    const QString& HistoryFile() const { return m_historyFile; }
    bool IsPortable() const { return m_portable; }

private:
    QString m_settingsFile;
    QString m_historyFile;
    bool m_portable = false;
};

// The base folders of the XDG Base Directory Specification: the variable when it holds an
// absolute path; when it is unset, empty or relative, the default under the home folder.
QString XdgConfigHome(); // $XDG_CONFIG_HOME, default ~/.config
QString XdgStateHome();  // $XDG_STATE_HOME, default ~/.local/state

// Creates a folder and every missing folder above it with mode 0700 (folders that exist are left
// as they are). Returns whether the folder exists afterwards.
bool MakePrivatePath(const QString& path);
