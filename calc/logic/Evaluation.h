#pragma once

#include "Locale.h"
#include "ScriptControl.h"

#include <QString>

// The text handed to the engine: every "%" becomes "*0.01", everything else is kept as typed.
QString EngineText(const QString& expression);

// Evaluates an expression and returns the formatted result. A null engine or a failing one
// raises EOleSysError (shown in the row's result box); a value that is not a number in the
// fixed-point range raises EConvertError, one without a text EVariantError (both for the
// error box).
QString EvaluateExpression(ScriptControl* engine, const QString& expression, const QString& pattern,
                           const Locale& locale);

// The five history lines of one evaluation as memo text, newest-first order, each line ended:
// an empty line, the date and time, the expression, "=", the result.
QString HistoryEntryText(const QString& dateTime, const QString& expression, const QString& result);
