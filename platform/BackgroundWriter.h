#pragma once

#include "platform/AtomicFile.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

// Writes a file with WriteFileAtomically on a thread of its own, so the interface thread does not
// wait for the disk. Only the newest bytes handed over count: a write still waiting is replaced by
// a later one. `done` runs on the writer's thread with the result of each write made.
class BackgroundWriter {
public:
    using Done = std::function<void(AtomicWrite)>;

    BackgroundWriter();
    // Finishes the write under way and the one waiting.
    ~BackgroundWriter();
    BackgroundWriter(const BackgroundWriter&) = delete;
    BackgroundWriter& operator=(const BackgroundWriter&) = delete;

    void Write(const QString& path, QByteArray bytes, Done done = {});
    // Waits until every write handed over is on disk (or failed); false when `timeout` passed
    // first.
    bool WaitIdle(std::chrono::milliseconds timeout);

private:
    struct Job {
        QString path;
        QByteArray bytes;
        Done done;
    };
    void Run();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::optional<Job> m_pending;
    bool m_busy = false;
    bool m_stop = false;
    std::thread m_thread;
};
