#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// What the launcher of a program start hands the started program so that the desktop lets it
// raise a window: on Wayland an xdg-activation token, on X11 a startup-notification id. A second
// start passes them on to the running copy, which raises its window with them.
//
// Both come from the environment, that is from whoever started the process, so they are
// untrusted text: only tokens of 1 to kMaxLaunchTokenBytes printable ASCII characters, without
// spaces, quotes or backslashes, are accepted (IsAcceptableLaunchToken); anything else is
// dropped as a whole, never cut or repaired.
struct LaunchTokens {
    QString activationToken; // $XDG_ACTIVATION_TOKEN
    QString startupId;       // $DESKTOP_STARTUP_ID

    bool IsEmpty() const { return activationToken.isEmpty() && startupId.isEmpty(); }
    bool operator==(const LaunchTokens&) const = default;

    // The tokens of this process's environment; an unacceptable one is left empty.
    static LaunchTokens FromEnvironment();
};

inline constexpr qsizetype kMaxLaunchTokenBytes = 256;

bool IsAcceptableLaunchToken(const QByteArray& token);

// The X server time in a startup id's "_TIME<n>" suffix (the time of the user's action that
// started the program); nothing when the id has no such suffix or n is 0 or out of range.
std::optional<quint32> StartupIdTime(const QString& startupId);
