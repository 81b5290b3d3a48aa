#pragma once

#include <QString>
#include <optional>

// The keypad's text edits, independent of any widget.

enum class KeypadAction { None, Insert, Evaluate, ToggleSign, Clear, ClearAll, BackSpace };

// What a key with this caption does; captions are compared exactly.
KeypadAction KeypadActionOf(const QString& caption);

struct EditState {
    QString text;
    int caret = 0;
    friend bool operator==(const EditState&, const EditState&) = default;
};

// Inserts the caption before the character at `position` (the selection start; a selection is
// not replaced) and puts the caret behind it.
EditState KeypadInsert(const QString& text, int position, const QString& caption);

// -(X) becomes X, anything else X becomes -(X); the test is purely textual. The caret goes to the
// end. Empty when the text is empty.
std::optional<EditState> ToggleSign(const QString& text);
