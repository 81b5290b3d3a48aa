// Turns arbitrary bytes into a double and a fixed-point count and checks the text forms:
// - FloatToStr with both separators: 15 significant digits of the value, and the text reads back
//   as the rounded count whenever the value lies inside the fixed-point range;
// - FormatFloat with every result pattern under both separator conventions: the pattern's number
//   of places, a group separator before every third integer digit, no sign on a rounded zero,
//   a value within half a unit of the last place, an exact half rounded away from zero;
// - a count formatted with four places and no grouping reads back as the same count, for
//   |count| < 10^18 (a larger count has 19 significant digits, more than the 18 formatted).
#include "NumberText.h"
#include "ResultFormat.h"
#include "support/FixedLocale.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

[[noreturn]] void Fail(const char* what, const QString& detail) {
    std::fprintf(stderr, "FAILED: %s\n  %s\n", what, detail.toUtf8().constData());
    std::abort();
}

QString Hex(long double value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%La (%.21Lg)", value, value);
    return QString::fromLatin1(buf);
}

// The text with the given decimal separator turned into "." for strtod and strtold.
std::string CText(const QString& text, const QString& decimalSeparator) {
    QString c = text;
    if (decimalSeparator != QLatin1String("."))
        c.replace(decimalSeparator, QStringLiteral("."));
    return c.toStdString();
}

void CheckFloatToStr(double value) {
    const QString dot = FloatToStr(value, QStringLiteral("."));
    const QString comma = FloatToStr(value, QStringLiteral(","));
    if (dot.isEmpty())
        Fail("FloatToStr gave an empty text", Hex(value));
    QString commaAsDot = comma;
    commaAsDot.replace(QLatin1Char(','), QLatin1Char('.'));
    if (commaAsDot != dot || comma.contains(QLatin1Char('.')))
        Fail("FloatToStr differs by more than the separator", dot + QStringLiteral(" / ") + comma);
    if (std::isnan(value)) {
        if (dot != QLatin1String("NAN"))
            Fail("FloatToStr of NaN", dot);
        return;
    }
    if (std::isinf(value)) {
        if (dot != QLatin1String(value < 0 ? "-INF" : "INF"))
            Fail("FloatToStr of an infinity", dot);
        return;
    }

    // 15 significant digits: the text is within half a unit of the 15th digit of the value. Read
    // back as long double: near the largest double the rounded text lies beyond it.
    const long double back = std::strtold(CText(dot, QStringLiteral(".")).c_str(), nullptr);
    if (std::fabs(back - static_cast<long double>(value)) >
        std::fabs(static_cast<long double>(value)) * 5.2e-15L + 5e-324L)
        Fail("FloatToStr is not the value to 15 digits", Hex(value) + QStringLiteral(" -> ") + dot);

    const long double scaled = static_cast<long double>(value) * 10000.0L;
    const long double edge = 9223372036854775808.0L;
    for (const QString& separator : {QStringLiteral("."), QStringLiteral(",")}) {
        const QString text = separator == QLatin1String(".") ? dot : comma;
        const std::optional<Currency> parsed = TryTextToCurrency(text, separator);
        if (std::fabs(scaled) < edge * (1 - 1e-14L)) {
            if (!parsed)
                Fail("FloatToStr of a value in range does not read as a count", text);
            const long double error = std::fabs(static_cast<long double>(parsed->count) - scaled);
            if (error > 0.5L + std::fabs(scaled) * 5.01e-15L)
                Fail("FloatToStr read as a count is off",
                     Hex(value) + QStringLiteral(" -> ") + text +
                         QStringLiteral(" -> %1").arg(parsed->count));
        } else if (std::fabs(scaled) > edge * (1 + 1e-14L) && parsed) {
            Fail("FloatToStr of a value out of range reads as a count", text);
        }
    }
}

// The exact decimal digits of |value| when it has at most 18 significant digits (so that
// FormatFloat's first step keeps it exact), split at the point; false for other values.
bool ShortExactDecimal(long double value, std::string& integer, std::string& fraction) {
    const long double magnitude = std::fabs(value);
    if (!(magnitude < 1e19L))
        return false;
    // A multiple of 2^-80 has at most 80 fraction digits, all of which %.80Lf prints exactly.
    const long double scaled = std::ldexp(magnitude, 80);
    if (std::trunc(scaled) != scaled)
        return false;
    char buf[128];
    std::snprintf(buf, sizeof buf, "%.80Lf", magnitude);
    const std::string text = buf;
    const size_t point = text.find('.');
    integer = text.substr(0, point);
    fraction = text.substr(point + 1);
    const std::string all = integer + fraction;
    const size_t first = all.find_first_not_of('0');
    if (first == std::string::npos)
        return true;
    return all.find_last_not_of('0') - first + 1 <= 18;
}

