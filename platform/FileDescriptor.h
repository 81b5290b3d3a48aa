#pragma once

#include <QString>

#include <cstdint>
#include <optional>

// A file descriptor of our own, closed when it goes.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor();
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return m_fd; }
    bool IsOpen() const { return m_fd >= 0; }

private:
    int m_fd;
};

// Opens a file by name with `flags` (O_RDONLY, O_RDWR, ...) and O_CLOEXEC, O_NOCTTY and
// O_NONBLOCK, so that opening a FIFO or a device cannot hang the caller. -1 when it cannot be
// opened, or the name cannot be a file's (empty, or with a NUL).
int OpenWithoutWaiting(const QString& path, int flags);

// The size of the regular file open at `fd`; nothing for anything else (a FIFO, a device, a
// folder) or a descriptor that cannot be examined.
std::optional<uint64_t> RegularFileSize(int fd);

// Reads up to `length` bytes at `offset`, resuming after signals and short reads; fewer only
// where the file ends. The number of bytes read; nothing on an error.
std::optional<uint64_t> ReadUpTo(int fd, void* out, uint64_t length, uint64_t offset);

// Reads exactly `length` bytes at `offset`, resuming after signals and short reads. False on an
// error, or when the file ends first.
bool ReadAt(int fd, void* out, uint64_t length, uint64_t offset);

// Writes all `length` bytes at `offset`, resuming after signals and short writes.
bool WriteAt(int fd, const void* data, uint64_t length, uint64_t offset);
