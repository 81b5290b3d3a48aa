// Prints how long programs take from exec to their first mapped top-level window, and how much
// resident memory they hold 2 s after that, measured on a private X server without a window
// manager. No assertions: the figures are for reading, next to the budget they are meant to keep.
//
//   bench_startup [-v] [--baseline DIR] [rounds]     (default 7 rounds, after one warm-up round)
//
// --baseline DIR adds another build of quantoria (DIR/quantoria and DIR/quantoria-engine) with
// the same histories, to compare two builds side by side in one run.
//
// Subjects, started one after the other in every round (the order rotates from round to round):
//   - quantoria with no history file, and with history files of 10,000, 100,000 and 1,000,000
//     entries (about 0.5, 5 and 50 MB);
//   - bare_window: a bare Qt window with the same kinds of controls and a QJSEngine (the floor);
//   - SpeedCrunch, when it is installed (Debian package speedcrunch).
// Each subject runs from a temp folder of its own (quantoria is copied into it, so it keeps its
// files beside itself) with private HOME, XDG_CONFIG_HOME, XDG_DATA_HOME, XDG_STATE_HOME and
// XDG_RUNTIME_DIR, reset before every start. All of them share one Xvfb (display picked with
// -displayfd) and one private D-Bus session bus without service activation.
//
// The clock starts right before fork. Without a window manager the X server maps a top-level
// window itself, and the root window, whose SubstructureNotify events this program selects before
// the first fork, sees the MapNotify. The first such window that is not override-redirect and whose
// _NET_WM_PID is the child's PID stops the clock. VmRSS is then read from /proc/PID/status 2 s
// later, with the PSS of the child and every process it runs (quantoria's script engine), and
// the child is stopped by its PID (SIGTERM, at most 5 s, then SIGKILL).
//
// -v prints every start: the child's PID and the monotonic clock (CLOCK_MONOTONIC) at the fork
// and at the map, in nanoseconds, so that timestamps a program logs itself can be placed on the
// same time line.
#include <xcb/xcb.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef QUANTORIA_EXE
#error "QUANTORIA_EXE: the path of the quantoria program"
#endif
#ifndef ENGINE_EXE
#error "ENGINE_EXE: the path of the quantoria-engine program"
#endif
#ifndef BARE_WINDOW_EXE
#error "BARE_WINDOW_EXE: the path of the bare_window program"
#endif

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kServerTimeout = std::chrono::seconds(20); // Xvfb or the bus to come up
constexpr auto kMapTimeout = std::chrono::seconds(30);    // a subject's first window
constexpr auto kSettleTime = std::chrono::seconds(2);     // from the map to the memory reading
constexpr auto kStopTimeout = std::chrono::seconds(5);    // SIGTERM to exit, then SIGKILL
constexpr int kHistorySizes[] = {10000, 100000, 1000000};

volatile std::sig_atomic_t g_interrupted = 0;

void OnSignal(int) {
    g_interrupted = 1;
}

double Milliseconds(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

long long Nanoseconds(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

int RemainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return int(std::clamp<long long>(left.count(), 0, 1000));
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Written through to the disk, so that no write-back of it falls into the start that follows.
bool WriteFile(const fs::path& path, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0 && errno != EINTR)
            break;
        done += n > 0 ? size_t(n) : 0;
    }
    const bool ok = done == bytes.size() && ::fsync(fd) == 0;
    return ::close(fd) == 0 && ok;
}

