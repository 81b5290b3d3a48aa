#include "QtKeyboardInput.h"

#include <QApplication>
#include <QKeyEvent>
#include <QWidget>

namespace {

const QEvent::Type kInjectedKey = static_cast<QEvent::Type>(QEvent::registerEventType());

class InjectedKeyEvent : public QEvent {
public:
    InjectedKeyEvent(int key, bool up) : QEvent(kInjectedKey), virtualKey(key), keyUp(up) {}
    const int virtualKey;
    const bool keyUp;
};

QWidget* KeyboardTarget() {
    if (QWidget* w = QApplication::focusWidget())
        return w;
    if (QWidget* active = QApplication::activeWindow())
        if (QWidget* w = active->focusWidget())
            return w;
    for (QWidget* top : QApplication::topLevelWidgets())
        if (top->isVisible() && top->focusWidget())
            return top->focusWidget();
    return nullptr;
}

} // namespace

void QtKeyboardInput::KeyEvent(int virtualKey, bool keyUp) {
    QCoreApplication::postEvent(this, new InjectedKeyEvent(virtualKey, keyUp));
}

bool QtKeyboardInput::event(QEvent* event) {
    if (event->type() != kInjectedKey)
        return QObject::event(event);
    const auto* injected = static_cast<InjectedKeyEvent*>(event);
    int key = 0;
    QString text;
    switch (injected->virtualKey) {
    case VirtualKey::Return:
        key = Qt::Key_Return;
        text = QStringLiteral("\r");
        break;
    case VirtualKey::Back:
        key = Qt::Key_Backspace;
        text = QStringLiteral("\b");
        break;
    default:
        return true;
    }
    if (QWidget* target = KeyboardTarget()) {
        QKeyEvent keyEvent(injected->keyUp ? QEvent::KeyRelease : QEvent::KeyPress, key,
                           Qt::NoModifier, text);
        QCoreApplication::sendEvent(target, &keyEvent);
    }
    return true;
}
