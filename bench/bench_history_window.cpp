// Prints what a long history costs the main window, for histories of 0, 10,000, 100,000 and
// 1,000,000 entries (about 50 bytes each): creating the window (reading the history), one
// evaluation (Enter to the result and the entry handed to the writer,
// after the previous save finished, and right after another evaluation, when it first waits for
// that save), the save on the writer thread, and the longest stall of the event loop while the
// history is autosaved after an edit and while the memo takes in more as it is scrolled. No
// assertions: the figures are for reading. The whole program's start-up time and memory with
// these histories are bench_startup's.
//
//   bench_history_window [repeats]     (default 5; QT_QPA_PLATFORM defaults to offscreen)
#include "support/FileHelpers.h"
#include "support/MainWindowFixture.h"

#include <QScrollBar>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty()      ? 0
           : v.size() % 2 ? v[v.size() / 2]
                          : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

QByteArray HistoryFile(int entries) {
    QByteArray bytes;
    bytes.reserve(qsizetype(entries) * 50);
    char entry[128];
    for (int i = entries; i > 0; --i) {
        const int n = std::snprintf(entry, sizeof entry,
                                    "\r\n12/8/2026 7:%02d:00 AM\r\n(12+%d)*3\r\n=\r\n%d.00\r\n",
                                    i % 60, i, (12 + i) * 3);
        bytes.append(entry, n);
    }
    return bytes;
}

double ThreadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

struct Stall {
    double wallMs = 0; // the longest gap between turns of the event loop
    double cpuMs = 0;  // the most processor time the interface thread spent in one such gap
};

// The longest stall of the event loop while `action` runs and for `span` after it. On a busy
// machine the wall-clock gap also counts time the thread waited for a processor; the processor
// time counts only the thread's own work.
template <class Action> Stall LongestStall(std::chrono::milliseconds span, Action action) {
    Stall longest;
    Clock::time_point last = Clock::now();
    double lastCpu = ThreadCpuMs();
    QTimer tick;
    tick.setInterval(1);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const Clock::time_point now = Clock::now();
        const double cpu = ThreadCpuMs();
        longest.wallMs =
            std::max(longest.wallMs, std::chrono::duration<double, std::milli>(now - last).count());
        longest.cpuMs = std::max(longest.cpuMs, cpu - lastCpu);
        last = now;
        lastCpu = cpu;
    });
    tick.start();
    QCoreApplication::processEvents();
    last = Clock::now();
    lastCpu = ThreadCpuMs();
    action();
    const Clock::time_point end = Clock::now() + span;
    while (Clock::now() < end)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return longest;
}

} // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;

    std::printf("%-9s %7s %8s %9s %10s %9s %15s %15s\n", "entries", "file MB", "create", "evaluate",
                "eval after", "save", "autosave stall", "scrolling stall");
    std::printf("%-9s %7s %8s %9s %10s %9s %15s %15s\n", "", "", "ms", "ms", "eval, ms", "ms",
                "wall / cpu ms", "wall / cpu ms");
    for (const int entries : {0, 10000, 100000, 1000000}) {
        const QByteArray file = HistoryFile(entries);
        std::vector<double> create, evaluate, evaluateAfter, save, autosave, autosaveCpu, scrolling,
            scrollingCpu;
        for (int r = 0; r < repeats; ++r) {
            MainWindowFixture f;
            if (entries && !WriteBytes(f.HistoryFile(), file))
                return std::fprintf(stderr, "cannot write %s\n", qPrintable(f.HistoryFile())), 1;
            auto start = Clock::now();
            if (!f.Make())
                return std::fprintf(stderr, "the window did not become active\n"), 1;
            create.push_back(MillisecondsSince(start));
            QTest::qWait(300);

            f.Evaluate(0, QStringLiteral("1+1")); // the engine's first start is not measured
            f.w->WaitHistoryWritten(std::chrono::seconds(60));
            start = Clock::now();
            f.Evaluate(0, QStringLiteral("2+2"));
            evaluate.push_back(MillisecondsSince(start));
            start = Clock::now();
            f.w->WaitHistoryWritten(std::chrono::seconds(60));
            save.push_back(MillisecondsSince(start));
            start = Clock::now();
            f.Evaluate(0, QStringLiteral("3+3"));
            f.Evaluate(0, QStringLiteral("4+4"));
            evaluateAfter.push_back(MillisecondsSince(start) / 2);
            f.w->WaitHistoryWritten(std::chrono::seconds(60));
            QCoreApplication::processEvents();

            // An edit in the memo, saved by the autosave a second later.
            const Stall edit = LongestStall(std::chrono::milliseconds(2500), [&] {
                Find<THistoryMemo>(f.w, "m_memoHistory")->setFocus();
                QTest::keyClick(Find<THistoryMemo>(f.w, "m_memoHistory"), Qt::Key_X);
            });
            autosave.push_back(edit.wallMs);
            autosaveCpu.push_back(edit.cpuMs);
            // Scrolling towards the end, page by page, taking in as it goes.
            const Stall scroll = LongestStall(std::chrono::milliseconds(100), [&] {
                QScrollBar* bar = Find<THistoryMemo>(f.w, "m_memoHistory")->verticalScrollBar();
                for (int i = 0; i < 300; ++i) {
                    bar->setValue(bar->value() + bar->pageStep());
                    QCoreApplication::processEvents();
                }
            });
            scrolling.push_back(scroll.wallMs);
            scrollingCpu.push_back(scroll.cpuMs);
            f.Destroy();
        }
        std::printf("%-9d %7.1f %8.1f %9.2f %10.2f %9.1f %7.1f / %5.1f %7.1f / %5.1f\n", entries,
                    double(file.size()) / 1e6, Median(create), Median(evaluate),
                    Median(evaluateAfter), Median(save), Median(autosave), Median(autosaveCpu),
                    Median(scrolling), Median(scrollingCpu));
        std::fflush(stdout);
    }
    std::printf("\ncreate: constructing and showing the window, history read; evaluate: one "
                "evaluation after the previous save "
                "ended; eval after eval: two in a row, per evaluation; save: the writer thread "
                "after an evaluation; stall: the longest event-loop gap (medians of %d)\n",
                repeats);
    return 0;
}