std::string LoadAverage() {
    std::string text = ReadFile("/proc/loadavg");
    std::istringstream in(text);
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

double LoadAverageOne() {
    return std::atof(ReadFile("/proc/loadavg").c_str());
}

// The value of "Key:" in /proc/PID/status, in KiB; -1 when the process or the line is gone.
long StatusKiB(pid_t pid, const char* key) {
    std::istringstream in(ReadFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    const std::string prefix = std::string(key) + ":";
    while (std::getline(in, line))
        if (line.compare(0, prefix.size(), prefix) == 0)
            return std::atol(line.c_str() + prefix.size());
    return -1;
}

std::string FindInPath(const std::string& name) {
    for (const char* dir : {"/usr/bin", "/usr/local/bin", "/bin"}) {
        const fs::path candidate = fs::path(dir) / name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

// A process this program started. The child dies with this program (PR_SET_PDEATHSIG).
struct Child {
    pid_t pid = -1;
    bool exited = false;
    int status = 0;
};

// Starts argv[0] with exactly the environment given; keepFd stays open in the child (-1: none).
// stdout and stderr go to logPath (appended).
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
            const fs::path& directory, const fs::path& logPath, int keepFd = -1) {
    std::vector<char*> args, env;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& e : environment)
        env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);
    const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        // The child starts with the signal state of a program started from a shell.
        for (int number : {SIGINT, SIGTERM, SIGPIPE})
            ::signal(number, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        const int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, 0);
        if (log >= 0) {
            ::dup2(log, 1);
            ::dup2(log, 2);
        }
        if (keepFd >= 0)
            ::fcntl(keepFd, F_SETFD, 0);
        if (!directory.empty() && ::chdir(directory.c_str()) != 0)
            ::_exit(127);
        ::execve(args[0], args.data(), env.data());
        ::_exit(127);
    }
    if (log >= 0)
        ::close(log);
    return pid;
}

// Reaps the child when it has ended; true when it has.
bool Reaped(Child& child) {
    if (child.pid <= 0 || child.exited)
        return true;
    const pid_t r = ::waitpid(child.pid, &child.status, WNOHANG);
    if (r == child.pid || (r < 0 && errno == ECHILD))
        child.exited = true;
    return child.exited;
}

// SIGTERM, a bounded wait, then SIGKILL. Returns whether SIGTERM was enough.
bool Stop(Child& child) {
    if (Reaped(child))
        return true;
    ::kill(child.pid, SIGTERM);
    const auto deadline = Clock::now() + kStopTimeout;
    while (Clock::now() < deadline) {
        if (Reaped(child))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(child.pid, SIGKILL);
    ::waitpid(child.pid, &child.status, 0);
    child.exited = true;
    return false;
}

// Reads one line from fd, which a server writes when it is ready; empty on timeout or EOF.
std::string ReadLine(int fd, Clock::time_point deadline) {
    std::string line;
    while (Clock::now() < deadline && !g_interrupted) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, RemainingMs(deadline)) <= 0)
            continue;
        char c;
        const ssize_t n = ::read(fd, &c, 1);
        if (n <= 0)
            break;
        if (c == '\n')
            return line;
        line += c;
    }
    return {};
}

// A private X server and D-Bus session bus, stopped by their PIDs at the end.
class Servers {
public:
    explicit Servers(fs::path root) : m_root(std::move(root)) {}
    ~Servers() {
        Stop(m_bus);
        Stop(m_x);
    }

    bool Start(std::string& error) {
        // Xvfb writes its display number to the pipe when it accepts connections.
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return error = "pipe: " + std::string(std::strerror(errno)), false;
        m_x.pid = Spawn({FindInPath("Xvfb"), "-displayfd", std::to_string(fds[1]), "-screen", "0",
                         "1280x1024x24", "-nolisten", "tcp", "-noreset"},
                        {"PATH=/usr/bin:/bin"}, m_root, m_root / "Xvfb.log", fds[1]);
        ::close(fds[1]);
        const std::string number = ReadLine(fds[0], Clock::now() + kServerTimeout);
        ::close(fds[0]);
        if (number.empty())
            return error = "Xvfb did not start (is the package xvfb installed? see " +
                           (m_root / "Xvfb.log").string() + ")",
                   false;
        m_display = ":" + number;

        // A session bus of its own, with no service activation: programs that ask for services
        // (accessibility, notification hosts) get a quick "not there" and no daemons appear.
        const std::string daemon = FindInPath("dbus-daemon");
        if (daemon.empty())
            return true;
        const fs::path config = m_root / "session.conf";
        WriteFile(config,
                  "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                  "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/"
                  "busconfig.dtd\">\n<busconfig><type>session</type><listen>unix:dir=" +
                      m_root.string() +
                      "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                      "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow "
                      "eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return error = "pipe: " + std::string(std::strerror(errno)), false;
        m_bus.pid = Spawn({daemon, "--config-file=" + config.string(), "--nofork", "--nopidfile",
                           "--print-address=" + std::to_string(fds[1])},
                          {"PATH=/usr/bin:/bin"}, m_root, m_root / "dbus.log", fds[1]);
        ::close(fds[1]);
        m_busAddress = ReadLine(fds[0], Clock::now() + kServerTimeout);
        ::close(fds[0]);
        if (m_busAddress.empty())
            return error = "dbus-daemon did not start (see " + (m_root / "dbus.log").string() + ")",
                   false;
        return true;
    }

    const std::string& Display() const { return m_display; }
    const std::string& BusAddress() const { return m_busAddress; }

private:
    fs::path m_root;
    Child m_x, m_bus;
    std::string m_display, m_busAddress;
};

// The connection that watches the root window for the subjects' windows.
class MapWatch {
public:
    ~MapWatch() {
        if (m_connection)
            xcb_disconnect(m_connection);
    }

