#pragma once

#include "platform/ShellNotify.h"

#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>
#include <map>
#include <utility>
#include <vector>

// The notification area through QSystemTrayIcon: one QSystemTrayIcon per record.
//
// - Add fails while QSystemTrayIcon::isSystemTrayAvailable() is false. Adding a record that is
//   already there applies it again and succeeds. Modify and Delete of a record that is not there
//   fail.
// - Only the fields whose NotifyFlag is set are applied. A record with NotifyFlag::Info and a
//   balloon text shows its balloon (showMessage) on every Add and Modify.
// - No context menu is set on the QSystemTrayIcon: the owner pops up its own menu on the button
//   messages it receives (see ButtonMessages for what each activation becomes).
// - The notification area is watched (WatchArea) by a check every kAreaPollMs, made while the
//   area is missing (from the start of the watch, a failed Add or an AreaAvailable() that found
//   it missing, until it is there) and while an icon is docked in an XEmbed tray. Only these
//   checks are cheap: with a StatusNotifierItem host every check is a D-Bus round trip, so such a
//   host is not watched while it is there (if it restarts, Qt registers the icons again with it).
class QtShellNotify final : public QObject, public ShellNotify {
    Q_OBJECT
public:
    static constexpr int kAreaPollMs = 2000;

    explicit QtShellNotify(QObject* parent = nullptr);
    ~QtShellNotify() override;

    bool NotifyIcon(NotifyCommand command, const NotifyIconData& data) override;
    QPoint CursorPos() const override;
    bool KeyHeld(int virtualKey) const override;
    bool AreaAvailable() const override;
    void WatchArea(std::function<void(bool available)> changed) override;

    // The button messages an activation of the icon stands for, in the order they are sent.
    // An XEmbed tray reports each action on the press and nothing on the release, and a double
    // click as Trigger then DoubleClick (hostReportsDoubleClicks true): Trigger is a left press
    // and release, DoubleClick a left double click and release, Context a right press and
    // release, MiddleClick a middle press and release. A StatusNotifierItem host has no double
    // click (hostReportsDoubleClicks false): its "activate" (Trigger) is the icon's main action
    // and becomes a left double click and release.
    static std::vector<uint32_t> ButtonMessages(QSystemTrayIcon::ActivationReason reason,
                                                bool hostReportsDoubleClicks);

private:
    using Key = std::pair<MessageWindow*, quintptr>;
    struct Entry {
        QSystemTrayIcon* icon = nullptr;
        uint32_t callbackMessage = 0;
        bool sendsMessages = false;
    };

    static bool HostReportsDoubleClicks();
    static void Apply(Entry& entry, const NotifyIconData& data);
    void Activated(Key key, QSystemTrayIcon::ActivationReason reason);
    void CheckArea();
    void UpdateAreaPoll();

    std::map<Key, Entry> m_icons;
    std::function<void(bool)> m_areaChanged;
    bool m_areaAvailable = false; // as last reported
    mutable QTimer m_areaPoll;
};
