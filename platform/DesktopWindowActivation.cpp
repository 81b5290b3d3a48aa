#include "WindowActivation.h"

#include <QEvent>
#include <QGuiApplication>
#include <QTimer>
#include <QWindow>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <utility>

namespace {

constexpr int kExposeWaitMs = 5000;

// Runs `action` once `window` is exposed: now, or at its next expose within kExposeWaitMs.
class WhenExposed final : public QObject {
public:
    static void Run(QWindow* window, std::function<void(QWindow*)> action) {
        if (window->isExposed()) {
            action(window);
            return;
        }
        new WhenExposed(window, std::move(action));
    }

private:
    WhenExposed(QWindow* window, std::function<void(QWindow*)> action)
        : QObject(window), m_action(std::move(action)) {
        window->installEventFilter(this);
        QTimer::singleShot(kExposeWaitMs, this, [this] { deleteLater(); });
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Expose && m_action) {
            auto* window = static_cast<QWindow*>(watched);
            // After the window's own handling of the event, which makes it exposed.
            QTimer::singleShot(0, this, [this, window] {
                if (m_action && window->isExposed()) {
                    std::exchange(m_action, nullptr)(window);
                    deleteLater();
                }
            });
        }
        return false;
    }

    std::function<void(QWindow*)> m_action;
};

void ActivateWayland(QWindow* window, const QString& token) {
    qputenv("XDG_ACTIVATION_TOKEN", token.toLatin1());
    window->requestActivate();
    // Without an xdg-activation global the plugin leaves the variable alone; nothing else may
    // use the token later.
    qunsetenv("XDG_ACTIVATION_TOKEN");
}

class X11 {
public:
    explicit X11(xcb_connection_t* connection) : m_connection(connection) {}

    xcb_atom_t Atom(const char* name) const {
        xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
            m_connection, xcb_intern_atom(m_connection, false, uint16_t(std::strlen(name)), name),
            nullptr);
        const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(reply);
        return atom;
    }

    xcb_window_t RootOf(xcb_window_t window) const {
        xcb_get_geometry_reply_t* reply =
            xcb_get_geometry_reply(m_connection, xcb_get_geometry(m_connection, window), nullptr);
        const xcb_window_t root = reply ? reply->root : xcb_window_t(XCB_WINDOW_NONE);
        std::free(reply);
        return root;
    }

    // The startup-notification message `text` (NUL included) to whoever watches `root`: 20
    // bytes per client message, the first of type _NET_STARTUP_INFO_BEGIN, the others
    // _NET_STARTUP_INFO, all from a window of their own so that no other sender's pieces mix in.
    void SendStartupMessage(xcb_window_t root, const QByteArray& text) const {
        const xcb_atom_t begin = Atom("_NET_STARTUP_INFO_BEGIN");
        const xcb_atom_t more = Atom("_NET_STARTUP_INFO");
        const xcb_window_t sender = xcb_generate_id(m_connection);
        xcb_create_window(m_connection, XCB_COPY_FROM_PARENT, sender, root, -100, -100, 1, 1, 0,
                          XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
        const QByteArray bytes = text + '\0';
        for (qsizetype sent = 0; sent < bytes.size(); sent += 20) {
            xcb_client_message_event_t event{};
            event.response_type = XCB_CLIENT_MESSAGE;
            event.format = 8;
            event.window = sender;
            event.type = sent == 0 ? begin : more;
            std::memcpy(event.data.data8, bytes.constData() + sent,
                        size_t(std::min<qsizetype>(20, bytes.size() - sent)));
            xcb_send_event(m_connection, false, root, XCB_EVENT_MASK_PROPERTY_CHANGE,
                           reinterpret_cast<const char*>(&event));
        }
        xcb_destroy_window(m_connection, sender);
    }

    // Asks the window manager to activate `window`, as an application would at `time`.
    void RequestActive(xcb_window_t root, xcb_window_t window, quint32 time) const {
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = window;
        event.type = Atom("_NET_ACTIVE_WINDOW");
        event.data.data32[0] = 1; // source: an application
        event.data.data32[1] = time;
        event.data.data32[2] = XCB_WINDOW_NONE;
        xcb_send_event(m_connection, false, root,
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&event));
    }

    void SetStartupId(xcb_window_t window, const QByteArray& id) const {
        xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, window, Atom("_NET_STARTUP_ID"),
                            Atom("UTF8_STRING"), 8, uint32_t(id.size()), id.constData());
    }

    void Flush() const { xcb_flush(m_connection); }

private:
    xcb_connection_t* m_connection;
};

void ActivateX11(QWindow* window, const QString& startupId) {
    auto* native = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!native || !native->connection())
        return;
    const X11 x11(native->connection());
    const auto id = xcb_window_t(window->winId());
    const xcb_window_t root = x11.RootOf(id);
    if (root == XCB_WINDOW_NONE)
        return;
    const QByteArray idBytes = startupId.toLatin1();
    x11.SetStartupId(id, idBytes);
    // The id holds no spaces, quotes or backslashes, so it needs no quoting in the message.
    x11.SendStartupMessage(root, QByteArrayLiteral("remove: ID=") + idBytes);
    x11.Flush();
    const std::optional<quint32> time = StartupIdTime(startupId);
    if (!time)
        return;
    WhenExposed::Run(window, [root, time](QWindow* exposed) {
        auto* nativeNow = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
        if (!nativeNow || !nativeNow->connection())
            return;
        const X11 server(nativeNow->connection());
        server.RequestActive(root, xcb_window_t(exposed->winId()), *time);
        server.Flush();
    });
}

} // namespace

void DesktopWindowActivation::Activate(QWindow* window, const LaunchTokens& tokens) {
    if (!window)
        return;
    const QString platform = QGuiApplication::platformName();
    if (platform.startsWith(QLatin1String("wayland")) && !tokens.activationToken.isEmpty()) {
        WhenExposed::Run(window, [token = tokens.activationToken](QWindow* exposed) {
            ActivateWayland(exposed, token);
        });
    } else if (platform == QLatin1String("xcb") && !tokens.startupId.isEmpty()) {
        ActivateX11(window, tokens.startupId);
    }
}
