#include "QtShellNotify.h"

#include "LaunchTokens.h"
#include "TrayBalloon.h"
#include "XEmbedTray.h"

#include <QApplication>
#include <QCursor>
#include <QDateTime>
#include <QMouseEvent>
#include <QStyleHints>
#include <QWidget>
#include <algorithm>
#include <climits>

namespace {

bool HasBalloon(const NotifyIconData& data) {
    return (data.flags & NotifyFlag::Info) && !data.info.isEmpty();
}

// The fields of `data` that its flags say to apply, over `applied`.
void Merge(NotifyIconData& applied, const NotifyIconData& data) {
    applied.window = data.window;
    applied.id = data.id;
    if (data.flags & NotifyFlag::Icon)
        applied.icon = data.icon;
    if (data.flags & NotifyFlag::Tip)
        applied.tip = data.tip;
    if (data.flags & NotifyFlag::Message)
        applied.callbackMessage = data.callbackMessage;
    applied.flags |= data.flags;
    applied.info = data.info;
    applied.infoTitle = data.infoTitle;
    applied.timeout = data.timeout;
    applied.infoFlags = data.infoFlags;
    applied.infoSerial = data.infoSerial;
    applied.menu = data.menu;
}

QString ItemId() {
    const QString desktop = QGuiApplication::desktopFileName();
    return desktop.isEmpty() ? QCoreApplication::applicationName() : desktop;
}

} // namespace

QtShellNotify::QtShellNotify(QObject* parent)
    : QtShellNotify(QDBusConnection::sessionBus(), parent) {}

QtShellNotify::QtShellNotify(QDBusConnection bus, QObject* parent)
    : QObject(parent), m_bus(bus), m_watch(bus),
      m_buttons(QGuiApplication::styleHints()->mouseDoubleClickInterval(),
                QGuiApplication::styleHints()->mouseDoubleClickDistance()) {
    m_areaPoll.setInterval(kAreaPollMs);
    connect(&m_areaPoll, &QTimer::timeout, this, &QtShellNotify::HostsChanged);
    connect(&m_watch, &StatusNotifierWatch::HostAvailableChanged, this,
            &QtShellNotify::HostsChanged);
    m_balloonWait.setInterval(50);
    connect(&m_balloonWait, &QTimer::timeout, this, &QtShellNotify::ShowWaitingBalloons);
}

QtShellNotify::~QtShellNotify() {
    m_areaChanged = nullptr;
    for (auto& [key, entry] : m_icons)
        Unplace(entry);
}

QtShellNotify::Host QtShellNotify::PreferredHost() const {
    if (m_watch.HostAvailable())
        return Host::StatusNotifier;
    if (XEmbedTray::Available())
        return Host::XEmbed;
    return Host::None;
}

bool QtShellNotify::NotifyIcon(NotifyCommand command, const NotifyIconData& data) {
    const Key key{data.window, data.id};
    auto found = m_icons.find(key);
    switch (command) {
    case NotifyCommand::Add: {
        const Host host = PreferredHost();
        if (host == Host::None) {
            AreaAvailable(); // watched from now on
            return false;
        }
        if (found == m_icons.end())
            found = m_icons.emplace(key, Entry{}).first;
        Entry& entry = found->second;
        Merge(entry.record, data);
        if (!Place(key, entry, host)) {
            m_icons.erase(found);
            return false;
        }
        ApplyToHost(key, entry);
        if (HasBalloon(data) && m_balloonsShown[key] != data.infoSerial) {
            m_balloonsShown[key] = data.infoSerial;
            ShowBalloon(key, entry);
        }
        UpdateAreaPoll();
        return true;
    }
    case NotifyCommand::Modify: {
        if (found == m_icons.end())
            return false;
        Entry& entry = found->second;
        Merge(entry.record, data);
        ApplyToHost(key, entry);
        if (HasBalloon(data) && m_balloonsShown[key] != data.infoSerial) {
            m_balloonsShown[key] = data.infoSerial;
            ShowBalloon(key, entry);
        }
        return true;
    }
    case NotifyCommand::Delete: {
        if (found == m_icons.end())
            return false;
        Entry entry = std::move(found->second);
        m_icons.erase(found);
        Unplace(entry);
        UpdateAreaPoll();
        return true;
    }
    }
    return false;
}

