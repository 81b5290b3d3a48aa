#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QToolButton>
#include <functional>

// A single-line edit box that reports its focus changes and keys to its window's handlers.
class TEdit : public QLineEdit {
public:
    explicit TEdit(QWidget* parent);

    // Focus arriving (after the box's own select-all) and leaving, with Qt's reason.
    std::function<void(TEdit*, Qt::FocusReason)> OnFocusIn;
    std::function<void(TEdit*, Qt::FocusReason)> OnFocusOut;
    // A typed character ("\r" for Enter); set it to a null character to swallow it.
    std::function<void(TEdit*, QChar&)> OnKeyPress;
    // A key released (autorepeat releases are not reported).
    std::function<void(TEdit*, int key, Qt::KeyboardModifiers)> OnKeyUp;

protected:
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
};

// A spin box whose value is the whole number its text holds, even outside its range while the
// user types; it brings the value into range when it loses the focus. A text that is not a whole
// number reads as 0 and is reset to "0".
class TCSpinEdit : public QSpinBox {
    Q_OBJECT
public:
    explicit TCSpinEdit(QWidget* parent);
    int Value();
    void SetValue(int value);

signals:
    void TextChanged();

protected:
    QValidator::State validate(QString& input, int& pos) const override;
    int valueFromText(const QString& text) const override;
    void focusOutEvent(QFocusEvent* event) override;
};

// A flat button that never takes the keyboard focus.
class TSpeedButton : public QToolButton {
public:
    TSpeedButton(QWidget* parent, const QString& caption);
};

// A label that reports the pointer entering and leaving it, and clicks on it (the link labels).
class TLabel : public QLabel {
public:
    TLabel(QWidget* parent, const QString& caption);

    std::function<void(TLabel*)> OnMouseEnter;
    std::function<void(TLabel*)> OnMouseLeave;
    std::function<void(TLabel*)> OnClick;

    // The font colour.
    QColor FontColor() const;
    void SetFontColor(const QColor& colour);

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
};
