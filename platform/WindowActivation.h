#pragma once

#include "LaunchTokens.h"

class QWindow;

// Raises and activates a window on behalf of a program start, with the launch tokens that start
// was given. A desktop that prevents focus stealing lets a window come to the front only with
// proof that the user asked for it; the tokens are that proof.
class WindowActivation {
public:
    virtual ~WindowActivation() = default;
    // Called after the window was shown, raised and asked to activate the toolkit's way; does
    // what the desktop needs on top of that with `tokens`.
    virtual void Activate(QWindow* window, const LaunchTokens& tokens) = 0;
};

// The desktop's protocols, chosen by Qt's platform plugin:
// - Wayland: xdg-activation. Qt's Wayland plugin (6.4) passes $XDG_ACTIVATION_TOKEN on to the
//   compositor with the next activation request of a window and then removes it from the
//   environment; the token is set there right before the window's requestActivate().
// - X11: startup notification. The startup id is set as the window's _NET_STARTUP_ID, the window
//   manager is asked to activate the window (_NET_ACTIVE_WINDOW, as an application, with the time
//   of the id's "_TIME" suffix, which is when the user started the program), and the launcher is
//   told that the start is over ("remove: ID=<id>" in _NET_STARTUP_INFO messages), which ends its
//   busy cursor.
// Other platforms do nothing. A window not on the screen yet (just shown from the tray) is
// activated once it is exposed, or not at all when that takes longer than five seconds; the
// launcher is told at once.
class DesktopWindowActivation final : public WindowActivation {
public:
    void Activate(QWindow* window, const LaunchTokens& tokens) override;
};
