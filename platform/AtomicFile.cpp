#include "platform/AtomicFile.h"

#include <QSaveFile>

#include <unistd.h>

AtomicWrite WriteFileAtomically(const QString& path, const QByteArray& bytes) {
    QSaveFile file(path);
    // Unbuffered, so that a short write (file size limit, full disk) shows in the count returned:
    // when QFileDevice's buffer is flushed at commit, a short write is not reported and the
    // file would be committed cut short.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return AtomicWrite::CannotCreate;
    // QSaveFile::commit syncs too but ignores a failure; ours is checked.
    if (file.write(bytes) != bytes.size() || ::fsync(file.handle()) != 0) {
        file.cancelWriting();
        return AtomicWrite::CannotWrite;
    }
    return file.commit() ? AtomicWrite::Done : AtomicWrite::CannotWrite;
}
