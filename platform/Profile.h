#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Settings in an INI file, read and written with the rules of the Windows profile functions
// (GetPrivateProfileString, WritePrivateProfileString).
//
// Reading. Lines end in CR LF, LF or a lone CR. A line whose first non-blank character is ";" is a
// comment. A section starts at a line "[name]" (the name runs to the last "]" on the line) and
// ends at the next section line. A key line is any other line containing "="; its key is the text
// before the first "=", its value the text after it, both with blanks (space, tab, vertical tab,
// form feed) trimmed. Section and key names compare without regard to case; the first matching
// section is searched, and in it the first matching key line. A value wrapped in double quotes
// loses them, and a read returns at most 2047 characters (a longer value is cut, never in the
// middle of a surrogate pair). Each line is decoded as UTF-8 when it is valid UTF-8, otherwise as
// Windows-1252; a UTF-8 byte order mark at the start of the file is skipped. A missing or
// unreadable file, a missing section or key all give the default, and so does any damaged file:
// reads never throw.
//
// Writing. A key that exists gets its new value in place: the bytes up to the "=" and the blanks
// after it stay as they were, and so does the line end. A new key goes right after the last key
// line of its section (before the blank lines and comments that lead to the next section), or
// right after the section line when the section has no keys. A new section goes at the end of the
// file, after a blank line when the file's last line is not blank. Every other line keeps its
// bytes, including its line end and any bytes that are not valid UTF-8. New lines end like the
// first line of the file that has an end, or in LF in a file that has none. Written text is UTF-8.
// A value with blanks at either end, or one that starts and ends with a double quote, is written
// inside double quotes, so that reading it back gives exactly the written text.
//
// Each write replaces the file atomically: the new contents go to a temporary file in the same
// folder, which is flushed to disk and renamed over the old file, keeping its permissions. On any
// failure EIniFileException("Unable to write to <path>") is raised and the old file is untouched.
// A file that exists but cannot be read is never replaced: writing to it fails.
// Names and values must fit on one line: a line break in any of them, an empty key, a key with
// "=" or a key starting with ";" or "[" fail the same way.

struct ProfileEntry {
    QString section;
    QString key;
    QString value;
};

// The lines of one INI file in memory: lookups and edits without any file access.
class ProfileDocument {
public:
    ProfileDocument() = default;
    explicit ProfileDocument(const QByteArray& bytes);

    QByteArray ToBytes() const;

    QString ReadString(const QString& section, const QString& key,
                       const QString& defaultValue) const;
    // Decimal text with an optional sign, or "0x"/"0X" and hexadecimal digits; anything else
    // (an empty value, trailing characters, a value outside the int range) gives the default.
    int ReadInteger(const QString& section, const QString& key, int defaultValue) const;
    // An integer as above: 0 is false, any other value true; a non-integer gives the default.
    bool ReadBool(const QString& section, const QString& key, bool defaultValue) const;

    // Sets one value with the rules for writing above. Returns false, changing nothing, when the
    // names or the value cannot be stored.
    bool WriteString(const QString& section, const QString& key, const QString& value);

private:
    struct Line {
        QByteArray text; // without the line end
        QByteArray end;  // "\r\n", "\n", "\r", or empty for a last line without one
    };
    struct Place {
        qsizetype section = -1; // the section line
        qsizetype key = -1;     // the key line
        qsizetype lastKey = -1; // the section's last key line
    };

    QString LineText(qsizetype index) const;
    Place Find(const QString& section, const QString& key) const;
    QByteArray EndForLineBefore(qsizetype index) const;
    void EndLine(qsizetype index);

    QList<Line> m_lines;
    QByteArray m_lineEnd = "\n";
};

class Profile {
public:
    explicit Profile(QString path);
    const QString& Path() const { return m_path; }

    // The file's current contents, for several reads from one opening; empty when the file is
    // missing or cannot be read.
    ProfileDocument Load() const;

    // Values in one atomic replacement of the file, applied in order; nothing is written when one
    // fails.
    void Write(const QList<ProfileEntry>& entries);

private:
    [[noreturn]] void Fail() const;

    QString m_path;
};