bool QtShellNotify::Place(Key key, Entry& entry, Host host) {
    if (entry.host == host)
        return true;
    Unplace(entry);
    if (host == Host::StatusNotifier) {
        auto item = std::make_unique<StatusNotifierItem>(m_bus, ItemId());
        connect(item.get(), &StatusNotifierItem::Activated, this,
                [this, key](StatusNotifierItem::Action action, QPoint pos) {
                    // Hosts on Wayland, and some on X11, give no place: the pointer's is used.
                    std::optional<QPoint> at;
                    if (!pos.isNull())
                        at = pos;
                    SendButtons(key, ButtonMessages(action), at);
                });
        // On Wayland only a token from the host lets the window that the coming activation
        // restores take the focus: Qt's next activation request uses (and clears) it.
        connect(item.get(), &StatusNotifierItem::ActivationTokenProvided, this,
                [](const QString& token) {
                    if (QGuiApplication::platformName() == QLatin1String("wayland") &&
                        IsAcceptableLaunchToken(token.toUtf8()))
                        qputenv("XDG_ACTIVATION_TOKEN", token.toUtf8());
                });
        entry.item = std::move(item);
        entry.host = host;
        ApplyToHost(key, entry);
        if (!entry.item->Register()) {
            entry.item.reset();
            entry.host = Host::None;
            return false;
        }
        return true;
    }
    if (host == Host::XEmbed) {
        entry.icon = new QSystemTrayIcon(this);
        entry.host = host;
        ApplyToHost(key, entry);
        const auto before = QApplication::topLevelWidgets();
        entry.icon->show();
        // The window Qt docks into the tray is new among the top-level widgets.
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->objectName() == QLatin1String(XEmbedTray::kIconWidgetName) &&
                !before.contains(w)) {
                entry.iconWidget = w;
                w->installEventFilter(this);
            }
        return true;
    }
    return false;
}

void QtShellNotify::Unplace(Entry& entry) {
    if (entry.item) {
        // The call may come from a handler of this item's own bus call.
        entry.item->Unregister();
        entry.item.release()->deleteLater();
    }
    if (entry.icon) {
        if (entry.iconWidget)
            entry.iconWidget->removeEventFilter(this);
        entry.icon->hide();
        // The call may come from a handler of this icon's own mouse events.
        entry.icon->deleteLater();
        entry.icon = nullptr;
    }
    entry.iconWidget = nullptr;
    entry.balloonWaiting = false;
    if (entry.balloon)
        entry.balloon->close();
    entry.host = Host::None;
}

void QtShellNotify::ApplyToHost(Key, Entry& entry) {
    const NotifyIconData& r = entry.record;
    if (entry.item) {
        entry.item->SetIcon(r.icon);
        entry.item->SetToolTip((r.flags & NotifyFlag::Tip) ? r.tip : QString());
        entry.item->SetMenu(r.menu);
    }
    if (entry.icon) {
        entry.icon->setIcon(r.icon);
        if (r.flags & NotifyFlag::Tip)
            entry.icon->setToolTip(r.tip);
    }
}

void QtShellNotify::ShowBalloon(Key, Entry& entry) {
    const NotifyIconData& r = entry.record;
    if (entry.host == Host::StatusNotifier) {
        if (!m_notifications)
            m_notifications = std::make_unique<DesktopNotifications>(
                m_bus, QCoreApplication::applicationName(), this);
        m_notifications->Show(r.infoTitle, r.info, r.timeout, r.infoFlags, r.icon);
        return;
    }
    if (entry.host != Host::XEmbed || !entry.icon)
        return;
    // The balloon points at the icon's place: wait until the tray has embedded it.
    if (entry.iconWidget && !XEmbedTray::Embedded(entry.iconWidget)) {
        if (!entry.balloonWaiting)
            entry.balloonSince = QDateTime::currentMSecsSinceEpoch();
        entry.balloonWaiting = true;
        m_balloonWait.start();
        return;
    }
    entry.balloonWaiting = false;
    ShowXEmbedBalloon(entry);
}

void QtShellNotify::ShowXEmbedBalloon(Entry& entry) {
    const NotifyIconData& r = entry.record;
    if (entry.balloon)
        entry.balloon->close();
    QRect icon = XEmbedTray::GlobalGeometry(entry.iconWidget);
    if (icon.isEmpty())
        icon = entry.icon->geometry();
    entry.balloon = new TrayBalloon(r.infoTitle, r.info, r.infoFlags, r.icon);
    entry.balloon->ShowAt(icon, int(std::min<uint32_t>(r.timeout, INT_MAX)));
}

void QtShellNotify::ShowWaitingBalloons() {
    bool waiting = false;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (auto& [key, entry] : m_icons) {
        if (!entry.balloonWaiting || !entry.icon)
            continue;
        if (XEmbedTray::Embedded(entry.iconWidget) ||
            now - entry.balloonSince >= kBalloonDockWaitMs) {
            entry.balloonWaiting = false;
            ShowXEmbedBalloon(entry);
        } else {
            waiting = true;
        }
    }
    if (!waiting)
        m_balloonWait.stop();
}

