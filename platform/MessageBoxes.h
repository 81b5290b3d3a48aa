#pragma once

#include <QString>

class QWidget;

// Modal message boxes that ask the user something. The flags combine one button set with one
// icon, e.g. OkCancel | IconQuestion for a confirmation; Show returns the button pressed.
class MessageBoxes {
public:
    enum Flag : unsigned {
        // Buttons; the first one is the default (Enter).
        Ok = 0x00,
        OkCancel = 0x01,
        ButtonMask = 0x0F,
        // Icons.
        IconNone = 0x00,
        IconError = 0x10,
        IconQuestion = 0x20,
        IconWarning = 0x30,
        IconInformation = 0x40,
        IconMask = 0xF0,
    };
    // The answer. Closing the box any other way than with OK (Escape, the window's close button)
    // answers Cancel when the box has a Cancel button; a box with OK alone always answers OK.
    enum Result : int {
        IdOk = 1,
        IdCancel = 2,
    };

    virtual ~MessageBoxes() = default;
    // Shows the box over owner (may be null) and waits for the answer.
    virtual int Show(QWidget* owner, const QString& text, const QString& caption,
                     unsigned flags) = 0;
};

// A modal QMessageBox centred on its owner.
class QtMessageBoxes final : public MessageBoxes {
public:
    int Show(QWidget* owner, const QString& text, const QString& caption, unsigned flags) override;
};
