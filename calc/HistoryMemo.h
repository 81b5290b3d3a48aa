#pragma once

#include "HistoryFile.h"

#include <QPlainTextEdit>

class ErrorReporter;

// The history memo. A long history is not read whole at start: the memo holds its newest part
// and the rest stays in the file (HistoryRest) until the user goes there. Scrolling near the end
// takes in the next part; what acts on the whole text (select all, the end of the document, the
// scroll bar taken to its very end) takes in all of it first. The memo's text followed by the rest
// is always the whole history, and taking in changes neither it nor the memo's undo history's
// meaning: taken-in text is not undoable.
class THistoryMemo : public QPlainTextEdit {
public:
    THistoryMemo(QWidget* parent, ErrorReporter& errors);

    // The text as the user sees it (toPlainText would turn no-break spaces into blanks), without
    // the rest.
    QString Text() const;
    const HistoryRest& Rest() const { return m_rest; }

    // A new history: the text and the rest of the file that follows it.
    void SetHistory(const QString& text, HistoryRest rest);
    // Empties the memo and forgets the rest.
    void ClearHistory();
    // The rest's bytes were copied to another file: `from` is the rest as it was when the copy
    // began, `to` where those bytes now are. Whatever part of `from` the memo still lacks is
    // read from `to` from now on.
    void MoveRest(const HistoryRest& from, const HistoryRest& to);

    // Takes in about `bytes` more of the rest (to an entry boundary); all of it when negative.
    // Raises EReadError when the file cannot be read; the rest is then kept as it is.
    void TakeIn(qint64 bytes);
    // True while text taken in from the rest is being added: the history itself does not change.
    bool TakingIn() const { return m_takingIn; }

    // How much is taken in at a time as the user scrolls.
    static constexpr qint64 kTakeInBytes = 16 * 1024;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    // Takes in, reporting a failure once: a file that cannot be read is not tried again.
    void TakeInReporting(qint64 bytes);
    void TakeInWhenNearEnd();

    ErrorReporter& m_errors;
    HistoryRest m_rest;
    bool m_takingIn = false;
    bool m_restFailed = false;
    bool m_takeInQueued = false;
};
