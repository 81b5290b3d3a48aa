#pragma once

#include "Locale.h"

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