    bool Connect(const std::string& display, std::string& error) {
        m_connection = xcb_connect(display.c_str(), nullptr);
        if (xcb_connection_has_error(m_connection))
            return error = "cannot connect to the X server " + display, false;
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
        const char name[] = "_NET_WM_PID";
        xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
            m_connection, xcb_intern_atom(m_connection, 0, sizeof name - 1, name), nullptr);
        if (!atom)
            return error = "cannot intern _NET_WM_PID", false;
        m_pidAtom = atom->atom;
        std::free(atom);
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_generic_error_t* failure = xcb_request_check(
            m_connection,
            xcb_change_window_attributes_checked(m_connection, m_root, XCB_CW_EVENT_MASK, &mask));
        if (failure) {
            std::free(failure);
            return error = "cannot select SubstructureNotify on the root window", false;
        }
        return true;
    }

    // Drops the events of earlier subjects.
    void Drain() {
        while (xcb_generic_event_t* event = xcb_poll_for_event(m_connection))
            std::free(event);
    }

    // Waits for a top-level window of pid to be mapped; the time it was seen, or nothing when the
    // child ended or the time ran out.
    std::optional<Clock::time_point> WaitForMap(Child& child, Clock::time_point deadline) {
        const int fd = xcb_get_file_descriptor(m_connection);
        while (!g_interrupted && Clock::now() < deadline) {
            while (xcb_generic_event_t* event = xcb_poll_for_event(m_connection)) {
                const auto seen = Clock::now();
                const bool mapped = (event->response_type & 0x7f) == XCB_MAP_NOTIFY;
                const auto* map = reinterpret_cast<xcb_map_notify_event_t*>(event);
                const bool match = mapped && map->event == m_root && !map->override_redirect &&
                                   PidOf(map->window) == uint32_t(child.pid);
                std::free(event);
                if (match)
                    return seen;
            }
            if (xcb_connection_has_error(m_connection) || Reaped(child))
                return std::nullopt;
            pollfd p{fd, POLLIN, 0};
            ::poll(&p, 1, std::min(RemainingMs(deadline), 50));
        }
        return std::nullopt;
    }

private:
    uint32_t PidOf(xcb_window_t window) {
        xcb_get_property_reply_t* reply = xcb_get_property_reply(
            m_connection,
            xcb_get_property(m_connection, 0, window, m_pidAtom, XCB_ATOM_CARDINAL, 0, 1), nullptr);
        uint32_t pid = 0;
        if (reply && reply->format == 32 && xcb_get_property_value_length(reply) >= 4)
            std::memcpy(&pid, xcb_get_property_value(reply), sizeof pid);
        std::free(reply);
        return pid;
    }

    xcb_connection_t* m_connection = nullptr;
    xcb_window_t m_root = 0;
    xcb_atom_t m_pidAtom = 0;
};

// Newest first, as the program writes it: an empty line, the date and time, the expression, "=",
// the result; every line ends in CR LF.
std::string HistoryFile(int entries) {
    std::string text;
    text.reserve(size_t(entries) * 48);
    char entry[128];
    for (int i = entries; i > 0; --i) {
        std::snprintf(entry, sizeof entry,
                      "\r\n12/8/2026 7:%02d:00 AM\r\n(12+%d)*3\r\n=\r\n%d.00\r\n", i % 60, i,
                      (12 + i) * 3);
        text += entry;
    }
    return text;
}

