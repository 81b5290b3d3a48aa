#pragma once

#include "platform/ErrorReporter.h"

// Shows errors in a modal box with the error icon and an OK button, captioned with the
// application title. Once unattended (the program is ending on a termination request or at the
// end of the session), it shows no box: the message goes to standard error and, where the
// desktop has a notification service, into a notification.
class MessageBoxErrorReporter final : public ErrorReporter {
public:
    void ShowException(const QString& message) override;
    void SetUnattended() { m_unattended = true; }

private:
    bool m_unattended = false;
};
