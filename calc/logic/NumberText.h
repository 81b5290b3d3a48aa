#pragma once

#include "Locale.h"
#include "ScriptControl.h"

#include <QString>
#include <cstdint>
#include <optional>

// The fixed-point number every result passes through: a signed count of ten-thousandths.
struct Currency {
    int64_t count = 0;
    friend bool operator==(Currency, Currency) = default;
};

// The extended value nearest to one ten-thousandth.
inline constexpr long double kTenThousandth = 0.0001L;

// The value a Currency shows: its count times the extended ten-thousandth.
inline long double DisplayValue(Currency c) {
    return static_cast<long double>(c.count) * kTenThousandth;
}

// The general text of a double: at most 15 significant digits, the locale's decimal separator,
// the exponent form (5E-5, 1E15) for more than 15 integer digits or magnitudes below 0.0001,
// "INF", "-INF" and "NAN".
QString FloatToStr(double value, const QString& decimalSeparator);

// The text form of an engine value. Raises EVariantError for a value without one.
QString VarToStr(const Variant& value, const QString& decimalSeparator);

// Reads a decimal text as a Currency: blanks around it, an optional sign, digits with an optional
// decimal separator and fraction, an optional exponent; rounded to ten-thousandths with an exact
// half going to the even neighbour. Empty when the text has another form or is out of range.
std::optional<Currency> TryTextToCurrency(const QString& text, const QString& decimalSeparator);

// As above, raising EConvertError "'<text>' is not a valid floating point value" on failure.
// The quoted text is cut after 100 characters.
Currency StrToCurr(const QString& text, const QString& decimalSeparator);
