#pragma once

#include <QString>

// How a window opened for an address should show.
enum class ShowState { Normal = 1, Maximized = 3 };

// Hands an address (a web page, a "mailto:" link) to the desktop and does not wait.
class ShellOpen {
public:
    virtual ~ShellOpen() = default;
    virtual void Open(const QString& address, ShowState show) = 0;
};

// The desktop's handler for the address (the default browser or mail program). The show state
// cannot be passed on: the browser decides how its window shows.
class DesktopShellOpen final : public ShellOpen {
public:
    void Open(const QString& address, ShowState show) override;
};
