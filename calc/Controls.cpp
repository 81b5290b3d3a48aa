#include "Controls.h"

#include <QApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QMouseEvent>

#include <algorithm>
#include <cmath>

namespace {

// How long a key release waits for a press of the same key that would make it part of the key's
// auto-repeat. The X server sends such a pair in one go, so the press normally follows within a
// few milliseconds (the accessibility bridge adds a round trip to its registry); a person
// pressing the key again takes longer, and does not notice the wait.
constexpr int kReleaseWaitMs = 80;

} // namespace

TEdit::TEdit(QWidget* parent) : QLineEdit(parent) {
    m_releaseTimer = new QTimer(this);
    m_releaseTimer->setSingleShot(true);
    m_releaseTimer->setInterval(kReleaseWaitMs);
    connect(m_releaseTimer, &QTimer::timeout, this, [this] { ReportRelease(); });
}

double ContrastRatio(const QColor& a, const QColor& b) {
    const auto luminance = [](const QColor& colour) {
        const auto linear = [](double c) {
            return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * linear(colour.redF()) + 0.7152 * linear(colour.greenF()) +
               0.0722 * linear(colour.blueF());
    };
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

int TEdit::SelStart() const {
    return hasSelectedText() ? selectionStart() : cursorPosition();
}

void TEdit::SetText(const QString& text) {
    setText(text);
    setCursorPosition(0);
}

void TEdit::focusInEvent(QFocusEvent* event) {
    QLineEdit::focusInEvent(event);
    if (OnFocusIn)
        OnFocusIn(this, event->reason());
}

void TEdit::focusOutEvent(QFocusEvent* event) {
    // Keys held while the box loses the focus end elsewhere.
    m_releaseTimer->stop();
    m_releasePending = false;
    m_heldKeys.clear();
    // The handler reads the selection, which QLineEdit drops as the focus leaves.
    if (OnFocusOut)
        OnFocusOut(this, event->reason());
    QLineEdit::focusOutEvent(event);
}

void TEdit::keyPressEvent(QKeyEvent* event) {
    if (m_releasePending) {
        // Time stamps tell a repeat from a new press where both events carry one; events that
        // the accessibility bridge passes on carry none (nor the auto-repeat mark), and then a
        // press of the same key within the wait is the repeat.
        const bool stamped = event->timestamp() != 0 && m_releaseTime != 0;
        if (event->key() == m_releaseKey && (!stamped || event->timestamp() == m_releaseTime)) {
            // The release before this press was the auto-repeat's: the key is still held.
            m_releasePending = false;
            m_releaseTimer->stop();
        } else {
            // The release was real and another key follows it: report the release first, and
            // if that moved the focus, the new key goes where the focus went.
            m_releaseTimer->stop();
            ReportRelease();
            QWidget* focus = QApplication::focusWidget();
            if (focus && focus != this) {
                QCoreApplication::sendEvent(focus, event);
                return;
            }
        }
    }
    if (!event->isAutoRepeat())
        m_heldKeys.insert(event->key());
    if (OnKeyPress) {
        QChar key;
        if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
            key = QLatin1Char('\r');
        else if (event->text().size() == 1)
            key = event->text().front();
        if (!key.isNull()) {
            OnKeyPress(this, key);
            if (key.isNull()) {
                event->accept();
                return;
            }
        }
    }
    QLineEdit::keyPressEvent(event);
}

// A release counts once, for a key whose press this box received: the focus may have come here
// while the key was down (an arrow key pressed in another control). A release waits a moment
// for a press of the same key that would make it part of the key's auto-repeat: the X server
// repeats a held key as release and press pairs with one time stamp, and Qt does not always mark
// them (never when the accessibility bridge is on, which passes key events on as copies without
// the mark and the time stamp).
void TEdit::keyReleaseEvent(QKeyEvent* event) {
    QLineEdit::keyReleaseEvent(event);
    if (event->isAutoRepeat() || !m_heldKeys.contains(event->key()))
        return;
    if (m_releasePending) { // another key's release still waiting
        m_releaseTimer->stop();
        ReportRelease();
        if (QApplication::focusWidget() != this)
            return;
    }
    m_releaseKey = event->key();
    m_releaseModifiers = event->modifiers();
    m_releaseTime = event->timestamp();
    m_releasePending = true;
    // Synthetic events that widget tests send carry no time stamp; they count at once.
    if (event->spontaneous() && m_releaseTime == 0)
        ReportRelease();
    else
        m_releaseTimer->start();
}

void TEdit::ReportRelease() {
    if (!m_releasePending)
        return;
    m_releasePending = false;
    m_heldKeys.remove(m_releaseKey);
    if (OnKeyUp)
        OnKeyUp(this, m_releaseKey, m_releaseModifiers);
}

TCSpinEdit::TCSpinEdit(QWidget* parent) : QSpinBox(parent) {
    m_reportedText = lineEdit()->text();
    connect(lineEdit(), &QLineEdit::textChanged, this, [this] { NoteText(); });
    // Stepping (arrow buttons, Up and Down keys, wheel) sets the editor's text with its signals
    // blocked and then announces the new text here.
    connect(this, &QSpinBox::textChanged, this, [this] { NoteText(); });
}

void TCSpinEdit::NoteText() {
    const QString text = lineEdit()->text();
    if (text == m_reportedText)
        return;
    m_reportedText = text;
    emit TextChanged();
}

int TCSpinEdit::Value() {
    bool ok = false;
    const int value = lineEdit()->text().toInt(&ok);
    if (ok)
        return value;
    // A lone sign is a number being typed: it reads as 0 and stays.
    const QString text = lineEdit()->text();
    if (text != QLatin1String("-") && text != QLatin1String("+"))
        lineEdit()->setText(QStringLiteral("0"));
    return 0;
}

void TCSpinEdit::SetValue(int value) {
    lineEdit()->setText(QString::number(std::clamp(value, minimum(), maximum())));
    setValue(std::clamp(value, minimum(), maximum()));
}

QValidator::State TCSpinEdit::validate(QString& input, int&) const {
    if (input.isEmpty() || input == QLatin1String("-") || input == QLatin1String("+"))
        return QValidator::Intermediate;
    // Three characters hold every useful count and keep a pasted long number from asking for
    // millions of decimal places.
    if (input.size() > 3)
        return QValidator::Invalid;
    bool ok = false;
    input.toInt(&ok);
    return ok ? QValidator::Acceptable : QValidator::Invalid;
}

int TCSpinEdit::valueFromText(const QString& text) const {
    return std::clamp(text.toInt(), minimum(), maximum());
}

void TCSpinEdit::focusOutEvent(QFocusEvent* event) {
    // QAbstractSpinBox rewrites the text here with the editor's signals blocked.
    QSpinBox::focusOutEvent(event);
    if (event->reason() != Qt::ActiveWindowFocusReason && event->reason() != Qt::PopupFocusReason) {
        bool ok = false;
        const int typed = lineEdit()->text().toInt(&ok);
        const int clamped = ok ? std::clamp(typed, minimum(), maximum()) : 0;
        if (lineEdit()->text() != QString::number(clamped))
            SetValue(clamped);
    }
    NoteText();
}

// Enter brings a typed value into range, with the editor's signals blocked.
void TCSpinEdit::keyPressEvent(QKeyEvent* event) {
    QSpinBox::keyPressEvent(event);
    NoteText();
}

void TCSpinEdit::wheelEvent(QWheelEvent* event) {
    QSpinBox::wheelEvent(event);
    NoteText();
}

TSpeedButton::TSpeedButton(QWidget* parent, const QString& caption) : QToolButton(parent) {
    setText(caption);
    setFocusPolicy(Qt::NoFocus);
}

TLabel::TLabel(QWidget* parent, const QString& caption) : QLabel(caption, parent) {
    adjustSize();
}

QColor TLabel::FontColor() const {
    return palette().color(QPalette::WindowText);
}

void TLabel::SetFontColor(const QColor& colour) {
    QPalette p = palette();
    p.setColor(QPalette::WindowText, colour);
    setPalette(p);
}

void TLabel::SetIdleFontColor(const QColor& designed) {
    const QColor panel = palette().color(QPalette::Window);
    const QWidget* holder = parentWidget() ? parentWidget() : this;
    const QColor theme = holder->palette().color(QPalette::WindowText);
    SetFontColor(ContrastRatio(designed, panel) >= 4.5 ? designed : theme);
}

void TLabel::enterEvent(QEnterEvent* event) {
    QLabel::enterEvent(event);
    if (OnMouseEnter)
        OnMouseEnter(this);
}

void TLabel::leaveEvent(QEvent* event) {
    QLabel::leaveEvent(event);
    if (OnMouseLeave)
        OnMouseLeave(this);
}

void TLabel::mouseReleaseEvent(QMouseEvent* event) {
    QLabel::mouseReleaseEvent(event);
    if (OnClick && event->button() == Qt::LeftButton &&
        rect().contains(event->position().toPoint()))
        OnClick(this);
}
