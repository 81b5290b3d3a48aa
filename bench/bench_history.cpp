// Prints how long the history file takes to save (SaveHistoryFile: encoding, writing, flushing to
// disk, renaming) and to load (LoadHistoryFile: reading, decoding), and the text conversions
// alone, for histories of 1,000, 10,000 and 100,000 entries of five lines each. No assertions:
// the figures are for reading.
//
//   bench_history [repeats]        (default 7)
#include "Errors.h"
#include "HistoryFile.h"
#include "HistoryText.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Figures {
    double median;
    double min;
};

Figures Summary(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    const size_t n = samples.size();
    const double median = n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    return {median, samples.front()};
}

// Newest first, as the memo keeps them.
QString HistoryOf(int entries) {
    QString text;
    for (int i = entries; i > 0; --i)
        text += QStringLiteral("\n12/8/2026 7:%1:00 AM\n(12+%2)*3\n=\n%3.00\n")
                    .arg(i % 60, 2, 10, QLatin1Char('0'))
                    .arg(i)
                    .arg((12 + i) * 3);
    return text;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "cannot create a temporary folder\n");
        return 1;
    }
    const QString path = dir.filePath(QStringLiteral("calc_history.txt"));

    std::printf("%-8s %9s   %-19s %-19s %-19s %-19s\n", "entries", "file", "save (median/min)",
                "load (median/min)", "encode (median/min)", "decode (median/min)");
    for (const int entries : {1000, 10000, 100000}) {
        const QString text = HistoryOf(entries);
        std::vector<double> save, load, encode, decode;
        qint64 size = 0;
        try {
            for (int r = 0; r < repeats; ++r) {
                auto start = Clock::now();
                SaveHistoryFile(path, text);
                save.push_back(MillisecondsSince(start));
                size = QFileInfo(path).size();

                start = Clock::now();
                const LoadedHistory loaded = LoadHistoryFile(path);
                load.push_back(MillisecondsSince(start));
                if (loaded.text != text)
                    std::fprintf(stderr, "%d entries: the loaded text differs\n", entries);

                start = Clock::now();
                const QByteArray bytes = EncodeHistoryText(text);
                encode.push_back(MillisecondsSince(start));

                start = Clock::now();
                const QString decoded = DecodeHistoryBytes(bytes);
                decode.push_back(MillisecondsSince(start));
                if (decoded.size() != text.size())
                    std::fprintf(stderr, "%d entries: the decoded text differs\n", entries);
            }
        } catch (const Exception& e) {
            std::fprintf(stderr, "%s\n", qPrintable(ErrorBoxText(e.Message())));
            return 1;
        }
        const Figures s = Summary(save), l = Summary(load), en = Summary(encode),
                      de = Summary(decode);
        std::printf("%-8d %7.2f MB   %7.2f / %7.2f ms  %7.2f / %7.2f ms  %7.2f / %7.2f ms  %7.2f / "
                    "%7.2f ms\n",
                    entries, double(size) / 1e6, s.median, s.min, l.median, l.min, en.median,
                    en.min, de.median, de.min);
        std::fflush(stdout);
    }
    return 0;
}
