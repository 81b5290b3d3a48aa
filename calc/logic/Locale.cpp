#include "Locale.h"

QString WithoutTimeZone(const QString& timeFormat) {
    QString out;
    bool quoted = false;
    for (qsizetype i = 0; i < timeFormat.size(); ++i) {
        const QChar c = timeFormat[i];
        if (c == QLatin1Char('\'')) {
            quoted = !quoted;
            out += c;
            continue;
        }
        if (!quoted && c == QLatin1Char('t')) {
            while (i + 1 < timeFormat.size() && timeFormat[i + 1] == QLatin1Char('t'))
                ++i;
            // Drop the blanks that separated the zone from the rest.
            while (!out.isEmpty() && out.back().isSpace())
                out.chop(1);
            continue;
        }
        out += c;
    }
    return out.trimmed();
}

QString DateTimeToStr(const QDateTime& when, const Locale& locale) {
    QString text = locale.FormatDate(when.date(), locale.ShortDateFormat());
    const QTime t = when.time();
    if (t.hour() != 0 || t.minute() != 0 || t.second() != 0)
        text += QLatin1Char(' ') + locale.FormatTime(t, locale.LongTimeFormat());
    return text;
}
