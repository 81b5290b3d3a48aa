// The script engine as a process of its own: the caller's side of quantoria-engine.

#include "EngineProtocol.h"
#include "Errors.h"
#include "ProcessMemory.h"
#include "ScriptEngine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <chrono>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How long the engine may take past the time-out to answer on its own (its watchdog stops the
// script and keeps its variables) before it is killed.
constexpr auto kGrace = 500ms;
// How long a new engine process may take to start.
constexpr auto kStartTimeout = 10s;
// How often the engine's memory is read while it evaluates.
constexpr auto kPollInterval = 25ms;

QString EngineProgram() {
    const QString beside = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    QStringList candidates;
    if (!beside.isEmpty()) {
        const QString folder = QFileInfo(beside).absolutePath();
        candidates << folder + QStringLiteral("/quantoria-engine");
#ifdef QUANTORIA_ENGINE_INSTALLED
        candidates << QDir::cleanPath(folder + QStringLiteral("/" QUANTORIA_ENGINE_INSTALLED));
#endif
    }
#ifdef QUANTORIA_ENGINE_BUILT
    candidates << QStringLiteral(QUANTORIA_ENGINE_BUILT);
#endif
    for (const QString& path : candidates) {
        const QFileInfo info(path);
        if (info.isFile() && info.isExecutable())
            return path;
    }
    return {};
}

class EngineProcess final : public ScriptControl {
public:
    EngineProcess(QString program, ScriptLimits limits)
        : m_program(std::move(program)), m_limits(limits) {
        Start();
    }

    ~EngineProcess() override { Stop(); }

    void SetLanguage(const QString& language) override { m_language = CheckedLanguage(language); }

    Variant Eval(const QString& text) override {
        if (m_language.isEmpty())
            throw EOleSysError(Status::ExceptionOccurred);
        if (m_pid <= 0)
            Start();
        if (!m_ready) {
            QByteArray payload;
            const Outcome outcome = Await(payload, Clock::now() + kStartTimeout, false);
            if (outcome != Outcome::Frame || payload.isEmpty() || payload[0] != 'R')
                Fail(outcome);
            m_ready = true;
            m_idleBytes = ResidentBytes(m_pid);
        }
        if (!EngineProtocol::WriteFrame(
                m_fd, EngineProtocol::Pack('E', [&](QDataStream& out) { out << text; })))
            Fail(Outcome::Ended);

        QByteArray payload;
        const Outcome outcome = Await(payload, Clock::now() + m_limits.timeout + kGrace, true);
        if (outcome != Outcome::Frame)
            Fail(outcome);
        QDataStream in(payload);
        in.setVersion(QDataStream::Qt_6_4);
        qint8 tag = 0;
        in >> tag;
        if (tag == 'V') {
            const Variant value = EngineProtocol::ReadVariant(in);
            if (in.status() == QDataStream::Ok)
                return value;
        } else if (tag == 'F') {
            quint32 status = 0;
            bool restart = false;
            in >> status >> restart;
            if (in.status() == QDataStream::Ok) {
                if (!restart)
                    throw EOleSysError(status);
                Stop();
                Start();
                throw EOleSysError(status, kEngineRestartedNote);
            }
        }
        Fail(Outcome::Ended); // a reply that makes no sense: replace the engine
    }

private:
    enum class Outcome { Frame, Ended, TimedOut, TooLarge, Woken };

