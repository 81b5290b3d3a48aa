#include "FileDescriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Moves `length` bytes at `offset` with pread or pwrite, resuming after signals and short moves.
template <typename Call, typename Byte>
bool Transfer(Call call, int fd, Byte* bytes, uint64_t length, uint64_t offset) {
    while (length > 0) {
        const ssize_t n = call(fd, bytes, size_t(length), off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        offset += uint64_t(n);
        length -= uint64_t(n);
    }
    return true;
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

bool ReadAt(int fd, void* out, uint64_t length, uint64_t offset) {
    return Transfer(::pread, fd, static_cast<char*>(out), length, offset);
}

bool WriteAt(int fd, const void* data, uint64_t length, uint64_t offset) {
    return Transfer(::pwrite, fd, static_cast<const char*>(data), length, offset);
}
