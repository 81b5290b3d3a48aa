#include "platform/Integrity.h"

#include <QCryptographicHash>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

namespace {

constexpr char kSealMagic[16] = {'Q', 'N', 'T', 'R', 'S', 'E', 'A', 'L',
                                 '-', 'S', 'H', 'A', '2', '5', '6', '\x01'};
constexpr qsizetype kDigestBytes = 32;
constexpr qsizetype kTrailerBytes = sizeof kSealMagic + kDigestBytes;

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

bool ReadAt(int fd, char* out, qint64 length, qint64 offset) {
    while (length > 0) {
        const ssize_t n = ::pread(fd, out, size_t(length), off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        out += n;
        offset += n;
        length -= n;
    }
    return true;
}

bool WriteAt(int fd, const char* data, qint64 length, qint64 offset) {
    while (length > 0) {
        const ssize_t n = ::pwrite(fd, data, size_t(length), off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        offset += n;
        length -= n;
    }
    return true;
}

// The SHA-256 of the first `length` bytes, or an empty array when they cannot be read.
QByteArray Digest(int fd, qint64 length) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    std::vector<char> buffer(1 << 20);
    for (qint64 offset = 0; offset < length;) {
        const qint64 chunk = std::min<qint64>(qint64(buffer.size()), length - offset);
        if (!ReadAt(fd, buffer.data(), chunk, offset))
            return {};
        hash.addData(QByteArrayView(buffer.data(), chunk));
        offset += chunk;
    }
    return hash.result();
}

struct Examined {
    IntegrityStatus status;
    qint64 size = 0;
};

Examined Examine(int fd) {
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return {IntegrityStatus::Unreadable};
    const qint64 size = st.st_size;
    std::array<char, kTrailerBytes> trailer;
    if (size < kTrailerBytes)
        return {IntegrityStatus::Unsealed, size};
    if (!ReadAt(fd, trailer.data(), kTrailerBytes, size - kTrailerBytes))
        return {IntegrityStatus::Unreadable, size};
    if (std::memcmp(trailer.data(), kSealMagic, sizeof kSealMagic) != 0)
        return {IntegrityStatus::Unsealed, size};
    const QByteArray digest = Digest(fd, size - kTrailerBytes);
    if (digest.isEmpty())
        return {IntegrityStatus::Unreadable, size};
    const bool match =
        digest == QByteArrayView(trailer.data() + sizeof kSealMagic, kDigestBytes).toByteArray();
    return {match ? IntegrityStatus::Ok : IntegrityStatus::Damaged, size};
}

int OpenFile(const QString& path, int flags) {
    const QByteArray name = path.toLocal8Bit();
    if (name.isEmpty() || name.contains('\0'))
        return -1;
    // O_NONBLOCK: opening a FIFO must not hang; Examine accepts only regular files.
    return ::open(name.constData(), flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
}

} // namespace

IntegrityStatus IntegrityCheck(const QString& path) {
    const FileDescriptor fd(OpenFile(path, O_RDONLY));
    return Examine(fd.get()).status;
}

bool SealFile(const QString& path, QString* error) {
    const auto fail = [&](const QString& reason) {
        if (error)
            *error = path + QStringLiteral(": ") + reason;
        return false;
    };
    const FileDescriptor fd(OpenFile(path, O_RDWR));
    if (fd.get() < 0)
        return fail(QString::fromLocal8Bit(std::strerror(errno)));
    const Examined examined = Examine(fd.get());
    switch (examined.status) {
    case IntegrityStatus::Ok:
        return true;
    case IntegrityStatus::Damaged:
        return fail(QStringLiteral("carries a seal that does not match its contents"));
    case IntegrityStatus::Unreadable:
        return fail(QStringLiteral("not a regular file that can be read"));
    case IntegrityStatus::Unsealed:
        break;
    }
    const QByteArray digest = Digest(fd.get(), examined.size);
    if (digest.size() != kDigestBytes)
        return fail(QStringLiteral("cannot be read"));
    const QByteArray trailer = QByteArray(kSealMagic, sizeof kSealMagic) + digest;
    if (!WriteAt(fd.get(), trailer.constData(), trailer.size(), examined.size) ||
        ::fsync(fd.get()) != 0)
        return fail(QString::fromLocal8Bit(std::strerror(errno)));
    return true;
}