void CheckFormatFloat(long double value) {
    std::string exactInteger, exactFraction;
    const bool shortExact = ShortExactDecimal(value, exactInteger, exactFraction);

    const FixedLocale locales[] = {FixedLocale(QStringLiteral("."), QStringLiteral(",")),
                                   FixedLocale(QStringLiteral(","), QStringLiteral("."))};
    for (const FixedLocale& locale : locales) {
        const QString decimal = locale.DecimalSeparator();
        const QString thousands = locale.ThousandSeparator();
        for (int places = 0; places <= 9; ++places) {
            const QString plain = FormatFloat(BuildResultFormatText(false, places), value, locale);
            const QString grouped = FormatFloat(BuildResultFormatText(true, places), value, locale);
            auto where = [&] {
                return Hex(value) +
                       QStringLiteral(", %1 places, decimal \"%2\": ").arg(places).arg(decimal) +
                       plain + QStringLiteral(" / ") + grouped;
            };
            if (std::isnan(value)) {
                if (plain != QLatin1String("NAN") || grouped != plain)
                    Fail("FormatFloat of NaN", where());
                continue;
            }
            if (std::isinf(value)) {
                const QLatin1String expected(value < 0 ? "-INF" : "INF");
                if (plain != expected || grouped != plain)
                    Fail("FormatFloat of an infinity", where());
                continue;
            }

            // Shape: optional "-", integer digits without leading zeros, the places.
            qsizetype i = 0;
            const bool negative = plain.startsWith(QLatin1Char('-'));
            if (negative)
                ++i;
            const qsizetype intStart = i;
            while (i < plain.size() && plain[i].isDigit())
                ++i;
            const qsizetype intDigits = i - intStart;
            if (intDigits == 0 || (intDigits > 1 && plain[intStart] == QLatin1Char('0')))
                Fail("bad integer part", where());
            if (places > 0) {
                if (QStringView(plain).mid(i, decimal.size()) != decimal)
                    Fail("no decimal separator", where());
                i += decimal.size();
                const qsizetype fracStart = i;
                while (i < plain.size() && plain[i].isDigit())
                    ++i;
                if (i - fracStart != places)
                    Fail("wrong number of places", where());
            }
            if (i != plain.size())
                Fail("trailing characters", where());
            bool allZero = true;
            for (QChar ch : plain)
                if (ch.isDigit() && ch != QLatin1Char('0'))
                    allZero = false;
            if (negative && allZero)
                Fail("a sign on a rounded zero", where());
            if (!allZero && negative != (value < 0))
                Fail("the sign does not match the value", where());

            // The value: 18 significant digits, then rounded to the places.
            const long double shown = std::strtold(CText(plain, decimal).c_str(), nullptr);
            const long double tolerance =
                0.5L * std::pow(10.0L, -places) * (1 + 1e-12L) + std::fabs(value) * 5.2e-18L;
            if (std::fabs(shown - value) > tolerance)
                Fail("the formatted value is off", where());
            // An exact half of the last place goes away from zero.
            if (shortExact && exactFraction[size_t(places)] == '5' &&
                exactFraction.find_first_not_of('0', size_t(places) + 1) == std::string::npos &&
                !(std::fabs(shown) > std::fabs(value)))
                Fail("an exact half was not rounded away from zero", where());

            // Grouping: the separator before every third integer digit from the right.
            QString expected = plain;
            for (qsizetype at = intStart + intDigits - 3; at > intStart; at -= 3)
                expected.insert(at, thousands);
            if (grouped != expected)
                Fail("wrong grouping", where());
        }
    }
}

// Four places without grouping, read back: the count itself.
void CheckCountRoundTrip(int64_t count) {
    const FixedLocale locale(QStringLiteral("."), QString());
    const QString text =
        FormatFloat(BuildResultFormatText(false, 4), DisplayValue(Currency{count}), locale);
    const std::optional<Currency> back = TryTextToCurrency(text, QStringLiteral("."));
    if (!back || back->count != count)
        Fail("a count formatted with four places does not read back",
             QStringLiteral("count %1 -> \"%2\" -> %3")
                 .arg(count)
                 .arg(text)
                 .arg(back ? QString::number(back->count) : QStringLiteral("refused")));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    unsigned char bytes[16] = {};
    std::memcpy(bytes, data, size < sizeof bytes ? size : sizeof bytes);
    double value;
    int64_t count;
    std::memcpy(&value, bytes, sizeof value);
    std::memcpy(&count, bytes + 8, sizeof count);

    CheckFloatToStr(value);
    CheckFormatFloat(static_cast<long double>(value));

    const long double display = DisplayValue(Currency{count});
    CheckFloatToStr(static_cast<double>(display));
    CheckFormatFloat(display);
    if (count > -1000000000000000000 && count < 1000000000000000000)
        CheckCountRoundTrip(count);
    return 0;
}
