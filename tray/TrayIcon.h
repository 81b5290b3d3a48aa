#pragma once

#include "ImageList.h"
#include "ShellNotify.h"
#include "WindowMessage.h"

#include <QElapsedTimer>
#include <QFlags>
#include <QIcon>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>

class QMenu;
class QMouseEvent;
class QWidget;

// The mouse action on the icon that calls Restore or ShowMenu.
enum TTrayIconMessage {
    imClick,            // left button released, while an OnClick handler is set
    imDoubleClick,      // a double click of any button
    imMouseDown,        // any button pressed
    imMouseUp,          // any button released
    imLeftClickUp,      // left button released, after OnMouseUp
    imLeftDoubleClick,  // left double click, after OnDblClick
    imRightClickUp,     // right button released, after OnMouseUp
    imRightDoubleClick, // right double click, after OnDblClick
    imNone,             // never
};

enum TMouseButton { mbLeft, mbRight, mbMiddle };

enum TShiftFlag {
    ssShift = 0x01,
    ssAlt = 0x02,
    ssCtrl = 0x04,
    ssLeft = 0x08,
    ssRight = 0x10,
    ssMiddle = 0x20,
    ssDouble = 0x40,
};
Q_DECLARE_FLAGS(TShiftState, TShiftFlag)
Q_DECLARE_OPERATORS_FOR_FLAGS(TShiftState)

// What happened to a component that TTrayIcon refers to.
enum TOperation { opInsert, opRemove };

using TNotifyEvent = std::function<void(QObject* sender)>;
using TMouseMoveEvent = std::function<void(QObject* sender, TShiftState shift, int x, int y)>;
using TMouseEvent =
    std::function<void(QObject* sender, TMouseButton button, TShiftState shift, int x, int y)>;

// One icon in the desktop's notification area, through ShellNotify.
//
// It adds and removes the icon, keeps its image and tooltip up to date, shows balloon tips on it,
// turns the host's button messages into events, pops up PopupMenu, minimises the application
// window into the icon and restores it, and can animate the icon through Icons on a timer.
//
// Hosts that show an icon's menu themselves get PopupMenu in the record (while PopupMenuOn names
// a mouse action); choosing its item there triggers the item as a click in the pop-up would.
//
// Life: construct, set the properties (an owner configuring it calls them in the order it
// likes; Visible true adds the icon at once), then Loaded(). Until Loaded() the component counts
// as being configured: Animate is then taken even without Icons.
//
// While the icon is shown (from a successful add to a successful remove) the application window
// is watched: its change to the minimised state runs Minimize (which hides it), its change back
// runs Restore. The changes Minimize and Restore make themselves do not run them again.
//
// Handlers in the On... members must not let exceptions escape: they run inside the host's
// notifications, the window watch and the timer.
class TTrayIcon : public QObject {
    Q_OBJECT
public:
    static constexpr uint32_t kCallbackMessage = WindowMessage::User + 1;
    // The longest hint that SetHint takes.
    static constexpr int kMaxHint = 63;

    explicit TTrayIcon(ShellNotify& shell, QObject* owner = nullptr);
    ~TTrayIcon() override;

    // The icon is in the notification area. Every call adds (true) or removes (false) the icon;
    // Visible holds the new value first. Raises EOutOfResources when the host refuses.
    bool Visible() const { return m_visible; }
    virtual void SetVisible(bool value);

    // The tooltip. A value of 64 characters or more, or equal to the current one, is ignored.
    const QString& Hint() const { return m_hint; }
    void SetHint(const QString& value);

    QMenu* PopupMenu() const { return m_popupMenu; }
    void SetPopupMenu(QMenu* menu);
    TTrayIconMessage RestoreOn() const { return m_restoreOn; }
    void SetRestoreOn(TTrayIconMessage value) { m_restoreOn = value; }
    TTrayIconMessage PopupMenuOn() const { return m_popupMenuOn; }
    void SetPopupMenuOn(TTrayIconMessage value);

    TImageList* Icons() const { return m_icons; }
    void SetIcons(TImageList* icons);
    int IconIndex() const { return m_iconIndex; }
    virtual void SetIconIndex(int index);
    int AnimateInterval() const { return m_animationTimer.interval(); }
    void SetAnimateInterval(int msecs) { m_animationTimer.setInterval(msecs); }
    bool Animate() const { return m_animate; }
    void SetAnimate(bool value);

    // The receiver of the host's messages for the icon (the record's window).
    MessageWindow* Handle() const { return m_messageWindow.get(); }
    // The record that every call to the host passes.
    const NotifyIconData& NotifyRecord() const { return m_record; }

    // The window that Minimize hides, Restore shows and the watch observes. Until one is set:
    // the owner's window when the owner is a widget, else the first top-level window.
    QWidget* ApplicationWindow() const;
    void SetApplicationWindow(QWidget* window);

