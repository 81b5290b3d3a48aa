#pragma once

#include "ShellNotify.h"

#include <QtGlobal>
#include <functional>
#include <set>
#include <vector>

// A notification area that records every call with a copy of the record, refuses the next call
// of a kind on demand (and every Add while it is not `available`), and sends button messages to
// the icon's window as a host does.
class RecordingShellNotify final : public ShellNotify {
public:
    struct Call {
        NotifyCommand command;
        NotifyIconData record;
    };

    bool NotifyIcon(NotifyCommand command, const NotifyIconData& data) override {
        calls.push_back({command, data});
        if (onCall)
            onCall(calls.back());
        bool& fail = command == NotifyCommand::Add      ? failNextAdd
                     : command == NotifyCommand::Modify ? failNextModify
                                                        : failNextDelete;
        if (fail) {
            fail = false;
            return false;
        }
        return command != NotifyCommand::Add || available;
    }
    QPoint CursorPos() const override { return cursor; }
    bool KeyHeld(int virtualKey) const override { return keysHeld.count(virtualKey) > 0; }
    bool AreaAvailable() const override { return available; }
    void WatchArea(std::function<void(bool available)> changed) override {
        m_areaChanged = std::move(changed);
    }

    // The notification area appears or goes away: the watcher is told of a change.
    void SetArea(bool value) {
        const bool changed = value != available;
        available = value;
        if (changed && m_areaChanged)
            m_areaChanged(value);
    }

    // A button message (WindowMessage::MouseMove ...) for the icon of the last record, sent the
    // way the host sends it: the record's callback message to its window, wParam its id.
    intptr_t Button(uint32_t buttonMessage) {
        Q_ASSERT(!calls.empty());
        const NotifyIconData& record = calls.back().record;
        return record.window->Send(record.callbackMessage, record.id, intptr_t(buttonMessage));
    }

    std::vector<NotifyCommand> Commands() const {
        std::vector<NotifyCommand> commands;
        for (const Call& call : calls)
            commands.push_back(call.command);
        return commands;
    }
    const NotifyIconData& Last() const {
        Q_ASSERT(!calls.empty());
        return calls.back().record;
    }

    std::vector<Call> calls;
    bool failNextAdd = false;
    bool failNextModify = false;
    bool failNextDelete = false;
    bool available = true;
    QPoint cursor{120, 90};
    std::set<int> keysHeld; // ModifierKey values
    // Called with each call as it is recorded.
    std::function<void(const Call&)> onCall;

private:
    std::function<void(bool)> m_areaChanged;
};
