#include "Example.h"

int ExampleRow(const QStringList& expressionTexts) {
    const int last = int(expressionTexts.size()) - 1;
    for (int row = 0; row < last; ++row)
        if (expressionTexts[row].isEmpty())
            return row;
    return last;
}
