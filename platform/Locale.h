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

// The desktop's locale (LC_NUMERIC, LC_TIME and friends, as Qt reads them).
class SystemLocale final : public Locale {
public:
    QString DecimalSeparator() const override;
    QString ThousandSeparator() const override;
    QString ShortDateFormat() const override;
    QString LongTimeFormat() const override;
    QString FormatDate(const QDate& date, const QString& format) const override;
    QString FormatTime(const QTime& time, const QString& format) const override;
};

// A locale with given separators and formats, for tests and for callers that want stable output.
class FixedLocale final : public Locale {
public:
    FixedLocale(QString decimal, QString thousands, QString shortDate = QStringLiteral("M/d/yyyy"),
                QString longTime = QStringLiteral("h:mm:ss AP"))
        : m_decimal(std::move(decimal)), m_thousands(std::move(thousands)),
          m_shortDate(std::move(shortDate)), m_longTime(std::move(longTime)) {}
    QString DecimalSeparator() const override { return m_decimal; }
    QString ThousandSeparator() const override { return m_thousands; }
    QString ShortDateFormat() const override { return m_shortDate; }
    QString LongTimeFormat() const override { return m_longTime; }
    QString FormatDate(const QDate& date, const QString& format) const override;
    QString FormatTime(const QTime& time, const QString& format) const override;

private:
    QString m_decimal, m_thousands, m_shortDate, m_longTime;
};

// Removes the time-zone field ("t", "tt", ...) from a time pattern, with the blanks around it;
// quoted literal text is kept.
QString WithoutTimeZone(const QString& timeFormat);

// The default date-time form: short date, then a blank and the long time, the time left out
// when hours, minutes and seconds are all zero.
QString DateTimeToStr(const QDateTime& when, const Locale& locale);
