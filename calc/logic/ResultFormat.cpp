#include "ResultFormat.h"

#include "ScientificDigits.h"

#include <cmath>
#include <string>

namespace {

// Adds one to the last digit of a decimal digit string, carrying to the left. True when the
// carry runs out of the string's front (every digit was 9, and is now 0).
bool IncrementCarriesOut(std::string& digits) {
    for (size_t k = digits.size(); k-- > 0;) {
        if (digits[k] != '9') {
            ++digits[k];
            return false;
        }
        digits[k] = '0';
    }
    return true;
}

} // namespace

QString BuildResultFormatText(bool separators, int precision) {
    QString pattern = separators ? QStringLiteral("#,##0") : QStringLiteral("0");
    if (precision >= 1)
        pattern += QLatin1Char('.') + QString(precision, QLatin1Char('0'));
    return pattern;
}

QString FormatFloat(const QString& pattern, long double value, const Locale& locale) {
    if (std::isnan(value))
        return QStringLiteral("NAN");
    if (std::isinf(value))
        return value < 0 ? QStringLiteral("-INF") : QStringLiteral("INF");

    const bool grouping = pattern.contains(QLatin1Char(','));
    int places = 0;
    if (const qsizetype dot = pattern.indexOf(QLatin1Char('.')); dot >= 0)
        places = int(QStringView(pattern).mid(dot + 1).count(QLatin1Char('0')));

    // 18 significant digits of the magnitude.
    const ScientificDigits scientific = ToScientificDigits(value, 17);
    const std::string& digits = scientific.digits;
    const int exponent = scientific.exponent;

    // Lay the digits out as integer and fraction digits, the fraction cut after `places`.
    std::string integer, fraction;
    const int intCount = exponent + 1;
    auto digitAt = [&](int index) -> char { // index 0 is the leading significant digit
        return index >= 0 && index < int(digits.size()) ? digits[size_t(index)] : '0';
    };
    for (int k = 0; k < intCount; ++k)
        integer += digitAt(k);
    for (int k = 0; k < places; ++k)
        fraction += digitAt(intCount + k);
    if (integer.empty())
        integer.assign(1, '0');

    // Half away from zero at the last kept place.
    if (digitAt(intCount + places) >= '5' && IncrementCarriesOut(fraction) &&
        IncrementCarriesOut(integer))
        integer = '1' + integer;
    if (const size_t first = integer.find_first_not_of('0'); first == std::string::npos)
        integer.assign(1, '0');
    else
        integer = integer.substr(first);

    const bool zero = integer == "0" && fraction.find_first_not_of('0') == std::string::npos;
    QString out;
    if (value < 0 && !zero)
        out += QLatin1Char('-');

    const QString group = grouping ? locale.ThousandSeparator() : QString();
    for (size_t k = 0; k < integer.size(); ++k) {
        if (k > 0 && !group.isEmpty() && (integer.size() - k) % 3 == 0)
            out += group;
        out += QLatin1Char(integer[k]);
    }
    if (places > 0)
        out += locale.DecimalSeparator() + QString::fromLatin1(fraction.data(), fraction.size());
    return out;
}
