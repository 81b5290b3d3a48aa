#pragma once

#include <QDateTime>
#include <QString>

// The user's number and date conventions, read at the moment of use.
class Locale {
public:
    virtual ~Locale() = default;
    virtual QString DecimalSeparator() const = 0;
    // Empty when the locale groups no digits.
    virtual QString ThousandSeparator() const = 0;
    // Patterns in QLocale's date and time format syntax.
    virtual QString ShortDateFormat() const = 0;
    virtual QString LongTimeFormat() const = 0;
    // Renders a date or time with a pattern, with the locale's month and day names.
    virtual QString FormatDate(const QDate& date, const QString& format) const = 0;
    virtual QString FormatTime(const QTime& time, const QString& format) const = 0;
};

// Removes the time-zone field ("t", "tt", ...) from a time pattern, with the blanks around it;
// quoted literal text is kept.
QString WithoutTimeZone(const QString& timeFormat);

// The default date-time form: short date, then a blank and the long time, the time left out
// when hours, minutes and seconds are all zero.
QString DateTimeToStr(const QDateTime& when, const Locale& locale);
