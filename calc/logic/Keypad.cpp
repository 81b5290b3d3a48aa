#include "Keypad.h"

#include <QStringList>
#include <algorithm>

KeypadAction KeypadActionOf(const QString& caption) {
    static const QStringList inserts = {"0", "1", "2", "3", "4", "5", "6", "7", "8",
                                        "9", "(", ")", ".", "+", "-", "*", "/", "%"};
    if (inserts.contains(caption))
        return KeypadAction::Insert;
    if (caption == QLatin1String("="))
        return KeypadAction::Evaluate;
    if (caption == QLatin1String("+/-"))
        return KeypadAction::ToggleSign;
    if (caption == QLatin1String("Clear"))
        return KeypadAction::Clear;
    if (caption == QLatin1String("Clear All"))
        return KeypadAction::ClearAll;
    if (caption == QLatin1String("<--"))
        return KeypadAction::BackSpace;
    return KeypadAction::None;
}

EditState KeypadInsert(const QString& text, int position, const QString& caption) {
    const int at = std::clamp(position, 0, int(text.size()));
    QString result = text;
    result.insert(at, caption);
    return {result, at + int(caption.size())};
}

std::optional<EditState> ToggleSign(const QString& text) {
    if (text.isEmpty())
        return std::nullopt;
    QString result = text;
    if (text.startsWith(QLatin1String("-(")) && text.endsWith(QLatin1Char(')'))) {
        result.chop(1);
        result.remove(0, 2);
    } else {
        result = QLatin1String("-(") + text + QLatin1Char(')');
    }
    return EditState{result, int(result.size())};
}
