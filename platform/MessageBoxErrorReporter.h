#pragma once

#include "platform/ErrorReporter.h"

// Shows errors in a modal box with the error icon and an OK button, captioned with the
// application title.
class MessageBoxErrorReporter final : public ErrorReporter {
public:
    void ShowException(const QString& message) override;
};
