#include "AtomicFile.h"

#include "FileDescriptor.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

FileAt InspectFile(const QString& path, bool forWriting) {
    const QByteArray name = QFile::encodeName(path);
    struct stat link {};
    if (::lstat(name.constData(), &link) != 0)
        return errno == ENOENT ? FileAt{FileAt::Missing, path} : FileAt{FileAt::Refused, path};
    QString target = path;
    struct stat file = link;
    if (S_ISLNK(link.st_mode)) {
        struct stat folder {};
        const QByteArray folderName = QFile::encodeName(QFileInfo(path).absolutePath());
        if (::stat(folderName.constData(), &folder) != 0 || link.st_uid != ::geteuid() ||
            folder.st_uid != ::geteuid())
            return {FileAt::Refused, path};
        if (::stat(name.constData(), &file) != 0) // dangling: its target is never created
            return {FileAt::Refused, path};
        target = QFileInfo(path).canonicalFilePath();
        if (target.isEmpty())
            return {FileAt::Refused, path};
    }
    if (!S_ISREG(file.st_mode))
        return {FileAt::Refused, path};
    // Replacing a file makes the new one ours: another user's file is left alone.
    if (forWriting && file.st_uid != ::geteuid())
        return {FileAt::Refused, path};
    return {FileAt::Regular, target};
}

int OpenRegularFile(const QString& path, bool* missing) {
    if (missing)
        *missing = false;
    const FileAt at = InspectFile(path, false);
    if (at.kind == FileAt::Missing && missing)
        *missing = true;
    if (at.kind != FileAt::Regular)
        return -1;
    const int fd = ::open(QFile::encodeName(at.target).constData(),
                          O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT && missing)
            *missing = true;
        return -1;
    }
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool ReadRegularFile(const QString& path, QByteArray& bytes, bool* missing) {
    const int fd = OpenRegularFile(path, missing);
    if (fd < 0)
        return false;
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    bytes = file.readAll();
    return file.error() == QFileDevice::NoError;
}

int RemoveLeftoverTemporaries(const QString& path, int minimumAgeSeconds) {
    const QFileInfo info(path);
    const QString prefix = info.fileName() + QLatin1Char('.');
    QDir folder = info.absoluteDir();
    int removed = 0;
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-minimumAgeSeconds);
    const QStringList names = folder.entryList({prefix + QStringLiteral("??????")},
                                               QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : names) {
        const QString suffix = name.mid(prefix.size());
        const bool random = std::all_of(suffix.begin(), suffix.end(), [](QChar c) {
            return c.isLetterOrNumber() && c.unicode() < 128;
        });
        const QString candidate = folder.filePath(name);
        struct stat file {};
        if (!random || ::lstat(QFile::encodeName(candidate).constData(), &file) != 0 ||
            !S_ISREG(file.st_mode) || file.st_uid != ::geteuid() ||
            QDateTime::fromSecsSinceEpoch(file.st_mtime, Qt::UTC) > before)
            continue;
        if (::unlink(QFile::encodeName(candidate).constData()) == 0)
            ++removed;
    }
    return removed;
}

// In the kernel where it can, through a buffer where it cannot (another file system, an old
// kernel).
bool CopyRange(FileRange range, int to) {
    off64_t at = range.offset;
    qint64 left = range.size;
    while (left > 0) {
        const ssize_t copied = ::copy_file_range(range.fd, &at, to, nullptr, size_t(left), 0);
        if (copied > 0) {
            left -= copied;
            continue;
        }
        if (copied == 0)
            return false; // the file is shorter than it was
        if (errno == EINTR)
            continue;
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
            return false;
        break;
    }
    std::vector<char> buffer(std::min<qint64>(left, 1 << 20));
    while (left > 0) {
        const qint64 got = std::min<qint64>(left, qint64(buffer.size()));
        if (!ReadAt(range.fd, buffer.data(), uint64_t(got), uint64_t(at)))
            return false; // an error, or the file is shorter than it was
        for (qint64 put = 0; put < got;) {
            const ssize_t n = ::write(to, buffer.data() + put, size_t(got - put));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            put += n;
        }
        at += got;
        left -= got;
    }
    return true;
}

AtomicWrite WriteFileAtomically(const QString& path, const QByteArray& bytes) {
    return WriteFileAtomically(path, bytes, {});
}

AtomicWrite WriteFileAtomically(const QString& path, const QByteArray& bytes, FileRange more) {
    const FileAt at = InspectFile(path, true);
    if (at.kind == FileAt::Refused)
        return AtomicWrite::CannotCreate;
    QSaveFile file(at.target);
    // Unbuffered, so that a short write (file size limit, full disk) shows in the count returned:
    // when QFileDevice's buffer is flushed at commit, a short write is not reported and the
    // file would be committed cut short.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return AtomicWrite::CannotCreate;
    // QSaveFile::commit syncs too but ignores a failure; ours is checked.
    if (file.write(bytes) != bytes.size() || (more.size > 0 && !CopyRange(more, file.handle())) ||
        ::fsync(file.handle()) != 0) {
        file.cancelWriting();
        return AtomicWrite::CannotWrite;
    }
    return file.commit() ? AtomicWrite::Done : AtomicWrite::CannotWrite;
}
