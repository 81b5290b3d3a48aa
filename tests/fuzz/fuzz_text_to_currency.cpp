// Reads arbitrary bytes as text (UTF-8 and Latin-1) with both decimal separators and checks:
// - an accepted text's exact decimal form reads back as the same count, with "." and with the
//   separator it was read with;
// - an exact half ten-thousandth goes to the even count;
// - StrToCurr agrees with TryTextToCurrency, and its message quotes at most 100 characters;
// - for plain ASCII texts, the count agrees with glibc's correctly rounded strtold, and a text of
//   the accepted form whose value lies inside the fixed-point range is never refused.
#include "Errors.h"
#include "NumberText.h"
#include "support/CurrencyText.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

[[noreturn]] void Fail(const char* what, const QString& text, const QString& separator,
                       const QString& detail = QString()) {
    std::fprintf(stderr, "FAILED: %s\n  text: \"%s\"\n  separator: \"%s\"\n  %s\n", what,
                 text.toUtf8().constData(), separator.toUtf8().constData(),
                 detail.toUtf8().constData());
    std::abort();
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The accepted form, written out on its own: blanks, sign, digits with an optional separator
// and fraction (at least one digit in all), optional exponent with at least one digit, blanks.
bool HasNumberForm(const std::string& s, char separator) {
    size_t i = 0, n = s.size();
    while (i < n && s[i] == ' ')
        ++i;
    while (n > i && s[n - 1] == ' ')
        --n;
    if (i < n && (s[i] == '+' || s[i] == '-'))
        ++i;
    size_t digits = 0;
    while (i < n && IsDigit(s[i]))
        ++i, ++digits;
    if (i < n && s[i] == separator) {
        ++i;
        while (i < n && IsDigit(s[i]))
            ++i, ++digits;
    }
    if (digits == 0)
        return false;
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < n && (s[i] == '+' || s[i] == '-'))
            ++i;
        if (i == n || !IsDigit(s[i]))
            return false;
        while (i < n && IsDigit(s[i]))
            ++i;
    }
    return i == n;
}

// Whether the value of a text of the accepted form (with "." as separator), counted in
// ten-thousandths, lies exactly halfway between two whole numbers.
bool IsExactHalf(const std::string& s) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '+' || s[i] == '-'))
        ++i;
    std::string digits;
    int64_t fractionDigits = 0;
    bool afterPoint = false;
    for (; i < s.size(); ++i) {
        if (IsDigit(s[i])) {
            digits += s[i];
            fractionDigits += afterPoint;
        } else if (s[i] == '.') {
            afterPoint = true;
        } else {
            break;
        }
    }
    int64_t exponent = 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        bool negative = false;
        if (s[i] == '+' || s[i] == '-')
            negative = s[i++] == '-';
        for (; i < s.size() && IsDigit(s[i]); ++i)
            exponent = std::min<int64_t>(exponent * 10 + (s[i] - '0'), int64_t(1) << 40);
        if (negative)
            exponent = -exponent;
    }
    // The last `below` digits lie below the unit (one ten-thousandth).
    const int64_t below = fractionDigits - exponent - 4;
    if (below < 1 || below > int64_t(digits.size()))
        return false;
    const size_t first = digits.size() - size_t(below);
    return digits[first] == '5' && digits.find_first_not_of('0', first + 1) == std::string::npos;
}

// Compares the parser with strtold on texts made of printable ASCII only.
void CheckAgainstStrtold(const QString& text, const QString& separator,
                         const std::optional<Currency>& parsed) {
    std::string s;
    for (QChar ch : text) {
        if (ch.unicode() < 0x20 || ch.unicode() > 0x7e)
            return;
        s += char(ch.unicode());
    }
    const char sep = char(separator[0].unicode());
    if (!HasNumberForm(s, sep)) {
        if (parsed)
            Fail("a text of another form was accepted", text, separator);
        return;
    }
    for (char& c : s)
        if (c == sep)
            c = '.';
    const long double scaled = std::strtold(s.c_str(), nullptr) * 10000.0L;
    // The range ends at 2^63 ten-thousandths; near the edge the rounding decides, so only values
    // clearly inside or clearly outside are judged.
    const long double edge = 9223372036854775808.0L;
    if (std::fabs(scaled) < edge * (1 - 1e-15L)) {
        if (!parsed)
            Fail("a number inside the range was refused", text, separator);
        const long double error = std::fabs(static_cast<long double>(parsed->count) - scaled);
        if (error > 0.5L + std::fabs(scaled) * 1e-18L)
            Fail("the count is not the rounded value", text, separator,
                 QStringLiteral("count %1, strtold gives %2")
                     .arg(parsed->count)
                     .arg(double(scaled), 0, 'g', 21));
        if (IsExactHalf(s) && parsed->count % 2 != 0)
            Fail("an exact half was not rounded to even", text, separator,
                 QStringLiteral("count %1").arg(parsed->count));
    } else if (std::fabs(scaled) > edge * (1 + 1e-15L) && parsed) {
        Fail("a number outside the range was accepted", text, separator,
             QStringLiteral("count %1").arg(parsed->count));
    }
}

void Check(const QString& text, const QString& separator) {
    const std::optional<Currency> parsed = TryTextToCurrency(text, separator);

    if (parsed) {
        const QString exact = CurrencyToDecimalText(*parsed);
        const std::optional<Currency> again = TryTextToCurrency(exact, QStringLiteral("."));
        if (!again || *again != *parsed)
            Fail("the exact decimal text does not read back", text, separator,
                 QStringLiteral("count %1, text %2").arg(parsed->count).arg(exact));
        QString local = exact;
        local.replace(QLatin1Char('.'), separator);
        const std::optional<Currency> localAgain = TryTextToCurrency(local, separator);
        if (!localAgain || *localAgain != *parsed)
            Fail("the decimal text with this separator does not read back", text, separator, local);
    }

    try {
        const Currency c = StrToCurr(text, separator);
        if (!parsed || c != *parsed)
            Fail("StrToCurr accepted what TryTextToCurrency refused", text, separator);
    } catch (const EConvertError& e) {
        if (parsed)
            Fail("StrToCurr refused what TryTextToCurrency accepted", text, separator);
        const QString& message = e.Message();
        static const QString tail = QStringLiteral("' is not a valid floating point value");
        // The quote: at most 100 characters of the text, then "..." when it was cut.
        const qsizetype limit = 1 + 100 + 3 + tail.size();
        if (message.size() > limit)
            Fail("the error message is too long", text, separator,
                 QStringLiteral("%1 characters").arg(message.size()));
        // A character of two UTF-16 units at the cut is left out whole.
        const qsizetype cut = text.size() > 100 && text[99].isHighSurrogate() ? 99 : 100;
        const QString quoted = text.size() > 100 ? text.left(cut) + QStringLiteral("...") : text;
        if (message != QLatin1Char('\'') + quoted + tail)
            Fail("unexpected error message", text, separator, message);
    }

    CheckAgainstStrtold(text, separator, parsed);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    const qsizetype length = static_cast<qsizetype>(size);
    const QString texts[] = {QString::fromUtf8(bytes, length), QString::fromLatin1(bytes, length)};
    for (const QString& text : texts) {
        Check(text, QStringLiteral("."));
        Check(text, QStringLiteral(","));
    }
    return 0;
}