    // Stores the balloon in the record (a longer title or text is cut to what the record holds:
    // 63 and 255 characters) and sends the record, shown or not; true when the host took it.
    // Every later update and add passes the same balloon again.
    bool ShowBalloonTip(const QString& title, const QString& text, uint32_t timeout,
                        uint32_t iconKind);

    // Sends the record with the current image while the icon is shown.
    virtual void Update();
    // Pops PopupMenu up at the cursor; nothing without a PopupMenu. The menu takes the mouse
    // while it is open: a press of the button whose release opened it, outside it, near where it
    // opened and within the double-click interval, closes it and reaches the icon as the double
    // click it completes (its release is not reported).
    virtual void ShowMenu();
    // Minimises the application's other windows, hides (withdraws) the application window: its
    // taskbar entry goes. A window the window manager minimised already stays marked so. Raises
    // OnMinimize.
    virtual void Minimize();
    // Shows the application window again, un-minimised, raised and activated; un-minimises the
    // windows Minimize minimised; raises OnRestore.
    virtual void Restore();
    // The application's icon again.
    virtual void SetDefaultIcon();
    // Removes the icon from the notification area; Visible and the watch stay as they are.
    void EndSession();
    // Shift, Ctrl and Alt as held now.
    TShiftState ShiftState() const;
    // The configuration is complete: takes up Animate and the image.
    virtual void Loaded();
    // True while Minimize runs, including the window-state changes it makes itself.
    bool Minimizing() const { return m_minimizing; }

    // The watch on the application window: WindowMessage::SysCommand with wParam exactly
    // SysCommand::Minimize calls Minimize, exactly SysCommand::Restore calls Restore. Always
    // false: the message goes on. The window's change to and from the minimised state arrives
    // here as these commands.
    bool ApplicationHookProc(TMessage& message);

    TNotifyEvent OnMinimize;
    TNotifyEvent OnRestore;
    TNotifyEvent OnClick;
    TNotifyEvent OnDblClick;
    TMouseMoveEvent OnMouseMove;
    TMouseEvent OnMouseDown;
    TMouseEvent OnMouseUp;
    // Kept for the owner; never raised: the host reports no entering of the icon.
    TMouseMoveEvent OnMouseEnter;

protected:
    // The message procedure of Handle(): the host's button messages, and the end of the session
    // (WindowMessage::QueryEndSession answers 1, WindowMessage::EndSession removes the icon).
    virtual void DoMessage(TMessage& message);
    virtual void DoClick();
    virtual void DoDblClick();
    virtual void DoMouseMove(TShiftState shift, int x, int y);
    virtual void DoMouseDown(TMouseButton button, TShiftState shift, int x, int y);
    virtual void DoMouseUp(TMouseButton button, TShiftState shift, int x, int y);
    virtual void DoOnAnimate(QObject* sender);
    // A component the tray icon refers to goes away: Icons or PopupMenu becomes empty.
    virtual void Notification(QObject* component, TOperation operation);

    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    class Window;

    void Trigger(TTrayIconMessage message);
    // The record offers PopupMenu to hosts that show menus themselves while some mouse action pops
    // it up; a change is sent at once once the configuration is complete.
    void UpdateRecordMenu();
    bool SecondPressOnTheMenu(QMouseEvent* press);
    void RegisterWatch();
    void WithdrawWatch();

    ShellNotify& m_shell;
    std::unique_ptr<MessageWindow> m_messageWindow;
    NotifyIconData m_record;
    QIcon m_currentIcon;
    QTimer m_animationTimer;

    bool m_visible = false;
    QString m_hint;
    QMenu* m_popupMenu = nullptr;
    QMetaObject::Connection m_popupMenuGone;
    const QMenu* m_menuOffered = nullptr; // to the host, last; only compared

    TTrayIconMessage m_restoreOn = imDoubleClick;
    TTrayIconMessage m_popupMenuOn = imNone;
    TImageList* m_icons = nullptr;
    QMetaObject::Connection m_iconsGone;
    int m_iconIndex = 0;
    bool m_animate = false;
    bool m_loading = true;

    bool m_applicationWindowSet = false;
    QPointer<QWidget> m_applicationWindow;
    bool m_watching = false;
    QPointer<QWidget> m_watched;
    QList<QPointer<QWidget>> m_minimizedWindows;
    bool m_minimizing = false;
    bool m_restoring = false;

    // The button of the last release the host reported, and how ShowMenu last opened the menu.
    std::optional<TMouseButton> m_releasedButton;
    std::optional<TMouseButton> m_menuOpenedBy;
    QPoint m_menuOpenedAt;
    QElapsedTimer m_menuOpened;
};
