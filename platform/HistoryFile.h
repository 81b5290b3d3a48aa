#pragma once

#include "AtomicFile.h"

#include <QByteArray>
#include <QString>

#include <memory>

// The history file on disk. Its text is the memo's (see calc/logic/HistoryText.h); a long history
// is read in parts: the newest part into the memo at start, the rest when the user goes there.

// A file open for reading, closed when its last holder lets go.
class OpenFile {
public:
    // `isPrivate`: a file of this process alone, which nobody else can change.
    OpenFile(int fd, QString path, bool isPrivate = false)
        : m_fd(fd), m_path(std::move(path)), m_private(isPrivate) {}
    ~OpenFile();
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    int Descriptor() const { return m_fd; }
    // The name it was opened under, for messages.
    const QString& Path() const { return m_path; }
    bool IsPrivate() const { return m_private; }

private:
    int m_fd;
    QString m_path;
    bool m_private;
};

// The part of the history the memo does not hold yet: `size` bytes at `offset` of an open file,
// in the saved form (SavedFormCheck). The memo's text followed by these bytes is the history.
struct HistoryRest {
    std::shared_ptr<const OpenFile> file;
    qint64 offset = 0;
    qint64 size = 0;

    bool IsEmpty() const { return size == 0; }
    FileRange Range() const { return {file ? file->Descriptor() : -1, offset, size}; }
};

struct LoadedHistory {
    bool exists = false; // false: there is no file, which is an empty history
    QString text;        // memo text
    HistoryRest rest;    // what follows the text, not read yet
    // The file is exactly what saving this history writes (SavedFormCheck).
    bool savedForm = false;
};

// Reads the history file. A file that is not there gives an empty history. A file that is there
// but cannot be read (permissions, a folder, an I/O error) raises
// EFOpenError("Cannot open file <path>").
//
// With `headBytes` > 0 a file longer than that, in the saved form throughout, is read only up to
// a line (preferably an entry) boundary within the first `headBytes` bytes; the rest stays in the
// file, which is kept open. A file in another form (an older encoding or line breaks, written by
// hand) is read whole, so that its first save writes it in the saved form as a whole.
LoadedHistory LoadHistoryFile(const QString& path, qint64 headBytes = 0);

// Takes the first part of `rest` as memo text, at least `bytes` of it and up to the next line
// (preferably entry) boundary; all of it when `bytes` is negative. `rest` keeps what is left.
// Raises EReadError("Unable to read from <path>") when the file cannot be read or has become
// shorter; `rest` is then as it was.
QString TakeHistoryRest(HistoryRest& rest, qint64 bytes);

// Writes the history file in one atomic replacement (a temporary file in the same folder, flushed
// to disk and renamed over the old one, keeping its permissions): the memo text followed by the
// rest's bytes; an empty history gives a file of 0 bytes. When the file cannot be opened for
// writing (a missing or read-only folder, a folder in the file's place) EFCreateError("Cannot
// create file <path>") is raised; when writing, flushing or replacing fails (the rest's file
// cut short too), EWriteError("Unable to write to <path>"). After any failure the old file is as
// it was.
void SaveHistoryFile(const QString& path, const QString& memoText, const HistoryRest& rest = {});

// The message SaveHistoryFile raises for a failed write.
QString HistoryWriteFailure(AtomicWrite result, const QString& path);

// The same, from bytes already encoded; returns the outcome instead of raising.
AtomicWrite WriteHistoryFile(const QString& path, const QByteArray& memoBytes,
                             const HistoryRest& rest);

// The rest copied into a file of this process alone: an unnamed file in `folder` (the history's
// own, so that the copy stays on the same disk), which goes away with its last holder. The
// history file itself may be changed in place by others (an editor, a shell's ">") while the
// program runs; the copy is not. The rest as it was when no copy could be made.
HistoryRest PrivateCopy(const HistoryRest& rest, const QString& folder);

// Which file is at a path and when it last changed: a file replaced, changed or removed by
// someone else gets another stamp.
struct FileStamp {
    bool exists = false;
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    qint64 seconds = 0;
    qint64 nanoseconds = 0;

    static FileStamp Of(const QString& path);
    bool operator==(const FileStamp&) const = default;
};
