#pragma once

#include <QWidget>

class QAbstractButton;

// The on-screen keypad: 23 flat keys in a grid and the black line between its fifth and sixth
// rows, laid out from the panel's top left corner. The keys never take the keyboard focus. A
// key's caption is its identity (calc/logic/Keypad.h reads it); a click reports the key.
class TKeypadPanel : public QWidget {
    Q_OBJECT
public:
    explicit TKeypadPanel(QWidget* parent);

signals:
    void KeyClicked(QAbstractButton* key);
};
