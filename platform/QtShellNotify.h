#pragma once

#include "ShellNotify.h"
#include "StatusNotifierItem.h"
#include "TrayBalloon.h"
#include "XEmbedTray.h"

#include <QDBusConnection>
#include <QEvent>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

// The desktop's notification area, whichever kind the desktop has:
//
// - A StatusNotifierItem host (KDE Plasma, the XFCE panel, waybar, GNOME with its AppIndicator
//   extension; on X11 and on Wayland): each record becomes an item of our own on the session
//   bus, with the record's menu as its DBusMenu, and balloons become desktop notifications
//   (org.freedesktop.Notifications). The host is watched through the bus's own signals.
// - An XEmbed tray (X11 only: trayer, older panels): each record becomes a QSystemTrayIcon that
//   the tray embeds. The docked icon's own mouse events give the buttons: every press, release
//   and double click of the three buttons (XEmbedTray::ButtonReader). Balloons are our own
//   (TrayBalloon); one waits (at most kBalloonDockWaitMs) until the icon is embedded and shown, so
//   that it points at the icon. The tray is polled every kAreaPollMs while it is missing or holds
//   an icon.
//
// A StatusNotifierItem host is preferred when both are there. Icons move by themselves between
// the kinds as hosts come and go; the watcher of WatchArea hears only of the area as a whole
// appearing (some host is there where none was) or going away (none is left).
//
// - Add fails while no host is there. Adding a record that is already there applies it again and
//   succeeds. Modify and Delete of a record that is not there fail.
// - Only the fields whose NotifyFlag is set are applied (the menu always). A record with
//   NotifyFlag::Info and a balloon text shows its balloon on the first Add or Modify that brings
//   it (a new infoSerial), not again when later calls bring the same one.
class QtShellNotify final : public QObject, public ShellNotify {
    Q_OBJECT
public:
    static constexpr int kAreaPollMs = 2000;
    static constexpr int kBalloonDockWaitMs = 3000;

    // On the session bus.
    explicit QtShellNotify(QObject* parent = nullptr);
    QtShellNotify(QDBusConnection bus, QObject* parent = nullptr);
    ~QtShellNotify() override;

    bool NotifyIcon(NotifyCommand command, const NotifyIconData& data) override;
    QPoint CursorPos() const override;
    bool KeyHeld(int virtualKey) const override;
    bool AreaAvailable() const override;
    void WatchArea(std::function<void(bool available)> changed) override;

    // The button messages a StatusNotifierItem host's call stands for, in the order they are
    // sent. Such a host has no double click: its "activate" is the icon's main action and becomes
    // a left double click and release; "secondary activate" a middle press and release; a request
    // for the item's own menu a right press and release.
    static std::vector<uint32_t> ButtonMessages(StatusNotifierItem::Action action);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    enum class Host { None, StatusNotifier, XEmbed };
    using Key = std::pair<MessageWindow*, quintptr>;
    struct Entry {
        NotifyIconData record; // as applied so far
        Host host = Host::None;
        std::unique_ptr<StatusNotifierItem> item;
        QSystemTrayIcon* icon = nullptr;
        QPointer<QWidget> iconWidget;  // the window the XEmbed tray embeds
        QPointer<TrayBalloon> balloon; // the XEmbed icon's last balloon
        bool balloonWaiting = false;   // until the XEmbed icon is embedded
        qint64 balloonSince = 0;
    };

    Host PreferredHost() const;
    bool Place(Key key, Entry& entry, Host host);
    void Unplace(Entry& entry);
    void ApplyToHost(Key key, Entry& entry);
    void ShowBalloon(Key key, Entry& entry);
    void ShowWaitingBalloons();
    void ShowXEmbedBalloon(Entry& entry);
    void SendButtons(Key key, const std::vector<uint32_t>& buttons,
                     std::optional<QPoint> pos = std::nullopt);
    void HostsChanged();
    void UpdateAreaPoll();

    QDBusConnection m_bus;
    StatusNotifierWatch m_watch;
    // Made at the first balloon, under the application's name as it is then.
    std::unique_ptr<DesktopNotifications> m_notifications;
    std::map<Key, Entry> m_icons;
    // The infoSerial of the last balloon shown for each icon, kept across removals.
    std::map<Key, uint32_t> m_balloonsShown;
    std::function<void(bool)> m_areaChanged;
    bool m_areaAvailable = false; // as last reported
    bool m_xembedAvailable = false;
    mutable QTimer m_areaPoll;
    QTimer m_balloonWait;
    std::optional<QPoint> m_cursorOverride; // while a host's call is handled
    XEmbedTray::ButtonReader m_buttons;
};