    void Start() {
        int sockets[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, sockets[1], EngineProtocol::kEngineFd);
        const QByteArray program = QFile::encodeName(m_program);
        const std::string timeout = std::to_string(m_limits.timeout.count());
        const std::string memory = std::to_string(m_limits.memoryGrowthBytes);
        std::vector<char*> argv = {
            const_cast<char*>(program.constData()), const_cast<char*>("--timeout-ms"),
            const_cast<char*>(timeout.c_str()),     const_cast<char*>("--memory-bytes"),
            const_cast<char*>(memory.c_str()),      nullptr};
        pid_t pid = -1;
        const int spawned =
            posix_spawn(&pid, program.constData(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(sockets[1]);
        if (spawned != 0) {
            ::close(sockets[0]);
            return;
        }
        m_pid = pid;
        m_fd = sockets[0];
        m_ready = false;
        m_buffer.clear();
    }

    void Stop() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            while (::waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
        m_pid = -1;
        m_ready = false;
    }

    // Waits for the engine's next frame, until the deadline, the engine ends, it grows past the
    // memory limit (while evaluating) or the wake descriptor turns readable.
    Outcome Await(QByteArray& payload, Clock::time_point deadline, bool evaluating) {
        if (m_fd < 0)
            return Outcome::Ended;
        const int64_t hardLimit =
            m_idleBytes + m_limits.memoryGrowthBytes + m_limits.memoryGrowthBytes / 4;
        for (;;) {
            bool broken = false;
            if (EngineProtocol::TakeFrame(m_buffer, payload, broken))
                return Outcome::Frame;
            if (broken)
                return Outcome::Ended;
            const auto now = Clock::now();
            if (now >= deadline)
                return Outcome::TimedOut;
            if (evaluating && m_idleBytes > 0 && ResidentBytes(m_pid) > hardLimit)
                return Outcome::TooLarge;
            const auto wait = std::min<Clock::duration>(deadline - now, kPollInterval);
            pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_limits.wakeFd, POLLIN, 0}};
            const int count = m_limits.wakeFd >= 0 ? 2 : 1;
            const int ready =
                ::poll(fds, nfds_t(count),
                       int(std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
            if (ready < 0 && errno != EINTR)
                return Outcome::Ended;
            if (ready <= 0)
                continue;
            if (count == 2 && (fds[1].revents & POLLIN))
                return Outcome::Woken;
            if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
                char chunk[65536];
                const ssize_t n = ::read(m_fd, chunk, sizeof chunk);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    return Outcome::Ended;
                m_buffer.append(chunk, n);
            }
        }
    }

    // Ends the engine after the outcome, starts the next one and raises the status that
    // explains the end.
    [[noreturn]] void Fail(Outcome outcome) {
        uint32_t status = Status::ServerFault;
        switch (outcome) {
        case Outcome::TimedOut:
        case Outcome::Woken:
            status = Status::Aborted;
            break;
        case Outcome::TooLarge:
            status = Status::OutOfMemory;
            break;
        default:
            break;
        }
        if (outcome == Outcome::Ended && m_pid > 0) {
            // Ended on its own: how it ended tells why.
            if (m_fd >= 0)
                ::close(m_fd);
            m_fd = -1;
            int wstatus = 0;
            pid_t reaped;
            const auto give_up = Clock::now() + 1s;
            while ((reaped = ::waitpid(m_pid, &wstatus, WNOHANG)) == 0 && Clock::now() < give_up)
                ::usleep(2000);
            if (reaped == m_pid) {
                m_pid = -1;
                if (WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == EngineProtocol::kOutOfMemoryExit)
                    status = Status::OutOfMemory;
                else if (WIFSIGNALED(wstatus) && WTERMSIG(wstatus) == SIGXCPU)
                    status = Status::Aborted;
            }
        }
        const bool wasRunning = m_ready;
        Stop();
        if (outcome == Outcome::Woken) // the program is ending: no new engine
            throw EOleSysError(status);
        Start();
        if (!wasRunning) // it never came up: no variables were lost
            throw EOleSysError(status);
        throw EOleSysError(status, kEngineRestartedNote);
    }

    const QString m_program;
    const ScriptLimits m_limits;
    QString m_language;
    pid_t m_pid = -1;
    int m_fd = -1;
    bool m_ready = false;
    int64_t m_idleBytes = 0;
    QByteArray m_buffer;
};

} // namespace

std::unique_ptr<ScriptControl> CreateOleObject(const QString& progId, ScriptLimits limits) {
    if (progId.compare(kScriptControlProgId, Qt::CaseInsensitive) != 0)
        throw EOleSysError(Status::InvalidClassString);
    QString program = EngineProgram();
    if (program.isEmpty())
        throw EOleSysError(Status::ClassNotRegistered);
    return std::make_unique<EngineProcess>(std::move(program), limits);
}
