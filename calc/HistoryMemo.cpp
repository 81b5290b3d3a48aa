#include "HistoryMemo.h"

#include "ErrorReporter.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>

THistoryMemo::THistoryMemo(QWidget* parent, ErrorReporter& errors)
    : QPlainTextEdit(parent), m_errors(errors) {
    QScrollBar* bar = verticalScrollBar();
    connect(bar, &QScrollBar::valueChanged, this, [this] { TakeInWhenNearEnd(); });
    connect(bar, &QScrollBar::rangeChanged, this, [this] { TakeInWhenNearEnd(); });
    // The memo's own scrolling (keys, the caret, a drag selecting text) moves the bar without its
    // signal.
    connect(this, &QPlainTextEdit::updateRequest, this, [this](const QRect&, int dy) {
        if (dy != 0)
            TakeInWhenNearEnd();
    });
    connect(this, &QPlainTextEdit::cursorPositionChanged, this, [this] { TakeInWhenNearEnd(); });
    // Going to the very end with the scroll bar (its "Bottom", or the thumb dragged to the end and
    // let go there) reads the whole history first.
    connect(bar, &QAbstractSlider::actionTriggered, this, [this](int action) {
        if (action == QAbstractSlider::SliderToMaximum && !m_rest.IsEmpty()) {
            TakeInReporting(-1);
            verticalScrollBar()->setSliderPosition(verticalScrollBar()->maximum());
        }
    });
    connect(bar, &QAbstractSlider::sliderReleased, this, [this, bar] {
        if (bar->value() == bar->maximum() && !m_rest.IsEmpty()) {
            TakeInReporting(-1);
            bar->setValue(bar->maximum());
        }
    });
}

QString THistoryMemo::Text() const {
    QString text = document()->toRawText();
    text.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    return text;
}

void THistoryMemo::SetHistory(const QString& text, HistoryRest rest) {
    m_rest = std::move(rest);
    m_restFailed = false;
    m_takingIn = true;
    setPlainText(text);
    m_takingIn = false;
    TakeInWhenNearEnd();
}

void THistoryMemo::ClearHistory() {
    m_rest = {};
    clear();
}

void THistoryMemo::MoveRest(const HistoryRest& from, const HistoryRest& to) {
    const qint64 end = from.offset + from.size;
    if (m_rest.IsEmpty() || m_rest.file != from.file || m_rest.offset < from.offset ||
        m_rest.offset + m_rest.size != end)
        return; // erased or replaced since
    m_rest = {to.file, to.offset + (m_rest.offset - from.offset), m_rest.size};
}

void THistoryMemo::TakeIn(qint64 bytes) {
    if (m_rest.IsEmpty())
        return;
    const QString text = TakeHistoryRest(m_rest, bytes);
    // The user's caret, selection and view stay where they are.
    const QTextCursor user = textCursor();
    const int anchor = user.anchor();
    const int position = user.position();
    const int scrolled = verticalScrollBar()->value();

    QTextDocument* doc = document();
    m_takingIn = true;
    doc->setUndoRedoEnabled(false);
    QTextCursor end(doc);
    end.movePosition(QTextCursor::End);
    end.insertText(text);
    doc->setUndoRedoEnabled(true);
    m_takingIn = false;

    if (textCursor().anchor() != anchor || textCursor().position() != position) {
        QTextCursor restored(doc);
        restored.setPosition(anchor);
        restored.setPosition(position, QTextCursor::KeepAnchor);
        setTextCursor(restored);
        verticalScrollBar()->setValue(scrolled);
    }
}

void THistoryMemo::TakeInReporting(qint64 bytes) {
    if (m_restFailed || m_rest.IsEmpty())
        return;
    if (!RunHandler(m_errors, [&] { TakeIn(bytes); }))
        m_restFailed = true;
}

void THistoryMemo::TakeInWhenNearEnd() {
    if (m_rest.IsEmpty() || m_restFailed || m_takeInQueued)
        return;
    const QScrollBar* bar = verticalScrollBar();
    if (bar->value() < bar->maximum() - 2 * bar->pageStep())
        return;
    // Not inside the scroll bar's own signal: the text grows on the next turn of the loop.
    m_takeInQueued = true;
    QTimer::singleShot(0, this, [this] {
        m_takeInQueued = false;
        TakeInReporting(kTakeInBytes);
    });
}

void THistoryMemo::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::SelectAll) ||
        event->matches(QKeySequence::MoveToEndOfDocument) ||
        event->matches(QKeySequence::SelectEndOfDocument))
        TakeInReporting(-1);
    QPlainTextEdit::keyPressEvent(event);
}

void THistoryMemo::contextMenuEvent(QContextMenuEvent* event) {
    QMenu* menu = createStandardContextMenu(event->pos());
    menu->setAttribute(Qt::WA_DeleteOnClose);
    // "Select All" takes in the whole history before it selects.
    if (QAction* all = menu->findChild<QAction*>(QStringLiteral("select-all"))) {
        disconnect(all, &QAction::triggered, nullptr, nullptr);
        connect(all, &QAction::triggered, this, [this] {
            TakeInReporting(-1);
            selectAll();
        });
    }
    menu->popup(event->globalPos());
}
