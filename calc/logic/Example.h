#pragma once

#include <QString>
#include <QStringList>

inline const QString kExampleExpression = QStringLiteral("(12+34)*3");

// The row the Example command fills: the first of rows 1 to 4 whose text is empty (a blank
// counts as text), else row 5. Returns a 0-based index.
int ExampleRow(const QStringList& expressionTexts);
