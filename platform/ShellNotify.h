#pragma once

#include "WindowMessage.h"

#include <QIcon>
#include <QMenu>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <QtGlobal>
#include <cstdint>
#include <functional>

// The fields of NotifyIconData::flags that say which fields the host is to apply.
namespace NotifyFlag {
constexpr uint32_t Message = 0x01; // NIF_MESSAGE: callbackMessage goes to window
constexpr uint32_t Icon = 0x02;    // NIF_ICON: icon
constexpr uint32_t Tip = 0x04;     // NIF_TIP: tip
constexpr uint32_t Info = 0x10;    // NIF_INFO: the balloon fields
} // namespace NotifyFlag

// NotifyIconData::infoFlags: the icon the balloon shows.
namespace BalloonIcon {
constexpr uint32_t None = 0;    // NIIF_NONE
constexpr uint32_t Info = 1;    // NIIF_INFO
constexpr uint32_t Warning = 2; // NIIF_WARNING
constexpr uint32_t Error = 3;   // NIIF_ERROR
constexpr uint32_t User = 4;    // NIIF_USER: the record's own icon
constexpr uint32_t Mask = 0x0F; // the bits that hold the kind
} // namespace BalloonIcon

// Virtual key codes of the modifier keys, for ShellNotify::KeyHeld.
namespace ModifierKey {
constexpr int Shift = 0x10;   // VK_SHIFT
constexpr int Control = 0x11; // VK_CONTROL
constexpr int Menu = 0x12;    // VK_MENU (Alt)
} // namespace ModifierKey

// What a call to the host does with the record.
enum class NotifyCommand {
    Add = 0,    // NIM_ADD: put the icon into the notification area
    Modify = 1, // NIM_MODIFY: apply the record to the icon already there
    Delete = 2, // NIM_DELETE: take the icon away
};

// One notification-area icon as its owner describes it. The host identifies the icon by
// (window, id) and keeps no reference to the record.
struct NotifyIconData {
    MessageWindow* window = nullptr; // receives callbackMessage
    quintptr id = 0;                 // the owner's own number for the icon
    uint32_t flags = 0;              // NotifyFlag bits
    uint32_t callbackMessage = 0;    // the message number of the host's mouse notifications
    QIcon icon;
    QString tip;            // tooltip, at most 127 characters
    QString info;           // balloon text, at most 255 characters
    QString infoTitle;      // balloon title, at most 63 characters
    uint32_t timeout = 0;   // balloon time-out, milliseconds
    uint32_t infoFlags = 0; // BalloonIcon kind
    // Changes with every balloon the owner asks for. The balloon fields stay filled and travel
    // with every later call; a host shows a balloon once, not again for each update of the icon.
    uint32_t infoSerial = 0;
    // The icon's menu, for hosts that show an icon's menu themselves (a StatusNotifierItem host
    // reads it over the bus and shows it on the right click; choosing an item triggers its
    // action). Hosts that report the buttons instead ignore it: the owner pops its menu up on the
    // button messages. Always applied.
    QPointer<QMenu> menu;
};

// The desktop's notification area ("system tray").
//
// Mouse actions on an icon come back as the record's callbackMessage sent to its window, with
// wParam the record's id and lParam the button message (WindowMessage::MouseMove ...
// WindowMessage::MButtonDblClk). CursorPos() reads, while such a message is handled, the place
// the host gave for the action.
class ShellNotify {
public:
    virtual ~ShellNotify() = default;

    // Adds, modifies or deletes the icon of the record; true when the host took the call.
    virtual bool NotifyIcon(NotifyCommand command, const NotifyIconData& data) = 0;

    // The mouse cursor's position in screen coordinates, read now.
    virtual QPoint CursorPos() const = 0;
    // Whether the modifier key (ModifierKey) is held down now.
    virtual bool KeyHeld(int virtualKey) const = 0;

    // Whether the desktop shows a notification area now.
    virtual bool AreaAvailable() const = 0;
    // `changed` is called, later, each time the notification area is seen to appear (a panel that
    // starts after the program, or one that comes back after a restart) or to go away. One
    // watcher; an empty function ends the watch.
    virtual void WatchArea(std::function<void(bool available)> changed) = 0;
};