std::string Thousands(int n) {
    const std::string digits = std::to_string(n);
    std::string grouped;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            grouped += ',';
        grouped += digits[i];
    }
    return grouped;
}

struct Sample {
    double startMs;
    double rssMiB;
    double anonMiB;
    double pssMiB; // the program and every process it runs (its script engine)
};

// The PIDs of a process's children, grandchildren and so on.
std::vector<pid_t> Descendants(pid_t pid) {
    std::vector<pid_t> found;
    std::istringstream in(
        ReadFile("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children"));
    pid_t child = 0;
    while (in >> child) {
        found.push_back(child);
        for (pid_t below : Descendants(child))
            found.push_back(below);
    }
    return found;
}

// PSS of a process and its descendants, in KiB; -1 when the process is gone.
long WholePssKiB(pid_t pid) {
    std::vector<pid_t> all = {pid};
    for (pid_t child : Descendants(pid))
        all.push_back(child);
    long total = -1;
    for (pid_t p : all) {
        std::istringstream in(ReadFile("/proc/" + std::to_string(p) + "/smaps_rollup"));
        std::string line;
        while (std::getline(in, line))
            if (line.compare(0, 4, "Pss:") == 0)
                total = std::max(total, 0L) + std::atol(line.c_str() + 4);
    }
    return total;
}

struct Subject {
    std::string name;
    std::string program;   // started from bin/ when copied there
    bool copy = false;     // copied into the subject's bin/ folder
    std::string companion; // copied beside it (quantoria's script engine)
    int historyEntries = -1;
    // "{}": a brace list that stops before these members leaves them empty without a warning.
    fs::path root{};
    std::vector<Sample> samples{};
    int failures = 0;
    int starts = 0; // warm-up included
    int killed = 0; // did not end within kStopTimeout of SIGTERM

    fs::path Bin() const { return root / "bin"; }

    std::string Executable() const {
        return copy ? (Bin() / fs::path(program).filename()).string() : program;
    }

    // Creates the folder the first time; afterwards brings it back to that first state.
    bool Prepare(std::string& error) {
        std::error_code ec;
        for (const char* dir : {"home", "config", "data", "state", "runtime"}) {
            fs::remove_all(root / dir, ec);
            fs::create_directories(root / dir, ec);
            fs::permissions(root / dir, fs::perms::owner_all, ec);
        }
        fs::create_directories(Bin(), ec);
        if (copy) {
            const fs::path target = Executable();
            for (const fs::directory_entry& entry : fs::directory_iterator(Bin(), ec))
                if (entry.path() != target &&
                    (companion.empty() || entry.path() != Bin() / fs::path(companion).filename()))
                    fs::remove_all(entry.path(), ec);
            if (!fs::exists(target) &&
                !fs::copy_file(program, target, fs::copy_options::overwrite_existing, ec))
                return error = "cannot copy " + program + ": " + ec.message(), false;
            const fs::path beside = Bin() / fs::path(companion).filename();
            if (!companion.empty() && !fs::exists(beside) &&
                !fs::copy_file(companion, beside, fs::copy_options::overwrite_existing, ec))
                return error = "cannot copy " + companion + ": " + ec.message(), false;
            // A portable copy: its history file is the one written beside it.
            if (!WriteFile(Bin() / "quantoria.portable", std::string()))
                return error = "cannot write the portable marker", false;
            if (historyEntries >= 0 &&
                !WriteFile(Bin() / "calc_history.txt", HistoryFile(historyEntries)))
                return error = "cannot write the history file", false;
        }
        return true;
    }

    std::vector<std::string> Environment(const Servers& servers) const {
        std::vector<std::string> env = {
            "PATH=/usr/local/bin:/usr/bin:/bin",
            "HOME=" + (root / "home").string(),
            "XDG_CONFIG_HOME=" + (root / "config").string(),
            "XDG_DATA_HOME=" + (root / "data").string(),
            "XDG_STATE_HOME=" + (root / "state").string(),
            "XDG_CACHE_HOME=" + (root / "cache").string(),
            "XDG_RUNTIME_DIR=" + (root / "runtime").string(),
            "DISPLAY=" + servers.Display(),
            "LANG=C.UTF-8",
            "LC_ALL=C.UTF-8",
            "QT_QPA_PLATFORM=xcb",
        };
        // Without a bus address libdbus would try to launch a bus of its own.
        env.push_back("DBUS_SESSION_BUS_ADDRESS=" + (servers.BusAddress().empty()
                                                         ? "unix:path=" + (root / "no-bus").string()
                                                         : servers.BusAddress()));
        return env;
    }
};

