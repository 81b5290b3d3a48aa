#pragma once

#include "KeyboardInput.h"

#include <QObject>

// Posts the key to the event loop; on delivery it is sent to the focus widget of the application
// (or, where no window is active, to the focus widget of the active or first visible window).
class QtKeyboardInput final : public QObject, public KeyboardInput {
public:
    void KeyEvent(int virtualKey, bool keyUp) override;

protected:
    bool event(QEvent* event) override;
};