std::vector<uint32_t> QtShellNotify::ButtonMessages(StatusNotifierItem::Action action) {
    using namespace WindowMessage;
    switch (action) {
    case StatusNotifierItem::Action::Activate:
        return {LButtonDblClk, LButtonUp};
    case StatusNotifierItem::Action::SecondaryActivate:
        return {MButtonDown, MButtonUp};
    case StatusNotifierItem::Action::ContextMenu:
        return {RButtonDown, RButtonUp};
    }
    return {};
}

void QtShellNotify::SendButtons(Key key, const std::vector<uint32_t>& buttons,
                                std::optional<QPoint> pos) {
    const auto previous = m_cursorOverride;
    m_cursorOverride = pos;
    for (uint32_t button : buttons) {
        // Each message may change or delete the record (the receiver runs the owner's handlers).
        const auto found = m_icons.find(key);
        if (found == m_icons.end() || !(found->second.record.flags & NotifyFlag::Message) ||
            !key.first)
            break;
        key.first->Send(found->second.record.callbackMessage, key.second, intptr_t(button));
    }
    m_cursorOverride = previous;
}

bool QtShellNotify::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonRelease ||
        type == QEvent::MouseButtonDblClick || type == QEvent::MouseMove) {
        for (const auto& [key, entry] : m_icons) {
            if (entry.iconWidget != watched)
                continue;
            const auto* mouse = static_cast<QMouseEvent*>(event);
            if (const uint32_t button =
                    m_buttons.Read(type, mouse->button(), qint64(mouse->timestamp()),
                                   mouse->globalPosition().toPoint())) {
                const Key found = key; // the map may change under the handlers
                SendButtons(found, {button}, mouse->globalPosition().toPoint());
            }
            break;
        }
    }
    return QObject::eventFilter(watched, event);
}

QPoint QtShellNotify::CursorPos() const {
    return m_cursorOverride ? *m_cursorOverride : QCursor::pos();
}

bool QtShellNotify::KeyHeld(int virtualKey) const {
    const Qt::KeyboardModifiers held = QGuiApplication::queryKeyboardModifiers();
    switch (virtualKey) {
    case ModifierKey::Shift:
        return held & Qt::ShiftModifier;
    case ModifierKey::Control:
        return held & Qt::ControlModifier;
    case ModifierKey::Menu:
        return held & Qt::AltModifier;
    default:
        return false;
    }
}

bool QtShellNotify::AreaAvailable() const {
    const bool available = PreferredHost() != Host::None;
    // Found missing: an XEmbed tray is watched for until one is there (a StatusNotifierItem host
    // announces itself on the bus).
    if (!available && m_areaChanged && !m_areaPoll.isActive() &&
        QGuiApplication::platformName() == QLatin1String("xcb"))
        m_areaPoll.start();
    return available;
}

void QtShellNotify::WatchArea(std::function<void(bool available)> changed) {
    m_areaChanged = std::move(changed);
    m_areaAvailable = PreferredHost() != Host::None;
    UpdateAreaPoll();
}

void QtShellNotify::UpdateAreaPoll() {
    // Only X11 has XEmbed trays; polling one is a round trip to the X server. It is polled while
    // it could matter: no host at all, or icons docked in it.
    const bool xembedIcons = std::any_of(m_icons.begin(), m_icons.end(), [](const auto& icon) {
        return icon.second.host == Host::XEmbed;
    });
    const bool poll = m_areaChanged && QGuiApplication::platformName() == QLatin1String("xcb") &&
                      (!m_areaAvailable || xembedIcons);
    if (!poll)
        m_areaPoll.stop();
    else if (!m_areaPoll.isActive())
        m_areaPoll.start();
}

void QtShellNotify::HostsChanged() {
    const Host host = PreferredHost();
    const bool available = host != Host::None;
    // Icons the owner thinks are shown move to the host there is now; with none left, they wait
    // for the owner to add them again.
    for (auto it = m_icons.begin(); it != m_icons.end();) {
        Entry& entry = it->second;
        if (!available) {
            Unplace(entry);
            ++it;
            continue;
        }
        if (entry.host != host && m_areaAvailable && !Place(it->first, entry, host)) {
            Unplace(entry);
        }
        ++it;
    }
    if (m_areaChanged && available != m_areaAvailable) {
        m_areaAvailable = available;
        // The watcher may add or delete icons, or end the watch.
        const auto changed = m_areaChanged;
        changed(available);
    } else {
        m_areaAvailable = available;
    }
    UpdateAreaPoll();
}
