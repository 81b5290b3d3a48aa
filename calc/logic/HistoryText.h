#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// The history file and the history memo's text.
//
// In the memo every line ends in "\n". In the file lines end in CR LF and the text is UTF-8
// without a byte order mark. Older files may be in the Windows ANSI code page (Windows-1252) and
// may end their lines in LF or in a lone CR.

// File bytes to memo text. The bytes are UTF-8 when they are valid UTF-8 (a byte order mark at
// the start is dropped, a doubled one too), otherwise Windows-1252, in which every byte is one
// character and nothing becomes U+FFFD. Every line break then becomes one "\n": a CR LF pair, a
// lone CR, a lone LF, and also U+2028 and U+2029, which the memo shows as line breaks and which
// EncodeHistoryText writes as CR LF.
QString DecodeHistoryBytes(const QByteArray& bytes);

// Memo text to file bytes: UTF-8 without a byte order mark, every line break written as CR LF.
// A line break is "\n", a CR LF pair, a lone CR, U+2028 (line separator) or U+2029 (the block
// separator of QTextDocument::toRawText).
QByteArray EncodeHistoryText(const QString& memoText);

// Checks, a piece at a time, that file bytes are in the form EncodeHistoryText writes and that
// the memo keeps as they are, so that reading them and writing them back gives the same bytes:
// valid UTF-8 without a byte order mark at the start, every line break a CR LF pair, and none of
// U+2028, U+2029 and the two characters the memo uses for its own frames (U+FDD0, U+FDD1).
// Bytes in that form may be copied into a saved file unread.
class SavedFormCheck {
public:
    void Feed(QByteArrayView bytes);
    // True when everything fed is in the saved form and ends there (not inside a character or
    // between a CR and its LF).
    bool Finish() const { return m_ok && m_need == 0 && !m_afterCR; }
    bool Failed() const { return !m_ok; }

private:
    void Character(char32_t c);

    bool m_ok = true;
    bool m_first = true; // no character yet: a byte order mark here is not in the saved form
    bool m_afterCR = false;
    int m_need = 0; // continuation bytes still to come in the current character
    char32_t m_code = 0;
    char32_t m_least = 0; // the least code point its length may encode
};

// Where to cut history file bytes in the saved form so that the part before the cut is whole
// lines of at most `budget` bytes: after the first CR LF of the last empty line that starts
// within the budget (between two entries), else after the last CR LF within it. 0 when no line
// ends within the budget. `bytes` may run past the budget, so that a break straddling it is seen.
qsizetype HistoryCut(QByteArrayView bytes, qsizetype budget);
