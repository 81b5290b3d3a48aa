#include "SystemLocale.h"

#include <QLocale>

QString SystemLocale::DecimalSeparator() const {
    return QLocale::system().decimalPoint();
}

QString SystemLocale::ThousandSeparator() const {
    const QLocale loc = QLocale::system();
    if (loc.numberOptions() & QLocale::OmitGroupSeparator)
        return QString();
    return loc.groupSeparator();
}

QString SystemLocale::ShortDateFormat() const {
    return QLocale::system().dateFormat(QLocale::ShortFormat);
}

QString SystemLocale::LongTimeFormat() const {
    return WithoutTimeZone(QLocale::system().timeFormat(QLocale::LongFormat));
}

QString SystemLocale::FormatDate(const QDate& date, const QString& format) const {
    return QLocale::system().toString(date, format);
}

QString SystemLocale::FormatTime(const QTime& time, const QString& format) const {
    return QLocale::system().toString(time, format);
}
