#pragma once

#include "NumberText.h"

// The exact decimal text of a Currency ("-12.3456", "0"), with "." as separator.
inline QString CurrencyToDecimalText(Currency c) {
    const bool negative = c.count < 0;
    const uint64_t magnitude = negative ? 0 - uint64_t(c.count) : uint64_t(c.count);
    QString text = QString::number(magnitude / 10000);
    const uint64_t fraction = magnitude % 10000;
    if (fraction != 0) {
        QString f = QString::number(fraction).rightJustified(4, QLatin1Char('0'));
        while (f.endsWith(QLatin1Char('0')))
            f.chop(1);
        text += QLatin1Char('.') + f;
    }
    return negative ? QLatin1Char('-') + text : text;
}
