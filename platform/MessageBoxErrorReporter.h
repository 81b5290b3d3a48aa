#pragma once

#include "platform/ErrorReporter.h"

// Shows errors in a modal box with the error icon and an OK button, captioned with the
// application title.
class MessageBoxErrorReporter final : public ErrorReporter {
public:
    void ShowException(const QString& message) override;

    // The program is being ended (a termination signal, the end of the session): errors go to
    // standard error from now on, since a box would hold the end up until someone closes it.
    void ProgramEnding() { m_ending = true; }

private:
    bool m_ending = false;
};