double Median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::vector<double> Column(const Subject& s, double Sample::*field) {
    std::vector<double> values;
    for (const Sample& sample : s.samples)
        values.push_back(sample.*field);
    return values;
}

// One start of a subject. Returns nothing on failure (a note goes to stderr).
std::optional<Sample> Measure(Subject& subject, const Servers& servers, MapWatch& watch,
                              bool verbose) {
    std::string error;
    if (!subject.Prepare(error)) {
        std::fprintf(stderr, "%s: %s\n", subject.name.c_str(), error.c_str());
        return std::nullopt;
    }
    const std::vector<std::string> env = subject.Environment(servers);
    const fs::path log = subject.root / "output.log";
    watch.Drain();

    ++subject.starts;
    const auto start = Clock::now();
    Child child;
    child.pid = Spawn({subject.Executable()}, env, subject.Bin(), log);
    if (child.pid < 0) {
        std::fprintf(stderr, "%s: fork failed: %s\n", subject.name.c_str(), std::strerror(errno));
        return std::nullopt;
    }
    const std::optional<Clock::time_point> mapped = watch.WaitForMap(child, start + kMapTimeout);
    if (!mapped) {
        const bool ended = Reaped(child);
        Stop(child);
        std::fprintf(stderr, "%s: %s (output: %s)\n", subject.name.c_str(),
                     ended ? "ended before it mapped a window" : "no window within the time limit",
                     log.c_str());
        return std::nullopt;
    }

    // Let it settle, then read its memory.
    const auto settled = *mapped + kSettleTime;
    while (!g_interrupted && Clock::now() < settled && !Reaped(child)) {
        watch.Drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const long rss = StatusKiB(child.pid, "VmRSS");
    const long anon = StatusKiB(child.pid, "RssAnon");
    const long pss = WholePssKiB(child.pid);
    const bool alive = !Reaped(child);
    if (!Stop(child))
        ++subject.killed;
    if (!alive || rss < 0) {
        std::fprintf(
            stderr, "%s: ended within %lld s of showing its window (output: %s)\n",
            subject.name.c_str(),
            (long long)std::chrono::duration_cast<std::chrono::seconds>(kSettleTime).count(),
            log.c_str());
        return std::nullopt;
    }
    const Sample sample{Milliseconds(*mapped - start), rss / 1024.0, anon / 1024.0, pss / 1024.0};
    if (verbose)
        std::printf("  %-34s pid %d  fork %lld ns  map %lld ns  %8.1f ms  %6.1f MiB\n",
                    subject.name.c_str(), int(child.pid), Nanoseconds(start), Nanoseconds(*mapped),
                    sample.startMs, sample.rssMiB);
    std::fflush(stdout);
    return sample;
}

void PrintRatio(const char* what, const Subject& a, const Subject& b, double Sample::*field) {
    if (a.samples.empty() || b.samples.empty()) {
        std::printf("  %-44s n/a\n", what);
        return;
    }
    std::printf("  %-44s %.2f\n", what, Median(Column(a, field)) / Median(Column(b, field)));
}

} // namespace

