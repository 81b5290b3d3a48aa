// Reads arbitrary bytes as an INI file, writes one key and checks:
// - every line of the file other than the written key's is still there, with the same bytes and
//   the same line end, in the same order (a last line without an end may gain one); at most one
//   line is replaced (none when the value was already there), or at most three lines are added
//   (a blank line, a section line, the key);
// - the written value reads back from the new bytes (cut to 2047 characters);
// - other keys read the same before and after.
// The first input byte picks the section, the key and the value; the rest is the file.
#include "Profile.h"

#include <QList>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

struct Line {
    QByteArray text;
    QByteArray end;
};

// Lines end in CR LF, LF or a lone CR.
QList<Line> SplitLines(const QByteArray& bytes) {
    QList<Line> lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\r' && bytes[i] != '\n')
            continue;
        const qsizetype end =
            bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n' ? 2 : 1;
        lines.append({bytes.mid(start, i - start), bytes.mid(i, end)});
        i += end - 1;
        start = i + 1;
    }
    if (start < bytes.size())
        lines.append({bytes.mid(start), {}});
    return lines;
}

// A line kept from the old file: same bytes, same end (a missing last end may have been added).
bool Kept(const Line& old, const Line& now) {
    return old.text == now.text && (old.end == now.end || old.end.isEmpty());
}

[[noreturn]] void Fail(const char* what, const QByteArray& before, const QByteArray& after,
                       const QString& detail = QString()) {
    std::fprintf(stderr, "FAILED: %s\n  before: %s\n  after:  %s\n  %s\n", what,
                 before.toHex(' ').constData(), after.toHex(' ').constData(),
                 detail.toUtf8().constData());
    std::abort();
}

const char* const kSections[] = {"Config", "config", "Other", "A", ""};
const char* const kKeys[] = {"Prec", "PREC", "DisplayHistory", "k"};
const QString kValues[] = {
    QStringLiteral("2"),
    QString(),
    QStringLiteral(" padded "),
    QStringLiteral("\"quoted\""),
    QStringLiteral("\u00E9\u20AC"),
    QString(3000, QLatin1Char('v')),
    QStringLiteral("a=b"),
    QStringLiteral("\""),
};
const QString kDefault = QStringLiteral("<default>");

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const uint8_t pick = data[0];
    const QString section = QString::fromLatin1(kSections[pick % 5]);
    const QString key = QString::fromLatin1(kKeys[(pick / 5) % 4]);
    const QString& value = kValues[(pick / 20) % 8];
    const QByteArray before(reinterpret_cast<const char*>(data) + 1, qsizetype(size - 1));

    const ProfileDocument original(before);
    // Reading must cope with anything.
    original.ReadInteger(section, key, 7);
    original.ReadBool(section, key, true);

    ProfileDocument edited = original;
    if (!edited.WriteString(section, key, value))
        Fail("a storable value was refused", before, QByteArray());
    const QByteArray after = edited.ToBytes();

    const QList<Line> old = SplitLines(before);
    const QList<Line> now = SplitLines(after);
    qsizetype prefix = 0;
    while (prefix < old.size() && prefix < now.size() && Kept(old[prefix], now[prefix]))
        ++prefix;
    qsizetype suffix = 0;
    while (suffix < old.size() - prefix && suffix < now.size() - prefix &&
           Kept(old[old.size() - 1 - suffix], now[now.size() - 1 - suffix]))
        ++suffix;
    const qsizetype removed = old.size() - prefix - suffix;
    const qsizetype added = now.size() - prefix - suffix;
    if (removed > 1 || (removed == 1 && added != 1) || (removed == 0 && added > 3))
        Fail("lines other than the key's changed", before, after,
             QStringLiteral("%1 lines replaced by %2").arg(removed).arg(added));

    const ProfileDocument reread(after);
    const QString expected = value.left(2047);
    const QString read = reread.ReadString(section, key, kDefault);
    if (read != expected)
        Fail("the written value does not read back", before, after, read);

    for (const char* otherSection : {"Config", "Other"}) {
        for (const char* otherKey : {"Prec", "Comma", "k"}) {
            const QString s = QString::fromLatin1(otherSection);
            const QString k = QString::fromLatin1(otherKey);
            if (s.compare(section, Qt::CaseInsensitive) == 0 &&
                k.compare(key, Qt::CaseInsensitive) == 0)
                continue;
            if (original.ReadString(s, k, kDefault) != reread.ReadString(s, k, kDefault))
                Fail("another key changed", before, after, s + QLatin1Char('/') + k);
        }
    }
    return 0;
}
