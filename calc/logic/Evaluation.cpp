#include "Evaluation.h"

#include "Errors.h"
#include "NumberText.h"
#include "ResultFormat.h"

QString EngineText(const QString& expression) {
    QString text;
    text.reserve(expression.size());
    for (const QChar c : expression) {
        if (c == QLatin1Char('%'))
            text += QLatin1String("*0.01");
        else
            text += c;
    }
    return text;
}

QString EvaluateExpression(ScriptControl* engine, const QString& expression, const QString& pattern,
                           const Locale& locale) {
    if (!engine)
        throw EOleSysError(Status::ClassNotRegistered);
    const Variant value = engine->Eval(EngineText(expression));
    const QString separator = locale.DecimalSeparator();
    const Currency fixed = StrToCurr(VarToStr(value, separator), separator);
    return FormatFloat(pattern, DisplayValue(fixed), locale);
}

QString HistoryEntryText(const QString& dateTime, const QString& expression,
                         const QString& result) {
    return QLatin1Char('\n') + dateTime + QLatin1Char('\n') + expression + QLatin1String("\n=\n") +
           result + QLatin1Char('\n');
}
