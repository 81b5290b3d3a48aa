#pragma once

// Virtual key codes that the program injects.
namespace VirtualKey {
constexpr int Back = 8;
constexpr int Return = 13;
} // namespace VirtualKey

// Puts a key event into the keyboard input. It reaches the control that holds the keyboard focus
// when it is delivered, later, through the event loop, like a key the user pressed.
class KeyboardInput {
public:
    virtual ~KeyboardInput() = default;
    virtual void KeyEvent(int virtualKey, bool keyUp) = 0;

    // A press and its release, as a tap of the key.
    void Tap(int virtualKey) {
        KeyEvent(virtualKey, false);
        KeyEvent(virtualKey, true);
    }
};
