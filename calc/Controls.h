#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QSet>
#include <QSpinBox>
#include <QTimer>
#include <QToolButton>
#include <functional>

// The contrast ratio of two colours as WCAG 2 defines it, from 1 (equal) to 21 (black on white).
double ContrastRatio(const QColor& a, const QColor& b);

// The desktop's font family (the application font follows the desktop's general font) at a
// size in pixels.
QFont PixelFont(int pixels, bool bold = false);

// A single-line edit box that reports its focus changes and keys to its window's handlers.
class TEdit : public QLineEdit {
public:
    explicit TEdit(QWidget* parent);

    // Gives the box a text and shows its start (QLineEdit::setText shows the end), the caret at 0.
    void SetText(const QString& text);
    // The selection start; the caret position when nothing is selected.
    int SelStart() const;

    // Focus arriving (after the box's own select-all) and leaving (before the box drops its
    // selection), with Qt's reason.
    std::function<void(TEdit*, Qt::FocusReason)> OnFocusIn;
    std::function<void(TEdit*, Qt::FocusReason)> OnFocusOut;
    // A typed character ("\r" for Enter); set it to a null character to swallow it.
    std::function<void(TEdit*, QChar&)> OnKeyPress;
    // A key released, once per press of the key in this box: a release that belongs to the
    // key's auto-repeat is not reported (see keyReleaseEvent).
    std::function<void(TEdit*, int key, Qt::KeyboardModifiers)> OnKeyUp;

protected:
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;

private:
    void ReportRelease();

    // The keys pressed in this box and not yet released for good.
    QSet<int> m_heldKeys;
    // A release of m_releaseKey waiting to see whether a press of the same key follows it at once
    // (the X server's auto-repeat sends release and press pairs, which Qt does not always mark).
    bool m_releasePending = false;
    int m_releaseKey = 0;
    quint64 m_releaseTime = 0;
    Qt::KeyboardModifiers m_releaseModifiers;
    QTimer* m_releaseTimer = nullptr;
};

// A spin box whose value is the whole number its text holds, even outside its range while the
// user types; it brings the value into range when it loses the focus. A text that is not a whole
// number reads as 0 and is reset to "0". TextChanged is emitted whenever the text shown changes,
// whatever changed it: typing, the arrow buttons, the Up and Down keys, the mouse wheel, Enter,
// leaving the box or the program.
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
    void keyPressEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    // Emits TextChanged when the text differs from the one last reported. QAbstractSpinBox
    // rewrites its editor's text with the editor's signals blocked (stepping, Enter, leaving),
    // so the editor's own textChanged misses those changes.
    void NoteText();
    QString m_reportedText;
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
    // Sets the colour a link has when the pointer is not over it: `designed` where it reads on
    // the panel behind the label (contrast at least 4.5 : 1), else the theme's text colour.
    void SetIdleFontColor(const QColor& designed);

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
};
