#include "NumberText.h"

#include "Errors.h"
#include "ScientificDigits.h"

#include <cmath>
#include <string>

QString FloatToStr(double value, const QString& decimalSeparator) {
    if (std::isnan(value))
        return QStringLiteral("NAN");
    if (std::isinf(value))
        return value < 0 ? QStringLiteral("-INF") : QStringLiteral("INF");
    if (value == 0)
        return QStringLiteral("0");

    ScientificDigits scientific = ToScientificDigits(value, 14);
    std::string& digits = scientific.digits;
    const int exponent = scientific.exponent;
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();

    QString out;
    if (value < 0)
        out += QLatin1Char('-');
    if (exponent >= 15 || exponent < -4) {
        out += QLatin1Char(digits[0]);
        if (digits.size() > 1)
            out += decimalSeparator + QString::fromLatin1(digits.data() + 1, digits.size() - 1);
        out += QLatin1Char('E') + QString::number(exponent);
        return out;
    }
    if (exponent < 0) {
        out += QLatin1Char('0') + decimalSeparator + QString(-exponent - 1, QLatin1Char('0')) +
               QString::fromLatin1(digits.data(), digits.size());
        return out;
    }
    const size_t intDigits = static_cast<size_t>(exponent) + 1;
    if (digits.size() <= intDigits) {
        out += QString::fromLatin1(digits.data(), digits.size()) +
               QString(int(intDigits - digits.size()), QLatin1Char('0'));
    } else {
        out += QString::fromLatin1(digits.data(), intDigits) + decimalSeparator +
               QString::fromLatin1(digits.data() + intDigits, digits.size() - intDigits);
    }
    return out;
}

QString VarToStr(const Variant& value, const QString& decimalSeparator) {
    switch (value.kind) {
    case Variant::Kind::Empty:
    case Variant::Kind::Null:
        return QString();
    case Variant::Kind::Integer:
        return QString::number(value.integer);
    case Variant::Kind::Double:
        return FloatToStr(value.number, decimalSeparator);
    case Variant::Kind::Boolean:
        return value.boolean ? QStringLiteral("True") : QStringLiteral("False");
    case Variant::Kind::Text:
        return value.text;
    case Variant::Kind::Object:
        if (!value.convertible)
            throw EVariantError(
                QStringLiteral("Could not convert variant of type (Dispatch) into type (String)"));
        return value.text;
    }
    return QString();
}

std::optional<Currency> TryTextToCurrency(const QString& text, const QString& decimalSeparator) {
    qsizetype i = 0, n = text.size();
    while (i < n && text[i] == QLatin1Char(' '))
        ++i;
    while (n > i && text[n - 1] == QLatin1Char(' '))
        --n;

    bool negative = false;
    if (i < n && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-')))
        negative = text[i++] == QLatin1Char('-');

    // All mantissa digits without leading zeros, and how many of them follow the separator.
    std::string digits;
    int64_t fractionDigits = 0;
    bool anyDigit = false;
    auto takeDigits = [&](bool fraction) {
        while (i < n && text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9')) {
            anyDigit = true;
            const char d = char(text[i].unicode());
            if (!(digits.empty() && d == '0'))
                digits += d;
            if (fraction)
                ++fractionDigits;
            ++i;
        }
    };
    takeDigits(false);
    if (!decimalSeparator.isEmpty() &&
        QStringView(text).mid(i, n - i).startsWith(decimalSeparator)) {
        i += decimalSeparator.size();
        takeDigits(true);
    }
    if (!anyDigit)
        return std::nullopt;

    int64_t exponent = 0;
    if (i < n && (text[i] == QLatin1Char('e') || text[i] == QLatin1Char('E'))) {
        ++i;
        bool expNegative = false;
        if (i < n && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-')))
            expNegative = text[i++] == QLatin1Char('-');
        if (i >= n || text[i] < QLatin1Char('0') || text[i] > QLatin1Char('9'))
            return std::nullopt;
        while (i < n && text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9')) {
            if (exponent < 1000000000)
                exponent = exponent * 10 + (text[i].unicode() - '0');
            ++i;
        }
        if (expNegative)
            exponent = -exponent;
    }
    if (i != n)
        return std::nullopt;

    // Trailing zeros of the mantissa carry no value: fold them into the exponent.
    int64_t scale = exponent + 4 - fractionDigits;
    while (!digits.empty() && digits.back() == '0') {
        digits.pop_back();
        ++scale;
    }
    if (digits.empty())
        return Currency{0};

    // count = digits * 10^scale, rounded to an integer.
    const int64_t length = static_cast<int64_t>(digits.size());
    if (length + scale > 19)
        return std::nullopt;
    unsigned __int128 magnitude = 0;
    if (scale >= 0) {
        for (char d : digits)
            magnitude = magnitude * 10 + unsigned(d - '0');
        for (int64_t k = 0; k < scale; ++k)
            magnitude *= 10;
    } else {
        const int64_t keep = length + scale; // digits before the rounding point (may be <= 0)
        for (int64_t k = 0; k < keep; ++k)
            magnitude = magnitude * 10 + unsigned(digits[size_t(k)] - '0');
        // The first dropped digit decides; an exact half rounds to even. Since trailing zeros
        // were stripped, any digit after the first dropped one is nonzero.
        if (keep >= 0) {
            const char first = digits[size_t(keep)];
            const bool more = length - keep > 1;
            if (first > '5' || (first == '5' && (more || (magnitude & 1))))
                magnitude += 1;
        }
    }
    const unsigned __int128 limit =
        negative ? (unsigned __int128)(uint64_t(INT64_MAX) + 1) : (unsigned __int128)INT64_MAX;
    if (magnitude > limit)
        return std::nullopt;
    if (negative)
        return Currency{magnitude == limit ? INT64_MIN : -static_cast<int64_t>(magnitude)};
    return Currency{static_cast<int64_t>(magnitude)};
}

Currency StrToCurr(const QString& text, const QString& decimalSeparator) {
    if (auto c = TryTextToCurrency(text, decimalSeparator))
        return *c;
    QString shown = text;
    if (text.size() > 100) {
        // Never cut a character in half.
        const qsizetype cut = text[99].isHighSurrogate() ? 99 : 100;
        shown = text.left(cut) + QStringLiteral("...");
    }
    throw EConvertError(QStringLiteral("'%1' is not a valid floating point value").arg(shown));
}
