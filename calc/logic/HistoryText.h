#pragma once

#include <QByteArray>
#include <QString>

// The history file and the history memo's text.
//
// In the memo every line ends in "\n". In the file lines end in CR LF and the text is UTF-8
// without a byte order mark. Older files may be in the Windows ANSI code page (Windows-1252) and
// may end their lines in LF or in a lone CR.

// File bytes to memo text. The bytes are UTF-8 when they are valid UTF-8 (a byte order mark at
// the start is dropped, a doubled one too), otherwise Windows-1252, in which every byte is one
// character and nothing becomes U+FFFD. Every line break then becomes one "\n": a CR LF pair, a
// lone CR, a lone LF, and also U+2028 and U+2029, which the memo shows as line breaks and which
// EncodeHistoryText writes as CR LF.
QString DecodeHistoryBytes(const QByteArray& bytes);

// Memo text to file bytes: UTF-8 without a byte order mark, every line break written as CR LF.
// A line break is "\n", a CR LF pair, a lone CR, U+2028 (line separator) or U+2029 (the block
// separator of QTextDocument::toRawText).
QByteArray EncodeHistoryText(const QString& memoText);

struct LoadedHistory {
    bool exists = false; // false: there is no file, which is an empty history
    QString text;        // memo text
};

// Reads the history file. A file that is not there gives an empty history. A file that is there
// but cannot be read (permissions, a folder, an I/O error) raises
// EFOpenError("Cannot open file <path>").
LoadedHistory LoadHistoryFile(const QString& path);

// Writes the history file in one atomic replacement (a temporary file in the same folder, flushed
// to disk and renamed over the old one, keeping its permissions); an empty text gives a file of
// 0 bytes. When the file cannot be opened for writing (a missing or read-only folder, a folder in
// the file's place) EFCreateError("Cannot create file <path>") is raised; when writing, flushing
// or replacing fails, EWriteError("Unable to write to <path>"). After any failure the old file is
// as it was.
void SaveHistoryFile(const QString& path, const QString& memoText);
