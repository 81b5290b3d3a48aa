#pragma once

#include <QString>

// An exclusive lock on a file that other processes, also on other machines sharing the folder
// (NFS), see: flock on "<path>", created 0600 when missing. The kernel drops it when the process
// ends, however it ends.
class FileLock {
public:
    enum class Result { Locked, HeldElsewhere, Unavailable };

    FileLock() = default;
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Unavailable: the file cannot be created or opened as a regular file, or cannot be locked
    // for another reason than another holder.
    Result TryLock(const QString& path);

private:
    int m_fd = -1;
};
