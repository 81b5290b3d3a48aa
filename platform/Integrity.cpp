#include "Integrity.h"

#include "FileDescriptor.h"

#include <QCryptographicHash>

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

namespace {

// The magic is kept masked, so that its bytes appear in a file only where a seal put them: a
// magic found anywhere but in a trailer at the end is a sealed file that was cut or added to.
constexpr char kMask = char(0xA5);
constexpr char kMaskedMagic[16] = {'Q' ^ kMask, 'N' ^ kMask, 'T' ^ kMask, 'R' ^ kMask,
                                   'S' ^ kMask, 'E' ^ kMask, 'A' ^ kMask, 'L' ^ kMask,
                                   '-' ^ kMask, 'S' ^ kMask, 'H' ^ kMask, 'A' ^ kMask,
                                   '2' ^ kMask, '5' ^ kMask, '6' ^ kMask, '\x01' ^ kMask};
// Unmasked at run time through a volatile read, so the compiler cannot fold the plain bytes into
// the program's constants.
volatile char g_mask = kMask;
const std::array<char, 16> kSealMagic = [] {
    std::array<char, 16> magic{};
    for (size_t i = 0; i < magic.size(); ++i)
        magic[i] = char(kMaskedMagic[i] ^ g_mask);
    return magic;
}();
constexpr qsizetype kDigestBytes = 32;
constexpr qsizetype kTrailerBytes = sizeof kMaskedMagic + kDigestBytes;

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

// Whether the seal's magic occurs anywhere in the first `size` bytes.
bool ContainsMagic(int fd, qint64 size) {
    std::vector<char> buffer(1 << 20);
    const qint64 overlap = qint64(kSealMagic.size()) - 1;
    for (qint64 offset = 0; offset < size;) {
        const qint64 chunk = std::min<qint64>(qint64(buffer.size()), size - offset);
        if (!ReadAt(fd, buffer.data(), chunk, offset))
            return false;
        if (::memmem(buffer.data(), size_t(chunk), kSealMagic.data(), kSealMagic.size()))
            return true;
        if (offset + chunk >= size)
            break;
        offset += chunk - overlap;
    }
    return false;
}

// Whether an ELF file ends before its own tables and segments do (a cut or half-written copy).
bool Truncated(int fd, qint64 size) {
    unsigned char header[64] = {};
    if (size < qint64(sizeof header) || !ReadAt(fd, header, sizeof header, 0))
        return false;
    if (std::memcmp(header,
                    "\x7f"
                    "ELF",
                    4) != 0 ||
        header[4] != 2 /* 64-bit */ || header[5] != 1 /* little-endian */)
        return false;
    const auto u16 = [&](int at) { return quint64(header[at]) | quint64(header[at + 1]) << 8; };
    const auto u64 = [](const unsigned char* p) {
        quint64 v = 0;
        for (int i = 7; i >= 0; --i)
            v = v << 8 | p[i];
        return v;
    };
    const quint64 sectionTableEnd = u64(header + 0x28) + u16(0x3A) * u16(0x3C);
    if (sectionTableEnd > quint64(size))
        return true;
    const quint64 programTable = u64(header + 0x20);
    const quint64 entrySize = u16(0x36), entries = u16(0x38);
    if (entrySize < 56 || programTable + entrySize * entries > quint64(size))
        return entries > 0;
    for (quint64 i = 0; i < entries; ++i) {
        unsigned char entry[56];
        if (!ReadAt(fd, entry, sizeof entry, programTable + i * entrySize))
            return true;
        if (u64(entry + 8) + u64(entry + 32) > quint64(size)) // p_offset + p_filesz
            return true;
    }
    return false;
}

struct Examined {
    IntegrityStatus status;
    qint64 size = 0;
};

Examined Examine(int fd) {
    const std::optional<uint64_t> regularSize = RegularFileSize(fd);
    if (!regularSize)
        return {IntegrityStatus::Unreadable};
    const qint64 size = qint64(*regularSize);
    std::array<char, kTrailerBytes> trailer;
    if (size < kTrailerBytes)
        return {IntegrityStatus::Unsealed, size};
    if (!ReadAt(fd, trailer.data(), kTrailerBytes, size - kTrailerBytes))
        return {IntegrityStatus::Unreadable, size};
    if (std::memcmp(trailer.data(), kSealMagic.data(), kSealMagic.size()) != 0)
        return {Truncated(fd, size) || ContainsMagic(fd, size) ? IntegrityStatus::Damaged
                                                               : IntegrityStatus::Unsealed,
                size};
    const QByteArray digest = Digest(fd, size - kTrailerBytes);
    if (digest.isEmpty())
        return {IntegrityStatus::Unreadable, size};
    const bool match =
        digest == QByteArrayView(trailer.data() + kSealMagic.size(), kDigestBytes).toByteArray();
    return {match ? IntegrityStatus::Ok : IntegrityStatus::Damaged, size};
}

} // namespace

IntegrityStatus IntegrityCheck(const QString& path) {
    // Opened without waiting on a FIFO; Examine accepts only regular files.
    const FileDescriptor fd(OpenWithoutWaiting(path, O_RDONLY));
    return Examine(fd.get()).status;
}

bool SealFile(const QString& path, QString* error) {
    const auto fail = [&](const QString& reason) {
        if (error)
            *error = path + QStringLiteral(": ") + reason;
        return false;
    };
    const FileDescriptor fd(OpenWithoutWaiting(path, O_RDWR));
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
    const QByteArray trailer = QByteArray(kSealMagic.data(), kSealMagic.size()) + digest;
    if (!WriteAt(fd.get(), trailer.constData(), trailer.size(), examined.size) ||
        ::fsync(fd.get()) != 0)
        return fail(QString::fromLocal8Bit(std::strerror(errno)));
    return true;
}
