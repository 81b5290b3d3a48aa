#pragma once

#include "ErrorReporter.h"

// Shows errors in a modal box with the error icon and an OK button, captioned with the
// application title. Once the program is ending (a termination request, the end of the session),
// it shows no box: the message goes to standard error and, where the desktop has a notification
// service, into a notification.
class MessageBoxErrorReporter final : public ErrorReporter {
public:
    void ShowException(const QString& message) override;

    // The program is being ended (a termination signal, the end of the session): errors go to
    // standard error and a notification from now on, since a box would hold the end up until
    // someone closes it.
    void ProgramEnding() { m_ending = true; }

private:
    bool m_ending = false;
};
