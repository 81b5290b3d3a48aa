#include "HistoryStore.h"

#include "ErrorReporter.h"
#include "Errors.h"
#include "HistoryText.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>

#include <atomic>

namespace {

// A session file's name: the history file's, with the start's date and time and the process
// (copies started in the same second each get their own), and a count for a further store of
// the same process.
QString SessionFileName(const QString& historyFile) {
    static std::atomic<int> stores{0};
    const int store = stores++;
    const QFileInfo info(historyFile);
    QString name = info.absolutePath() + QLatin1Char('/') + info.completeBaseName() +
                   QStringLiteral("-session-") +
                   QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")) +
                   QLatin1Char('-') + QString::number(QCoreApplication::applicationPid());
    if (store > 0)
        name += QLatin1Char('-') + QString::number(store);
    return name + QStringLiteral(".txt");
}

} // namespace

HistoryStore::HistoryStore(QString path, ErrorReporter& errors, Holder holder)
    : m_path(std::move(path)), m_errors(errors), m_holder(std::move(holder)) {
    // The history reaches the disk a moment after each change, off the evaluation path, so a
    // crash or a lost display connection loses at most that moment.
    m_autosave.setSingleShot(true);
    m_autosave.setInterval(kAutosaveDelay);
    connect(&m_autosave, &QTimer::timeout, this, [this] { SaveInBackground(true); });
}

LoadedHistory HistoryStore::Load(const QString& programName, qint64 headBytes) {
    m_programName = programName;
    const QString sessionFile = SessionFileName(m_path);
    const FileLock::Result lock = m_lock.TryLock(m_path + QStringLiteral(".lock"));
    m_heldElsewhere = lock == FileLock::Result::HeldElsewhere;
    // While this copy holds the lock no other copy saves the history file, so a temporary file of
    // its save is a leftover whatever its age; otherwise only old ones are.
    if (lock == FileLock::Result::Locked)
        RemoveLeftoverTemporaries(m_path, 0);
    else
        RemoveLeftoverTemporaries(m_path);
    if (m_heldElsewhere) {
        m_useSessionFile = true;
        m_sessionFile = sessionFile;
    }
    LoadedHistory history;
    try {
        history = LoadHistoryFile(m_path, headBytes);
    } catch (const EFOpenError&) {
        m_useSessionFile = true;
        m_sessionFile = sessionFile;
        throw;
    }
    // A missing file, or one in another form, is written by the next save; so is the session
    // file of a copy that does not own the history.
    m_dirty = !history.savedForm || m_heldElsewhere;
    m_stamp = FileStamp::Of(Target());
    if (m_heldElsewhere)
        TellSessionFile();
    QTimer::singleShot(kCopyDelay, this, [this] { KeepRestPrivate(); });
    if (m_dirty)
        m_autosave.start();
    return history;
}

void HistoryStore::Changed() {
    m_dirty = true;
    m_autosave.start();
}

// The writer thread encodes and writes a snapshot of the holder's text followed by the rest not
// taken in. A rest still in the file it was read from is copied into a private file first, so that
// a change made to the history file behind the program's back cannot alter it.
void HistoryStore::SaveInBackground(bool report) {
    m_autosave.stop();
    QString text = m_holder.text();
    const HistoryRest rest = m_holder.rest();
    if (!ToSave(text, rest))
        return;
    const QString path = Target();
    const bool session = m_useSessionFile;
    m_dirty = false;
    m_writer.Post([this, path, session, report, text = std::move(text), rest] {
        // The rest is first copied where nobody else can change it (once).
        const HistoryRest source = PrivateCopy(rest, QFileInfo(path).absolutePath());
        const AtomicWrite result = WriteHistoryFile(path, EncodeHistoryText(text), source);
        const FileStamp stamp = FileStamp::Of(path);
        QMetaObject::invokeMethod(
            this,
            [this, path, session, report, result, rest, source, stamp] {
                m_holder.moveRest(rest, source);
                if (result == AtomicWrite::Done) {
                    if (path == Target())
                        m_stamp = stamp;
                    m_failureShown = false;
                    if (session)
                        TellSessionFile();
                    return;
                }
                m_dirty = true;
                if (!report)
                    m_autosave.start();
                else if (!std::exchange(m_failureShown, true))
                    m_errors.ShowException(HistoryWriteFailure(result, path));
            },
            Qt::QueuedConnection);
    });
}

bool HistoryStore::WaitWritten(std::chrono::milliseconds timeout) {
    return m_writer.WaitIdle(timeout);
}

void HistoryStore::Save() {
    const QString text = m_holder.text();
    const HistoryRest rest = m_holder.rest();
    if (!ToSave(text, rest))
        return;
    SaveHistoryFile(Target(), text, rest);
    m_dirty = false;
    m_stamp = FileStamp::Of(Target());
    if (m_useSessionFile)
        TellSessionFile();
}

void HistoryStore::SaveAtExit() {
    m_autosave.stop();
    const bool written = m_writer.WaitIdle(kWriteWait);
    // The writer's outcomes, which the event loop would have delivered.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    // A history saved as it is and still on disk as written is not written again.
    if (!written || m_dirty || FileStamp::Of(Target()) != m_stamp)
        Save();
}

void HistoryStore::Erase() {
    m_autosave.stop();
    m_writer.WaitIdle(kWriteWait);
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    // Another copy owns the history file: only this session's file is emptied.
    if (m_heldElsewhere) {
        SaveHistoryFile(m_sessionFile, QString());
        m_dirty = false;
        m_stamp = FileStamp::Of(m_sessionFile);
        return;
    }
    // The user asked for an empty history: that may replace even a file that could not be read.
    SaveHistoryFile(m_path, QString());
    m_useSessionFile = false;
    m_dirty = false;
    m_stamp = FileStamp::Of(m_path);
}

QString HistoryStore::Target() const {
    return m_useSessionFile ? m_sessionFile : m_path;
}

// A session file is written only once it has something in it.
bool HistoryStore::ToSave(const QString& text, const HistoryRest& rest) const {
    return !m_useSessionFile || (!m_sessionFile.isEmpty() && (!text.isEmpty() || !rest.IsEmpty()));
}

void HistoryStore::TellSessionFile() {
    if (std::exchange(m_sessionTold, true))
        return;
    m_errors.ShowException(
        (m_heldElsewhere
             ? QStringLiteral("The history file %1 is in use by another copy of %3, which keeps "
                              "it. The history of this session is kept in %2")
             : QStringLiteral("The history file %1 could not be read, so it is left as it is. "
                              "The history of this session is kept in %2"))
            .arg(m_path, m_sessionFile, m_programName));
}

// The rest of a long history still in the history file is copied, on the writer thread, where
// nobody else can change it.
void HistoryStore::KeepRestPrivate() {
    const HistoryRest rest = m_holder.rest();
    if (rest.IsEmpty())
        return;
    const QString folder = QFileInfo(Target()).absolutePath();
    m_writer.Post([this, rest, folder] {
        const HistoryRest copy = PrivateCopy(rest, folder);
        QMetaObject::invokeMethod(
            this, [this, rest, copy] { m_holder.moveRest(rest, copy); }, Qt::QueuedConnection);
    });
}
