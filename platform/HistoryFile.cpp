#include "HistoryFile.h"

#include "Errors.h"
#include "HistoryText.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 kScanChunk = 1 << 20;

// Reads up to `size` bytes at `offset`; fewer only at the end of the file. False on an error.
bool ReadAt(int fd, qint64 offset, qint64 size, QByteArray& bytes) {
    bytes.resize(size);
    qint64 got = 0;
    while (got < size) {
        const ssize_t n = ::pread(fd, bytes.data() + got, size_t(size - got), offset + got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        got += n;
    }
    bytes.truncate(got);
    return true;
}

// The whole file, to its end as it is now.
bool ReadToEnd(int fd, QByteArray& bytes) {
    bytes.clear();
    QByteArray chunk;
    for (;;) {
        if (!ReadAt(fd, bytes.size(), kScanChunk, chunk))
            return false;
        if (chunk.isEmpty())
            return true;
        bytes += chunk;
    }
}

} // namespace

OpenFile::~OpenFile() {
    ::close(m_fd);
}

LoadedHistory LoadHistoryFile(const QString& path, qint64 headBytes) {
    bool missing = false;
    const int fd = OpenRegularFile(path, &missing);
    if (fd < 0) {
        if (missing)
            return {};
        throw EFOpenError(QStringLiteral("Cannot open file ") + path);
    }
    auto file = std::make_shared<const OpenFile>(fd, path);
    const auto cannotRead = [&] { return EFOpenError(QStringLiteral("Cannot open file ") + path); };

    // The whole file is checked a piece at a time; of a long file in the saved form only the
    // head is kept.
    const qint64 keep = headBytes > 0 ? headBytes + 2 : std::numeric_limits<qint64>::max();
    SavedFormCheck check;
    QByteArray kept;
    QByteArray chunk;
    qint64 total = 0;
    do {
        if (!ReadAt(fd, total, kScanChunk, chunk))
            throw cannotRead();
        check.Feed(chunk);
        if (kept.size() < keep)
            kept += QByteArrayView(chunk).first(std::min<qint64>(chunk.size(), keep - kept.size()));
        total += chunk.size();
    } while (!chunk.isEmpty());

    if (kept.size() == total)
        return {true, DecodeHistoryBytes(kept), {}, check.Finish()};
    const qsizetype cut = HistoryCut(kept, headBytes);
    if (check.Finish() && cut > 0)
        return {true, DecodeHistoryBytes(kept.first(cut)),
                HistoryRest{std::move(file), cut, total - cut}, true};
    // Another form (to be written whole), or a first line longer than the head: read whole.
    if (!ReadToEnd(fd, kept))
        throw cannotRead();
    return {true, DecodeHistoryBytes(kept), {}, check.Finish()};
}

QString TakeHistoryRest(HistoryRest& rest, qint64 bytes) {
    if (rest.IsEmpty())
        return {};
    const auto cannotRead = [&] {
        return EReadError(QStringLiteral("Unable to read from ") + rest.file->Path());
    };
    const int fd = rest.file->Descriptor();
    QByteArray taken;
    qsizetype cut = 0;
    // Up to the last boundary within the budget; a line longer than that doubles it.
    for (qint64 budget = std::max<qint64>(bytes, 1); bytes >= 0 && budget < rest.size;
         budget *= 2) {
        const qint64 want = std::min(rest.size, budget + 2);
        if (!ReadAt(fd, rest.offset, want, taken) || taken.size() < want)
            throw cannotRead();
        cut = HistoryCut(taken, budget);
        if (cut > 0)
            break;
    }
    if (cut == 0) {
        if (!ReadAt(fd, rest.offset, rest.size, taken) || taken.size() < rest.size)
            throw cannotRead();
        cut = taken.size();
    }
    const QString text = DecodeHistoryBytes(taken.first(cut));
    rest.offset += cut;
    rest.size -= cut;
    if (rest.IsEmpty())
        rest = {};
    return text;
}

AtomicWrite WriteHistoryFile(const QString& path, const QByteArray& memoBytes,
                             const HistoryRest& rest) {
    return WriteFileAtomically(path, memoBytes, rest.Range());
}

HistoryRest PrivateCopy(const HistoryRest& rest, const QString& folder) {
    if (rest.IsEmpty() || rest.file->IsPrivate())
        return rest;
    const QByteArray name = QFile::encodeName(folder);
    int fd = ::open(name.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) { // a file system without unnamed files: a named one, removed at once
        QByteArray pattern = name + "/.calc_history-rest-XXXXXX";
        fd = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (fd >= 0)
            ::unlink(pattern.constData());
    }
    if (fd < 0)
        return rest;
    auto copy = std::make_shared<const OpenFile>(fd, rest.file->Path(), true);
    if (!CopyRange(rest.Range(), fd))
        return rest;
    return {std::move(copy), 0, rest.size};
}

QString HistoryWriteFailure(AtomicWrite result, const QString& path) {
    switch (result) {
    case AtomicWrite::Done:
        break;
    case AtomicWrite::CannotCreate:
        return QStringLiteral("Cannot create file ") + path;
    case AtomicWrite::CannotWrite:
        return QStringLiteral("Unable to write to ") + path;
    }
    return {};
}

void SaveHistoryFile(const QString& path, const QString& memoText, const HistoryRest& rest) {
    const AtomicWrite result = WriteHistoryFile(path, EncodeHistoryText(memoText), rest);
    if (result == AtomicWrite::CannotCreate)
        throw EFCreateError(HistoryWriteFailure(result, path));
    if (result == AtomicWrite::CannotWrite)
        throw EWriteError(HistoryWriteFailure(result, path));
}

FileStamp FileStamp::Of(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    return {true, st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
}
