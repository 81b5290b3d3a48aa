#pragma once

#include "WindowActivation.h"

#include <QPointer>
#include <QWindow>
#include <vector>

// Records each activation: the window, whether it was on the screen by then, and the tokens.
class RecordingWindowActivation final : public WindowActivation {
public:
    struct Call {
        QPointer<QWindow> window;
        bool visible;
        LaunchTokens tokens;
    };

    void Activate(QWindow* window, const LaunchTokens& tokens) override {
        calls.push_back({window, window && window->isVisible(), tokens});
    }

    std::vector<Call> calls;
};
