#pragma once

#include "Locale.h"

#include <QLocale>

// A locale with given separators and formats, and the C locale's month and day names: output that
// does not depend on the machine.
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
    QString FormatDate(const QDate& date, const QString& format) const override {
        return QLocale::c().toString(date, format);
    }
    QString FormatTime(const QTime& time, const QString& format) const override {
        return QLocale::c().toString(time, format);
    }

private:
    QString m_decimal, m_thousands, m_shortDate, m_longTime;
};
