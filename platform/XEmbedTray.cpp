#include "XEmbedTray.h"

#include "WindowMessage.h"

#include <QGuiApplication>
#include <QWidget>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <xcb/xcb.h>

namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <class T> using Reply = std::unique_ptr<T, FreeDeleter>;

xcb_connection_t* Connection() {
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return nullptr;
    const auto* x11 =
        qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

} // namespace

namespace XEmbedTray {

bool Available() {
    xcb_connection_t* c = Connection();
    if (!c)
        return false;
    // The screen Qt opened the display with; the default one unless DISPLAY names another.
    const xcb_setup_t* setup = xcb_get_setup(c);
    int screen = 0;
    if (const char* display = std::getenv("DISPLAY")) {
        int parsed = 0;
        char* host = nullptr;
        if (xcb_parse_display(display, &host, &parsed, &screen) == 0)
            screen = 0;
        std::free(host);
    }
    if (screen < 0 || screen >= xcb_setup_roots_length(setup))
        screen = 0;
    const QByteArray name = "_NET_SYSTEM_TRAY_S" + QByteArray::number(screen);
    Reply<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 1, uint16_t(name.size()), name.constData()), nullptr));
    if (!atom || atom->atom == XCB_ATOM_NONE)
        return false;
    Reply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom->atom), nullptr));
    return owner && owner->owner != XCB_WINDOW_NONE;
}

bool Embedded(const QWidget* widget) {
    xcb_connection_t* c = Connection();
    if (!c || !widget || !widget->internalWinId())
        return false;
    const auto window = xcb_window_t(widget->internalWinId());
    const xcb_query_tree_cookie_t treeCookie = xcb_query_tree(c, window);
    const xcb_get_window_attributes_cookie_t attributesCookie =
        xcb_get_window_attributes(c, window);
    Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, treeCookie, nullptr));
    Reply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(c, attributesCookie, nullptr));
    // The tray maps the icon once it has laid it out in its panel: only then is its place known.
    return tree && attributes && tree->parent != XCB_WINDOW_NONE && tree->parent != tree->root &&
           attributes->map_state == XCB_MAP_STATE_VIEWABLE;
}

QRect GlobalGeometry(const QWidget* widget) {
    xcb_connection_t* c = Connection();
    if (!c || !widget || !widget->internalWinId())
        return {};
    const auto window = xcb_window_t(widget->internalWinId());
    Reply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr));
    if (!geometry)
        return {};
    Reply<xcb_translate_coordinates_reply_t> origin(xcb_translate_coordinates_reply(
        c, xcb_translate_coordinates(c, window, geometry->root, 0, 0), nullptr));
    if (!origin)
        return {};
    // X reports device pixels; the widgets work in device-independent ones.
    const qreal ratio = widget->devicePixelRatioF();
    return QRect(QPoint(int(origin->dst_x / ratio), int(origin->dst_y / ratio)),
                 QSize(int(geometry->width / ratio), int(geometry->height / ratio)));
}

uint32_t ButtonReader::Read(QEvent::Type type, Qt::MouseButton button, qint64 msecs, QPoint pos) {
    using namespace WindowMessage;
    if (type == QEvent::MouseMove)
        return MouseMove;
    uint32_t first = 0; // the button's down message; up and double click follow it
    switch (button) {
    case Qt::LeftButton:
        first = LButtonDown;
        break;
    case Qt::RightButton:
        first = RButtonDown;
        break;
    case Qt::MiddleButton:
        first = MButtonDown;
        break;
    default:
        return 0;
    }
    if (type == QEvent::MouseButtonDblClick) {
        // Qt sends the second press of a double click as this event, with or without the press
        // itself just before it: it counts as that press, once.
        if (m_pressJustRead == button)
            return 0;
        type = QEvent::MouseButtonPress;
    }
    m_pressJustRead = type == QEvent::MouseButtonPress ? button : Qt::NoButton;
    switch (type) {
    case QEvent::MouseButtonPress: {
        const QPoint moved = pos - m_lastPos;
        const bool pairs = button == m_lastButton && msecs - m_lastMsecs >= 0 &&
                           msecs - m_lastMsecs <= m_interval &&
                           std::max(std::abs(moved.x()), std::abs(moved.y())) <= m_distance;
        if (pairs) {
            m_lastButton = Qt::NoButton;
            return first + 2; // double click
        }
        m_lastButton = button;
        m_lastMsecs = msecs;
        m_lastPos = pos;
        return first;
    }
    case QEvent::MouseButtonRelease:
        return first + 1;
    default:
        return 0;
    }
}

} // namespace XEmbedTray
