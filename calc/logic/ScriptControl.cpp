#include "ScriptControl.h"

#include "Errors.h"

QString CheckedLanguage(const QString& language) {
    if (language.compare(QLatin1String("JavaScript"), Qt::CaseInsensitive) != 0)
        throw EOleSysError(Status::InvalidArgument);
    return language;
}
