#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

// Writes files on a thread of its own, so the interface thread does not wait for the disk. Only
// the newest job handed over counts: a job still waiting is replaced by a later one (each job
// writes the whole file).
class BackgroundWriter {
public:
    using Job = std::function<void()>;

    BackgroundWriter();
    // Finishes the job under way and the one waiting.
    ~BackgroundWriter();
    BackgroundWriter(const BackgroundWriter&) = delete;
    BackgroundWriter& operator=(const BackgroundWriter&) = delete;

    void Post(Job job);
    // Waits until every job handed over has run; false when `timeout` passed first.
    bool WaitIdle(std::chrono::milliseconds timeout);

private:
    void Run();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::optional<Job> m_pending;
    bool m_busy = false;
    bool m_stop = false;
    std::thread m_thread;
};
