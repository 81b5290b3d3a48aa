#pragma once

#include "Errors.h"

#include <exception>
#include <new>

// The application's one error reporter. The program's (MessageBoxErrorReporter) shows the box with
// the error icon, the application title as caption and the message with a full stop added (see
// ErrorBoxText); tests record the messages.
class ErrorReporter {
public:
    virtual ~ErrorReporter() = default;
    virtual void ShowException(const QString& message) = 0;
};

// Runs one handler; any error it raises is shown through the reporter and goes no further.
// Returns false when the handler failed.
template <class Handler> bool RunHandler(ErrorReporter& reporter, Handler&& handler) {
    try {
        handler();
        return true;
    } catch (const Exception& e) {
        reporter.ShowException(e.Message());
    } catch (const std::bad_alloc&) {
        reporter.ShowException(QStringLiteral("Out of memory"));
    } catch (const std::exception& e) {
        reporter.ShowException(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        reporter.ShowException(QString());
    }
    return false;
}
