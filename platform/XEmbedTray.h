#pragma once

#include <QEvent>
#include <QPoint>
#include <QRect>
#include <QtGlobal>
#include <cstdint>

class QWidget;

// The XEmbed system tray of an X11 desktop (the freedesktop system tray protocol): a tray host
// owns the selection _NET_SYSTEM_TRAY_S<screen> and embeds the icon windows it is asked to dock.
namespace XEmbedTray {

// The object name of the widget Qt docks into an XEmbed tray for a QSystemTrayIcon: never the
// application's window.
inline constexpr char kIconWidgetName[] = "QSystemTrayIconSys";

// A tray host owns the selection on the application's screen now. False on any platform other
// than X11 (xcb). One round trip to the X server.
bool Available();

// The icon window `widget` has been embedded and shown in the tray's panel: its X parent is no
// longer the root window and it is viewable there. False when it is not (yet), and on platforms
// other than X11.
bool Embedded(const QWidget* widget);

// Where the embedded icon window `widget` is on the screen now, asked of the X server (Qt's own
// idea of it goes stale when the tray moves its socket). Empty when it cannot be told.
QRect GlobalGeometry(const QWidget* widget);

// Turns the mouse events of a docked icon into the button messages (WindowMessage) they stand
// for: a press, a release or a double click of the left, right or middle button, or a pointer
// move; 0 for any other event or button.
//
// The double click is told here, the way the desktop tells it: a press of the same button as the
// press before, within `interval` ms and `distance` pixels of it, is a double click (and the press
// after that starts over). Qt's own double-click events are not used: a press that closes a menu
// the first click opened reaches the icon replayed, as a plain press. Qt's double-click event
// counts as the press it stands for (once, when the press itself came just before it).
class ButtonReader {
public:
    ButtonReader(int interval, int distance) : m_interval(interval), m_distance(distance) {}
    uint32_t Read(QEvent::Type type, Qt::MouseButton button, qint64 msecs, QPoint pos);

private:
    int m_interval;
    int m_distance;
    Qt::MouseButton m_lastButton = Qt::NoButton; // of the last press that can pair
    qint64 m_lastMsecs = 0;
    QPoint m_lastPos;
    Qt::MouseButton m_pressJustRead = Qt::NoButton; // the event before was this button's press
};

} // namespace XEmbedTray
