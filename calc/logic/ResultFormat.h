#pragma once

#include "Locale.h"

#include <QString>

// The result pattern: "#,##0" with separators or "0" without, then "." and one "0" per place.
QString BuildResultFormatText(bool separators, int precision);

// Formats an extended value with a result pattern: 18 significant digits, then rounded half away
// from zero to the pattern's places; no sign on a rounded zero; the locale's separators.
QString FormatFloat(const QString& pattern, long double value, const Locale& locale);
