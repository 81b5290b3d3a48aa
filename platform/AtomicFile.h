#pragma once

#include <QByteArray>
#include <QString>

enum class AtomicWrite {
    Done,
    CannotCreate, // the temporary file could not be made (missing or read-only folder, a folder
                  // in the file's place)
    CannotWrite,  // writing, flushing to disk or renaming failed
};

// Replaces a file in one step: the bytes go to a temporary file in the same folder, which is
// flushed to disk (fsync) and renamed over the old file; the old file's permissions are kept, a
// new file gets 0666 less the umask. On failure the temporary file is removed and the old file is
// as it was. Only a regular file of this user, or a missing one, is written (see FileAt); a
// symbolic link that may be followed has its target replaced. Otherwise: CannotCreate.
AtomicWrite WriteFileAtomically(const QString& path, const QByteArray& bytes);

// `size` bytes at `offset` of an open file.
struct FileRange {
    int fd = -1;
    qint64 offset = 0;
    qint64 size = 0;
};

// The same, writing `bytes` followed by a copy of `more` (a range that ends early is a failure:
// CannotWrite).
AtomicWrite WriteFileAtomically(const QString& path, const QByteArray& bytes, FileRange more);

// Appends a copy of a range to an open file at its current position. False on a read or write
// error, or when the range's file has become shorter.
bool CopyRange(FileRange range, int to);

// Removes the temporary files that a save of `path` cut short (the process killed between the
// temporary file's naming and its rename) left beside it: regular files of this user named
// "<file name>.XXXXXX", last changed at least `minimumAgeSeconds` ago (a save of another copy that
// shares the folder is younger). Returns how many were removed.
int RemoveLeftoverTemporaries(const QString& path, int minimumAgeSeconds = 60);

// What is at a path, for reading or writing one of the program's files.
struct FileAt {
    enum Kind {
        Missing, // nothing there: a new file may be created at `path`
        Regular, // a regular file at `target` (the path, or a symbolic link's target)
        Refused, // a FIFO, device, socket or folder, a link that may not be followed, a dangling
                 // link (whose target is never created), or, for writing, another user's file
    };
    Kind kind = Missing;
    QString target;
};

// Follows a symbolic link only as the kernel's protected-symlinks rule would, made strict: the
// link and the folder that holds it both belong to this user. Never opens anything, so a FIFO is
// never waited on.
FileAt InspectFile(const QString& path, bool forWriting);

// Opens a regular file for reading the same way: a descriptor, or -1 (`missing` set when there is
// nothing there).
int OpenRegularFile(const QString& path, bool* missing = nullptr);

// Reads a whole regular file (InspectFile, then opened without blocking and checked once more).
// False when there is nothing to read (`missing` set) or it cannot be read.
bool ReadRegularFile(const QString& path, QByteArray& bytes, bool* missing = nullptr);
