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
// as it was. A symbolic link is followed: its target is replaced.
AtomicWrite WriteFileAtomically(const QString& path, const QByteArray& bytes);
