// Prints how long the evaluation pipeline takes: creating the script engine, evaluating through
// the logic layer alone, and evaluating a row of the real main window, with an empty history and
// with 100,000 earlier entries in it. No assertions: the figures are for reading.
//
//   bench_eval [evaluations]        (default 2000; QT_QPA_PLATFORM defaults to offscreen)
#include "Evaluation.h"
#include "FormMain.h"
#include "QtKeyboardInput.h"
#include "QtShellNotify.h"
#include "ResultFormat.h"
#include "ScriptEngine.h"
#include "ShellOpen.h"
#include "SystemLocale.h"
#include "support/FixedLocale.h"

#include <QApplication>
#include <QFile>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTextDocument>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double MicrosecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

class PrintingReporter final : public ErrorReporter {
public:
    void ShowException(const QString& message) override {
        std::fprintf(stderr, "error box: %s\n", qPrintable(ErrorBoxText(message)));
        ++count;
    }
    int count = 0;
};

// The benchmark opens no addresses.
class NoShellOpen final : public ShellOpen {
public:
    void Open(const QString&, ShowState) override {}
};

void Report(const char* what, std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    const size_t n = samples.size();
    const double mean = std::accumulate(samples.begin(), samples.end(), 0.0) / double(n);
    const double median = n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    const double p95 = samples[std::min(n - 1, n * 95 / 100)];
    std::printf("%-62s n=%-6zu mean %10.1f us  median %10.1f us  p95 %10.1f us  max %10.1f us\n",
                what, n, mean, median, p95, samples.back());
    std::fflush(stdout);
}

const QString kExpression = QStringLiteral("(12.5+7)*3/7-10%");

} // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const int evaluations = argc > 1 ? std::max(10, std::atoi(argv[1])) : 2000;

    // Engine creation: CreateOleObject and SetLanguage, as the window's creation does it.
    {
        std::vector<double> samples;
        for (int k = 0; k < 30; ++k) {
            const auto start = Clock::now();
            auto engine = CreateOleObject(kScriptControlProgId);
            engine->SetLanguage(QStringLiteral("JavaScript"));
            samples.push_back(MicrosecondsSince(start));
        }
        Report("engine creation (CreateOleObject + SetLanguage)", samples);
    }

    // The logic layer alone: engine, text, fixed point, result pattern.
    {
        const FixedLocale locale(QStringLiteral("."), QStringLiteral(","));
        const QString pattern = BuildResultFormatText(true, 4);
        auto engine = CreateOleObject(kScriptControlProgId);
        engine->SetLanguage(QStringLiteral("JavaScript"));
        for (int k = 0; k < 100; ++k)
            EvaluateExpression(engine.get(), kExpression, pattern, locale);
        std::vector<double> samples;
        for (int k = 0; k < evaluations; ++k) {
            const auto start = Clock::now();
            EvaluateExpression(engine.get(), kExpression, pattern, locale);
            samples.push_back(MicrosecondsSince(start));
        }
        Report("EvaluateExpression (logic layer only)", samples);
    }

    // The real window.
    PrintingReporter reporter;
    QtKeyboardInput keyboard;
    SystemLocale locale;
    NoShellOpen shell;
    QtMessageBoxes boxes;
    QtShellNotify notify;
    // The window's files go to a folder of the benchmark's own.
    QTemporaryDir folder;
    QFile(folder.filePath(QLatin1String(kPortableMarker))).open(QIODevice::WriteOnly);
    Autostart autostart(folder.filePath(QStringLiteral("autostart")));
    TfrmMain window(
        {reporter, keyboard, locale, [](const QString& progId) { return CreateOleObject(progId); },
         shell, [](const QString&) { return QString(); }, boxes, notify, autostart,
         AppPaths::Resolve(folder.path()), folder.filePath(QStringLiteral("quantoria"))});
    window.show();
    QCoreApplication::processEvents();
    window.editExp[0]->setText(kExpression);
    window.m_editActiveExp = window.editExp[0];
    window.m_editActiveResult = window.editResult[0];
    window.EvaluateActiveRow();
    std::printf("expression \"%s\" = \"%s\" (locale decimal separator \"%s\")\n",
                qPrintable(kExpression), qPrintable(window.editResult[0]->text()),
                qPrintable(locale.DecimalSeparator()));

    // One evaluation of the active row, timed alone and together with the event processing
    // (the repaint) that follows it.
    auto measure = [&](const char* alone, const char* withEvents, bool clearFirst) {
        std::vector<double> evaluate, evaluateAndPaint;
        for (int k = 0; k < evaluations; ++k) {
            if (clearFirst) {
                window.m_memoHistory->clear();
                QCoreApplication::processEvents();
            }
            const auto start = Clock::now();
            window.EvaluateActiveRow();
            evaluate.push_back(MicrosecondsSince(start));
            QCoreApplication::processEvents();
            evaluateAndPaint.push_back(MicrosecondsSince(start));
        }
        Report(alone, evaluate);
        Report(withEvents, evaluateAndPaint);
    };

    for (int k = 0; k < 50; ++k) // warm-up
        window.EvaluateActiveRow();
    measure("EvaluateActiveRow, empty history",
            "EvaluateActiveRow + event processing, empty history", true);

    constexpr int kEarlierEntries = 100000;
    QString history;
    const QString entry = HistoryEntryText(DateTimeToStr(QDateTime::currentDateTime(), locale),
                                           kExpression, window.editResult[0]->text());
    history.reserve(entry.size() * kEarlierEntries);
    for (int k = 0; k < kEarlierEntries; ++k)
        history += entry;
    auto start = Clock::now();
    window.m_memoHistory->setPlainText(history);
    QCoreApplication::processEvents();
    std::printf("filling the history with %d entries (%lld lines): %.1f ms\n", kEarlierEntries,
                static_cast<long long>(window.m_memoHistory->document()->blockCount()),
                MicrosecondsSince(start) / 1000);
    measure("EvaluateActiveRow, 100,000 earlier entries",
            "EvaluateActiveRow + event processing, 100,000 earlier entries", false);
    std::printf("history at the end: %lld lines; error boxes: %d\n",
                static_cast<long long>(window.m_memoHistory->document()->blockCount()),
                reporter.count);
    // Hidden while it is whole: hiding moves the keyboard focus, which runs the window's handlers.
    window.hide();
    QCoreApplication::processEvents();
    return reporter.count == 0 ? 0 : 1;
}