int main(int argc, char* argv[]) {
    int rounds = 7;
    bool verbose = false;
    std::string baseline;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-v") == 0)
            verbose = true;
        else if (std::strcmp(argv[i], "--baseline") == 0 && i + 1 < argc)
            baseline = argv[++i];
        else if (std::atoi(argv[i]) > 0)
            rounds = std::atoi(argv[i]);
        else {
            std::fprintf(stderr, "usage: bench_startup [-v] [--baseline DIR] [rounds]\n");
            return 2;
        }
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);

    char pattern[] = "/tmp/bench_startup-XXXXXX";
    if (!::mkdtemp(pattern)) {
        std::fprintf(stderr, "cannot create a temp folder: %s\n", std::strerror(errno));
        return 1;
    }
    const fs::path root = pattern;
    int exitCode = 0;
    {
        Servers servers(root);
        MapWatch watch;
        std::string error;
        if (!servers.Start(error) || !watch.Connect(servers.Display(), error)) {
            std::fprintf(stderr, "bench_startup: %s\n", error.c_str());
            exitCode = 1;
        } else {
            std::vector<Subject> subjects;
            subjects.push_back({"quantoria, no history", QUANTORIA_EXE, true, ENGINE_EXE, -1});
            subjects.push_back({"bare Qt window + QJSEngine", BARE_WINDOW_EXE, true, "", -1});
            for (int entries : kHistorySizes)
                subjects.push_back({"quantoria, " + Thousands(entries) + " entries", QUANTORIA_EXE,
                                    true, ENGINE_EXE, entries});
            if (!baseline.empty()) {
                const std::string program = baseline + "/quantoria";
                const std::string engine = baseline + "/quantoria-engine";
                subjects.push_back({"baseline, no history", program, true, engine, -1});
                for (int entries : kHistorySizes)
                    subjects.push_back({"baseline, " + Thousands(entries) + " entries", program,
                                        true, engine, entries});
            }
            const std::string speedcrunch = FindInPath("speedcrunch");
            if (!speedcrunch.empty())
                subjects.push_back({"SpeedCrunch", speedcrunch, false, "", -1});
            for (size_t i = 0; i < subjects.size(); ++i)
                subjects[i].root = root / ("subject" + std::to_string(i));

            const double loadBefore = LoadAverageOne();
            const unsigned cores = std::thread::hardware_concurrency();
            std::printf("exec to first mapped top-level window, and VmRSS 2 s later; Xvfb %s, "
                        "no window manager, private D-Bus session bus%s\n",
                        servers.Display().c_str(),
                        servers.BusAddress().empty() ? " (none: dbus-daemon missing)" : "");
            std::printf("%d rounds after 1 warm-up round, subjects interleaved; %u cores, "
                        "load average %s at the start\n",
                        rounds, cores, LoadAverage().c_str());
            if (speedcrunch.empty())
                std::printf("SpeedCrunch is not installed (Debian package speedcrunch): measured "
                            "without it\n");
            std::fflush(stdout);

            for (int round = 0; round <= rounds && !g_interrupted; ++round) {
                if (verbose)
                    std::printf("%s %d\n", round == 0 ? "warm-up" : "round", round);
                for (size_t k = 0; k < subjects.size() && !g_interrupted; ++k) {
                    Subject& subject = subjects[(k + size_t(round)) % subjects.size()];
                    const std::optional<Sample> sample = Measure(subject, servers, watch, verbose);
                    if (round == 0)
                        continue;
                    if (sample)
                        subject.samples.push_back(*sample);
                    else
                        ++subject.failures;
                }
            }

            std::printf("\n%-34s %6s %9s %9s %9s %10s %12s %10s\n", "subject", "starts", "start ms",
                        "min ms", "max ms", "VmRSS MiB", "RssAnon MiB", "PSS MiB");
            std::printf("%-34s %6s %9s %9s %9s %10s %12s %10s\n", "", "", "(median)", "", "",
                        "(median)", "(median)", "(all procs)");
            for (const Subject& s : subjects) {
                const std::vector<double> start = Column(s, &Sample::startMs);
                if (start.empty()) {
                    std::printf("%-34s %6d  no successful start\n", s.name.c_str(), 0);
                    continue;
                }
                std::printf("%-34s %6zu %9.1f %9.1f %9.1f %10.1f %12.1f %10.1f\n", s.name.c_str(),
                            start.size(), Median(start),
                            *std::min_element(start.begin(), start.end()),
                            *std::max_element(start.begin(), start.end()),
                            Median(Column(s, &Sample::rssMiB)), Median(Column(s, &Sample::anonMiB)),
                            Median(Column(s, &Sample::pssMiB)));
                if (s.failures)
                    std::printf("%-34s %d start(s) failed, see above\n", "", s.failures);
            }

            for (const Subject& s : subjects)
                if (s.killed)
                    std::printf(
                        "%s: %d of %d starts did not end within %lld s of SIGTERM and "
                        "were killed\n",
                        s.name.c_str(), s.killed, s.starts,
                        (long long)std::chrono::duration_cast<std::chrono::seconds>(kStopTimeout)
                            .count());

            const Subject& empty = subjects[0];
            const Subject& bare = subjects[1];
            const Subject* speedcrunchSubject = speedcrunch.empty() ? nullptr : &subjects.back();
            std::printf("\nratios of the medians\n");
            PrintRatio("start, quantoria / bare window", empty, bare, &Sample::startMs);
            PrintRatio("VmRSS, quantoria / bare window", empty, bare, &Sample::rssMiB);
            for (size_t i = 2; i < 2 + std::size(kHistorySizes); ++i)
                PrintRatio(("start, " + subjects[i].name + " / no history").c_str(), subjects[i],
                           empty, &Sample::startMs);
            if (speedcrunchSubject) {
                PrintRatio("start, quantoria / SpeedCrunch", empty, *speedcrunchSubject,
                           &Sample::startMs);
                PrintRatio("VmRSS, quantoria / SpeedCrunch", empty, *speedcrunchSubject,
                           &Sample::rssMiB);
            }

            std::printf("\nbudget (figures, not checks)\n");
            if (!empty.samples.empty() && !bare.samples.empty()) {
                const double ratio = Median(Column(empty, &Sample::startMs)) /
                                     Median(Column(bare, &Sample::startMs));
                std::printf("  start <= 1.10 x bare window:           %.3f x  %s\n", ratio,
                            ratio <= 1.10 ? "within" : "OVER");
            }
            if (!empty.samples.empty()) {
                const double rss = Median(Column(empty, &Sample::rssMiB));
                std::printf("  VmRSS <= 42 MiB idle, no history:      %.1f MiB  %s\n", rss,
                            rss <= 42 ? "within" : "OVER");
                const double pss = Median(Column(empty, &Sample::pssMiB));
                std::printf("  PSS of all its processes <= 40 MiB:    %.1f MiB  %s\n", pss,
                            pss <= 40 ? "within" : "OVER");
            }
            // A history of any size costs little more than none: each history subject against the
            // no-history subject of the same build (this build first, then the baseline's).
            const size_t sizes = std::size(kHistorySizes);
            std::vector<std::pair<size_t, size_t>> builds = {{0, 2}}; // no history, first history
            if (!baseline.empty())
                builds.push_back({2 + sizes, 3 + sizes});
            for (const auto& [none, first] : builds) {
                const Subject& base = subjects[none];
                for (size_t i = first; i < first + sizes; ++i) {
                    const Subject& s = subjects[i];
                    if (s.samples.empty() || base.samples.empty())
                        continue;
                    const bool huge = s.historyEntries >= 1000000;
                    const double startLimit = huge ? 1.5 : 1.2;
                    const double rssLimit = huge ? 30 : 15;
                    const double ratio = Median(Column(s, &Sample::startMs)) /
                                         Median(Column(base, &Sample::startMs));
                    const double extra =
                        Median(Column(s, &Sample::rssMiB)) - Median(Column(base, &Sample::rssMiB));
                    std::printf("  %-26s start <= %.1f x no history: %.3f x  %s; "
                                "VmRSS <= no history + %.0f MiB: %+.1f MiB  %s\n",
                                s.name.c_str(), startLimit, ratio,
                                ratio <= startLimit ? "within" : "OVER", rssLimit, extra,
                                extra <= rssLimit ? "within" : "OVER");
                }
            }
            const double loadAfter = LoadAverageOne();
            std::printf("\nload average %s at the end\n", LoadAverage().c_str());
            if (std::max(loadBefore, loadAfter) > 0.5 * std::max(1u, cores))
                std::printf("note: the machine was busy during the run (load average above half "
                            "the cores): the times are noisy\n");
        }
    }
    std::error_code ec;
    fs::remove_all(root, ec);
    if (g_interrupted) {
        std::fprintf(stderr, "bench_startup: interrupted\n");
        return 130;
    }
    return exitCode;
}
