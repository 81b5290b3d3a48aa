#pragma once

#include "BackgroundWriter.h"
#include "FileLock.h"
#include "HistoryFile.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>

class ErrorReporter;

// When and where the history is written, for whatever holds it in memory (the window's memo).
//
// - One owner at a time: Load takes an flock on "<history file>.lock". A store that finds it held
//   by another copy (another session, another machine sharing the folder) reads the history all
//   the same, tells the user once, and writes its own entries to a session file beside it,
//   "<name>-session-<yyyyMMdd-HHmmss>-<process id>.txt"; its erase empties only that file.
// - A history file that exists but cannot be read is never written over (only an erase replaces
//   it): this session's entries go to a session file too, once there are any, and the user is
//   told its name once.
// - Changed marks the history changed and saves it a moment later on the writer thread; a failed
//   save is tried again by the next one, and a failure of such a save is reported once, until a
//   save succeeds again.
// - SaveAtExit writes only when the history changed since the last save, the last save failed,
//   or the file is no longer as that save or the load left it (FileStamp).
// - Shortly after the load the rest of a long history is copied where nobody else can change it
//   (PrivateCopy); the holder is told through `moveRest`.
//
// Messages go to the ErrorReporter; nothing here raises from the event loop. Everything but the
// writer thread's job runs on the thread that created the store.
class HistoryStore : public QObject {
public:
    // The history in memory: the text its holder shows and the part of the file it has not
    // taken in yet (the holder's text followed by the rest is the whole history).
    struct Holder {
        std::function<QString()> text;
        std::function<HistoryRest()> rest;
        // The rest's bytes were copied to another file: `from` is the rest as the copy began,
        // `to` where those bytes are now (THistoryMemo::MoveRest).
        std::function<void(const HistoryRest& from, const HistoryRest& to)> moveRest;
    };

    // How long the caller waits at most for the previous write (a slow or stuck disk).
    static constexpr std::chrono::milliseconds kWriteWait{5000};
    // How much of a long history Load reads; the holder takes in the rest as it needs it.
    static constexpr qint64 kHeadBytes = 16 * 1024;
    // How long after a change the autosave writes it.
    static constexpr std::chrono::milliseconds kAutosaveDelay{1000};
    // When, after the load, the rest is copied (not while the program starts: the copy's disk and
    // processor time would slow it).
    static constexpr std::chrono::milliseconds kCopyDelay{2000};

    HistoryStore(QString path, ErrorReporter& errors, Holder holder);

    // Takes the history's lock and reads the file (LoadHistoryFile): its head and the rest.
    // `programName` names the program in the message to a copy that does not own the history.
    // A missing file is an empty history, which the first save creates. A file that cannot be
    // read raises EFOpenError("Cannot open file <path>"), and this session's history goes to a
    // session file from then on.
    LoadedHistory Load(const QString& programName, qint64 headBytes = kHeadBytes);

    // The holder's history changed (not by taking in more of the rest): the autosave writes it.
    void Changed();
    // Hands the history to the writer thread. A failure is reported (once, until a save
    // succeeds) when `report` is set, otherwise the autosave tries again a moment later.
    void SaveInBackground(bool report);
    // Waits until what was handed to the writer thread is on disk (or failed); false when
    // `timeout` passed first.
    bool WaitWritten(std::chrono::milliseconds timeout = kWriteWait);
    // The last save, at the end of the program: waits for the writer thread and saves unless the
    // file is already as a save would leave it.
    void SaveAtExit();
    // Writes an empty history at once, over an unreadable history file too; a copy that does not
    // own the history empties only its session file. For after the holder was emptied.
    void Erase();

    // The file this session's history goes to: the history file, or a session file.
    QString Target() const;

private:
    // Writes the history now; raises SaveHistoryFile's errors.
    void Save();
    bool ToSave(const QString& text, const HistoryRest& rest) const;
    void TellSessionFile();
    void KeepRestPrivate();

    QString m_path;
    ErrorReporter& m_errors;
    Holder m_holder;
    QString m_programName;
    // The history file is not this copy's to write (it exists but could not be read, or another
    // copy owns it): it is never written over, and this session's entries go to m_sessionFile.
    bool m_useSessionFile = false;
    QString m_sessionFile;
    bool m_sessionTold = false;
    FileLock m_lock;
    bool m_heldElsewhere = false;
    QTimer m_autosave;
    bool m_failureShown = false;
    // The history changed since the last save handed over, or the file is not as a save would
    // write it (missing, or written in an older form): the end of the program writes it.
    bool m_dirty = false;
    // The target file as the last save or the load left it.
    FileStamp m_stamp;
    // Last, so that it finishes its jobs while everything they report to is still there.
    BackgroundWriter m_writer;
};
