#pragma once

#include <QDBusConnection>
#include <QIcon>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <cstdint>
#include <memory>

class QMenu;

// Whether a StatusNotifierItem host (a panel's tray that shows items published on the session
// bus) is there now: a watcher (org.kde.StatusNotifierWatcher) owns its name on the bus and says a
// host is registered with it. Kept current from the bus's own signals (the watcher's name coming
// and going, its host-registered and host-unregistered signals), never by polling.
class StatusNotifierWatch : public QObject {
    Q_OBJECT
public:
    explicit StatusNotifierWatch(QDBusConnection bus, QObject* parent = nullptr);
    ~StatusNotifierWatch() override;

    // As last learnt from the bus; the constructor asks once (bounded wait).
    bool HostAvailable() const;

signals:
    // The host came (true) or went (false). Emitted only on a change.
    void HostAvailableChanged(bool available);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// One item published on the session bus as a StatusNotifierItem (its own bus name
// "org.kde.StatusNotifierItem-<pid>-<n>", the object /StatusNotifierItem), with its menu as a
// DBusMenu (com.canonical.dbusmenu at /MenuBar), registered with the watcher.
//
// Hosts read the icon (as ARGB32 pixmaps), the tooltip and the menu from it, and call Activate,
// SecondaryActivate and ContextMenu on it; those calls come out as Activated, on the next turn of
// the event loop (after the bus call has been answered). A host that shows the menu itself and has
// an item chosen triggers that item's QAction, likewise on the next turn of the event loop.
class StatusNotifierItem : public QObject {
    Q_OBJECT
public:
    enum class Action {
        Activate,          // the host's main gesture (usually a left click)
        SecondaryActivate, // usually a middle click
        ContextMenu,       // the host asks the item to show its own menu
    };
    Q_ENUM(Action)

    // `id` is the item's stable Id property (the application's id).
    StatusNotifierItem(QDBusConnection bus, const QString& id, QObject* parent = nullptr);
    // Withdraws the item from the bus.
    ~StatusNotifierItem() override;

    // Publishes the item and its menu and registers it with the watcher. False when there is no
    // watcher on the bus or the item could not be published. While registered, a watcher that
    // restarts gets the item registered again.
    bool Register();
    // Withdraws the item and its menu from the bus.
    void Unregister();
    bool Registered() const;

    void SetIcon(const QIcon& icon);
    // The tooltip's title (the item's Title too); empty: no tooltip.
    void SetToolTip(const QString& text);
    // The items of `menu` (its QActions, as they are at each request) become the DBusMenu;
    // nullptr: no menu.
    void SetMenu(QMenu* menu);

signals:
    // A host called Activate, SecondaryActivate or ContextMenu at `pos` (screen coordinates as
    // the host gives them; hosts on Wayland often give 0,0).
    void Activated(StatusNotifierItem::Action action, QPoint pos);
    // A host handed over an activation token (ProvideXdgActivationToken) before an activation:
    // the window raised in response may use it.
    void ActivationTokenProvided(const QString& token);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// Desktop notifications (org.freedesktop.Notifications), the desktop's own way of showing what a
// balloon tip on a tray icon shows.
class DesktopNotifications : public QObject {
    Q_OBJECT
public:
    DesktopNotifications(QDBusConnection bus, const QString& appName, QObject* parent = nullptr);
    ~DesktopNotifications() override;

    // Sends one notification without waiting for the answer; the previous one sent by this object
    // is replaced (so repeated reminders do not pile up). `kind` is a BalloonIcon value
    // (platform/ShellNotify.h) and chooses the notification's icon name. False when no
    // notification service is on the bus; a service that answers with an error changes nothing.
    bool Show(const QString& title, const QString& text, uint32_t timeoutMs, uint32_t kind,
              const QIcon& icon);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
