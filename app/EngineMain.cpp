// quantoria-engine: the JavaScript engine of one calculator window (or of quantoria-eval), in a
// process of its own. It reads expressions from descriptor 3 and answers each with its value or
// its failure status (platform/EngineProtocol.h). It ends when the other side closes the socket
// or goes away.
//
// Limits on top of the engine's own watchdog: the kernel caps the data size a little above the
// memory limit (an allocation that fails there ends the process with status 3) and the CPU time
// of each evaluation a little above the time-out. The caller kills the process when it grows past
// the limit or answers too late, and starts another one.

#include "EngineProtocol.h"
#include "Errors.h"
#include "ProcessMemory.h"
#include "ScriptEngine.h"

#include <QCoreApplication>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <new>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

[[noreturn]] void OutOfMemory() {
    _exit(EngineProtocol::kOutOfMemoryExit);
}

// The data size the kernel allows, in bytes; set once before the first evaluation.
volatile int64_t g_dataLimit = 0;
int64_t g_pageSize = 4096;
char g_crashStack[64 * 1024];

// A crash with the data size at its limit, or right after the kernel refused memory, is an
// allocation the engine did not check: report it as one. Only async-signal-safe calls: the numbers
// are read from /proc by hand (ProcessMemory.h reads the same file, but with Qt's file classes).
void OnCrash(int number) {
    // A mapping the kernel refused (the data limit) that the engine then used leaves ENOMEM.
    if (errno == ENOMEM)
        OutOfMemory();
    char text[256] = {};
    const int fd = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        [[maybe_unused]] const ssize_t n = ::read(fd, text, sizeof text - 1);
        ::close(fd);
    }
    int64_t field[6] = {};
    const char* p = text;
    for (int64_t& value : field) {
        while (*p == ' ')
            ++p;
        while (*p >= '0' && *p <= '9')
            value = value * 10 + (*p++ - '0');
    }
    const int64_t data = field[5] * g_pageSize;
    if (g_dataLimit > 0 && data > g_dataLimit - (int64_t(64) << 20))
        OutOfMemory();
    ::signal(number, SIG_DFL);
    ::raise(number);
}

void CatchCrashes() {
    stack_t stack{};
    stack.ss_sp = g_crashStack;
    stack.ss_size = sizeof g_crashStack;
    ::sigaltstack(&stack, nullptr);
    struct sigaction action = {};
    action.sa_handler = OnCrash;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_ONSTACK | SA_RESETHAND;
    for (int number : {SIGSEGV, SIGBUS, SIGABRT, SIGILL, SIGTRAP})
        ::sigaction(number, &action, nullptr);
}

// An allocation the engine's native code cannot take back ends the process; an uncaught
// std::bad_alloc would otherwise abort it, which would read as a crash.
[[noreturn]] void OnTerminate() {
    if (const std::exception_ptr current = std::current_exception()) {
        try {
            std::rethrow_exception(current);
        } catch (const std::bad_alloc&) {
            OutOfMemory();
        } catch (...) {
        }
    }
    std::abort();
}

// Allows the next evaluation its time-out plus a margin of CPU time from now on.
void LimitCpuTime(std::chrono::milliseconds timeout) {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const rlim_t used = rlim_t(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec);
    const rlim_t allowed = used + rlim_t(timeout.count() / 1000) + 3;
    rlimit limit{};
    ::getrlimit(RLIMIT_CPU, &limit);
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? allowed : std::min(allowed, limit.rlim_max);
    ::setrlimit(RLIMIT_CPU, &limit);
}

bool ReadFrame(int fd, QByteArray& buffer, QByteArray& payload) {
    for (;;) {
        bool broken = false;
        if (EngineProtocol::TakeFrame(buffer, payload, broken))
            return true;
        if (broken)
            return false;
        char chunk[65536];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        buffer.append(chunk, n);
    }
}

} // namespace

int main(int argc, char* argv[]) {
    // Ends with the caller, however the caller ends.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::signal(SIGPIPE, SIG_IGN);
    // The caller's termination signals are the caller's to handle: this process ends when its
    // socket closes.
    ::signal(SIGINT, SIG_IGN);
    ::signal(SIGHUP, SIG_IGN);
    std::set_new_handler(OutOfMemory);
    std::set_terminate(OnTerminate);

    ScriptLimits limits;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--timeout-ms") == 0)
            limits.timeout = std::chrono::milliseconds(std::atoll(argv[i + 1]));
        else if (std::strcmp(argv[i], "--memory-bytes") == 0)
            limits.memoryGrowthBytes = std::atoll(argv[i + 1]);
    }
    const int fd = EngineProtocol::kEngineFd;

    int appArgc = 1;
    QCoreApplication application(appArgc, argv);
    std::unique_ptr<InProcessEngine> engine = CreateInProcessEngine(limits);
    engine->SetLanguage(QStringLiteral("JavaScript"));

    const rlimit data{
        rlim_t(DataBytes(::getpid()) + limits.memoryGrowthBytes + limits.memoryGrowthBytes / 2),
        RLIM_INFINITY};
    ::setrlimit(RLIMIT_DATA, &data);
    g_dataLimit = int64_t(data.rlim_cur);
    g_pageSize = sysconf(_SC_PAGESIZE);
    CatchCrashes();

    if (!EngineProtocol::WriteFrame(fd, EngineProtocol::Pack('R')))
        return 0;
    QByteArray buffer, payload;
    while (ReadFrame(fd, buffer, payload)) {
        QDataStream in(payload);
        in.setVersion(QDataStream::Qt_6_4);
        qint8 tag = 0;
        QString text;
        in >> tag >> text;
        if (tag != 'E' || in.status() != QDataStream::Ok)
            return 1;
        LimitCpuTime(limits.timeout);
        QByteArray reply;
        try {
            const Variant value = engine->Eval(text);
            reply = EngineProtocol::Pack(
                'V', [&](QDataStream& out) { EngineProtocol::WriteVariant(out, value); });
        } catch (const EOleSysError& e) {
            const bool restart = engine->Exhausted();
            reply = EngineProtocol::Pack(
                'F', [&](QDataStream& out) { out << quint32(e.ErrorCode()) << restart; });
            if (restart) {
                EngineProtocol::WriteFrame(fd, reply);
                return 0;
            }
        }
        if (!EngineProtocol::WriteFrame(fd, reply))
            return 0;
    }
    return 0;
}
