#pragma once

#include <QString>

// Starting the program at login: a desktop entry "Quantoria.desktop" in the XDG autostart folder,
// which the desktop sessions read at login.
class Autostart {
public:
    // The autostart folder of the XDG Base Directory Specification: $XDG_CONFIG_HOME/autostart,
    // by default ~/.config/autostart.
    Autostart();
    explicit Autostart(QString folder);

    const QString& Folder() const { return m_folder; }
    QString EntryFile() const;

    // Writes the entry (creating the folder with mode 0700 when missing) in one atomic
    // replacement. Raises ERegistryException("Failed to set data for 'Quantoria'") on failure.
    void Set(const QString& executablePath);
    // Deletes the entry. A missing entry and any failure are silent.
    void Remove();
    bool IsSet() const;

    // The Exec value for a program path: the path as one quoted argument (inside double quotes
    // with '"', '`', '$' and '\' escaped by a backslash, "%" doubled as the field-code escape),
    // then the string escapes of the file format: every backslash doubled, tab, newline and
    // carriage return written as \t, \n, \r.
    static QString ExecValue(const QString& executablePath);
    // The whole file.
    static QByteArray EntryText(const QString& executablePath);

private:
    QString m_folder;
};
