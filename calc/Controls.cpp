#include "calc/Controls.h"

#include <QFocusEvent>
#include <QKeyEvent>
#include <QMouseEvent>

TEdit::TEdit(QWidget* parent) : QLineEdit(parent) {}

void TEdit::focusInEvent(QFocusEvent* event) {
    QLineEdit::focusInEvent(event);
    if (OnFocusIn)
        OnFocusIn(this, event->reason());
}

void TEdit::focusOutEvent(QFocusEvent* event) {
    QLineEdit::focusOutEvent(event);
    if (OnFocusOut)
        OnFocusOut(this, event->reason());
}

void TEdit::keyPressEvent(QKeyEvent* event) {
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

void TEdit::keyReleaseEvent(QKeyEvent* event) {
    QLineEdit::keyReleaseEvent(event);
    if (OnKeyUp && !event->isAutoRepeat())
        OnKeyUp(this, event->key(), event->modifiers());
}

TCSpinEdit::TCSpinEdit(QWidget* parent) : QSpinBox(parent) {
    connect(lineEdit(), &QLineEdit::textChanged, this, &TCSpinEdit::TextChanged);
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
    const QString before = lineEdit()->text();
    // QAbstractSpinBox rewrites the text here with the editor's signals blocked.
    QSpinBox::focusOutEvent(event);
    if (event->reason() == Qt::ActiveWindowFocusReason || event->reason() == Qt::PopupFocusReason)
        return;
    bool ok = false;
    const int typed = lineEdit()->text().toInt(&ok);
    const int clamped = ok ? std::clamp(typed, minimum(), maximum()) : 0;
    if (lineEdit()->text() != QString::number(clamped))
        SetValue(clamped);
    else if (lineEdit()->text() != before)
        emit TextChanged();
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
