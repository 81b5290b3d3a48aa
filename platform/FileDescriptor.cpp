#include "FileDescriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Moves up to `length` bytes at `offset` with pread or pwrite, resuming after signals and short
// moves, until all are moved or the call moves none (the end of the file). The number moved;
// nothing on an error.
template <typename Call, typename Byte>
std::optional<uint64_t> Transfer(Call call, int fd, Byte* bytes, uint64_t length, uint64_t offset) {
    uint64_t done = 0;
    while (done < length) {
        const ssize_t n = call(fd, bytes + done, size_t(length - done), off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        done += uint64_t(n);
    }
    return done;
}

} // namespace

FileDescriptor::~FileDescriptor() {
    if (m_fd >= 0)
        ::close(m_fd);
}

int OpenWithoutWaiting(const QString& path, int flags) {
    const QByteArray name = path.toLocal8Bit();
    if (name.isEmpty() || name.contains('\0'))
        return -1;
    return ::open(name.constData(), flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
}

std::optional<uint64_t> RegularFileSize(int fd) {
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0)
        return std::nullopt;
    return uint64_t(st.st_size);
}

std::optional<uint64_t> ReadUpTo(int fd, void* out, uint64_t length, uint64_t offset) {
    return Transfer(::pread, fd, static_cast<char*>(out), length, offset);
}

bool ReadAt(int fd, void* out, uint64_t length, uint64_t offset) {
    return ReadUpTo(fd, out, length, offset) == length;
}

bool WriteAt(int fd, const void* data, uint64_t length, uint64_t offset) {
    return Transfer(::pwrite, fd, static_cast<const char*>(data), length, offset) == length;
}
