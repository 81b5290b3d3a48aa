#include "TerminationSignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <semaphore.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

int g_wakeSockets[2] = {-1, -1};
constexpr int kSignals[] = {SIGTERM, SIGHUP, SIGINT};

// The last resort: woken by the first signal, it ends the process when the program has not ended
// within the grace time.
sem_t g_watchWake;
volatile sig_atomic_t g_signalled = 0;
volatile sig_atomic_t g_watchStop = 0;
std::thread g_watch;

// Only async-signal-safe work here: the number goes through the socket pair to the event loop, and
// the first signal wakes the watch.
void OnSignal(int number) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t written = ::write(g_wakeSockets[1], &byte, 1);
    if (!g_signalled) {
        g_signalled = 1;
        sem_post(&g_watchWake);
    }
    errno = saved;
}

void Watch() {
    while (sem_wait(&g_watchWake) != 0 && errno == EINTR) {
    }
    if (g_watchStop)
        return;
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += TerminationSignals::kGraceMs / 1000;
    deadline.tv_nsec += long(TerminationSignals::kGraceMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    for (;;) {
        if (sem_timedwait(&g_watchWake, &deadline) == 0) {
            if (g_watchStop)
                return;
            continue; // another signal: the same deadline
        }
        if (errno == EINTR)
            continue;
        break; // timed out
    }
    static_assert(TerminationSignals::kGraceMs == 1800, "the message names the grace time");
    static const char message[] =
        "Quantoria: did not end within 1.8 seconds of the termination request; ending now\n";
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, message, sizeof message - 1);
    _exit(1);
}

} // namespace

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_wakeSockets) != 0)
        return;
    sem_init(&g_watchWake, 0, 0);
    g_signalled = 0;
    g_watchStop = 0;
    g_watch = std::thread(Watch);
    m_notifier = new QSocketNotifier(g_wakeSockets[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        unsigned char byte = 0;
        while (::read(g_wakeSockets[0], &byte, 1) == 1)
            emit Received(byte);
    });
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : kSignals)
        ::sigaction(number, &action, nullptr);
}

TerminationSignals::~TerminationSignals() {
    for (int number : kSignals)
        ::signal(number, SIG_DFL);
    if (g_watch.joinable()) {
        g_watchStop = 1;
        sem_post(&g_watchWake);
        g_watch.join();
        sem_destroy(&g_watchWake);
    }
    delete m_notifier;
    for (int& fd : g_wakeSockets) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

int TerminationSignals::WakeDescriptor() {
    return g_wakeSockets[0];
}
