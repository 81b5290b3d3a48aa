#include "platform/QtShellNotify.h"

#include <QApplication>
#include <QCursor>
#include <QWidget>
#include <algorithm>
#include <climits>

namespace {

// The name Qt gives the widget it docks into an XEmbed tray; a StatusNotifierItem icon has none.
const char* const kXEmbedIconWidget = "QSystemTrayIconSys";

void ShowBalloon(QSystemTrayIcon* icon, const NotifyIconData& data) {
    const int msecs = int(std::min<uint32_t>(data.timeout, INT_MAX));
    QSystemTrayIcon::MessageIcon kind = QSystemTrayIcon::NoIcon;
    switch (data.infoFlags & BalloonIcon::Mask) {
    case BalloonIcon::Info:
        kind = QSystemTrayIcon::Information;
        break;
    case BalloonIcon::Warning:
        kind = QSystemTrayIcon::Warning;
        break;
    case BalloonIcon::Error:
        kind = QSystemTrayIcon::Critical;
        break;
    case BalloonIcon::User:
        icon->showMessage(data.infoTitle, data.info, data.icon, msecs);
        return;
    default:
        break;
    }
    icon->showMessage(data.infoTitle, data.info, kind, msecs);
}

bool HasBalloon(const NotifyIconData& data) {
    return (data.flags & NotifyFlag::Info) && !data.info.isEmpty();
}

} // namespace

QtShellNotify::QtShellNotify(QObject* parent) : QObject(parent) {
    m_areaPoll.setInterval(kAreaPollMs);
    connect(&m_areaPoll, &QTimer::timeout, this, &QtShellNotify::CheckArea);
}

QtShellNotify::~QtShellNotify() {
    for (auto& [key, entry] : m_icons) {
        entry.icon->hide();
        delete entry.icon;
    }
}

bool QtShellNotify::NotifyIcon(NotifyCommand command, const NotifyIconData& data) {
    const Key key{data.window, data.id};
    auto found = m_icons.find(key);
    switch (command) {
    case NotifyCommand::Add: {
        if (!AreaAvailable())
            return false;
        if (found == m_icons.end()) {
            Entry entry;
            entry.icon = new QSystemTrayIcon(this);
            connect(
                entry.icon, &QSystemTrayIcon::activated, this,
                [this, key](QSystemTrayIcon::ActivationReason reason) { Activated(key, reason); });
            found = m_icons.emplace(key, entry).first;
        }
        Apply(found->second, data);
        found->second.icon->show();
        if (HasBalloon(data))
            ShowBalloon(found->second.icon, data);
        UpdateAreaPoll();
        return true;
    }
    case NotifyCommand::Modify:
        if (found == m_icons.end())
            return false;
        Apply(found->second, data);
        if (HasBalloon(data))
            ShowBalloon(found->second.icon, data);
        return true;
    case NotifyCommand::Delete: {
        if (found == m_icons.end())
            return false;
        QSystemTrayIcon* icon = found->second.icon;
        m_icons.erase(found);
        icon->disconnect(this);
        icon->hide();
        // The call may come from a handler of this icon's own activated signal.
        icon->deleteLater();
        UpdateAreaPoll();
        return true;
    }
    }
    return false;
}

void QtShellNotify::Apply(Entry& entry, const NotifyIconData& data) {
    if (data.flags & NotifyFlag::Icon)
        entry.icon->setIcon(data.icon);
    if (data.flags & NotifyFlag::Tip)
        entry.icon->setToolTip(data.tip);
    if (data.flags & NotifyFlag::Message) {
        entry.callbackMessage = data.callbackMessage;
        entry.sendsMessages = true;
    }
}

std::vector<uint32_t> QtShellNotify::ButtonMessages(QSystemTrayIcon::ActivationReason reason,
                                                    bool hostReportsDoubleClicks) {
    using namespace WindowMessage;
    switch (reason) {
    case QSystemTrayIcon::Trigger:
        if (hostReportsDoubleClicks)
            return {LButtonDown, LButtonUp};
        return {LButtonDblClk, LButtonUp};
    case QSystemTrayIcon::DoubleClick:
        return {LButtonDblClk, LButtonUp};
    case QSystemTrayIcon::Context:
        return {RButtonDown, RButtonUp};
    case QSystemTrayIcon::MiddleClick:
        return {MButtonDown, MButtonUp};
    case QSystemTrayIcon::Unknown:
        break;
    }
    return {};
}

bool QtShellNotify::HostReportsDoubleClicks() {
    const auto windows = QApplication::topLevelWidgets();
    return std::any_of(windows.begin(), windows.end(), [](const QWidget* w) {
        return w->objectName() == QLatin1String(kXEmbedIconWidget);
    });
}

void QtShellNotify::Activated(Key key, QSystemTrayIcon::ActivationReason reason) {
    for (uint32_t button : ButtonMessages(reason, HostReportsDoubleClicks())) {
        // Each message may change or delete the record (the receiver runs the owner's handlers).
        const auto found = m_icons.find(key);
        if (found == m_icons.end() || !found->second.sendsMessages || !key.first)
            return;
        key.first->Send(found->second.callbackMessage, key.second, intptr_t(button));
    }
}

QPoint QtShellNotify::CursorPos() const {
    return QCursor::pos();
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
    const bool available = QSystemTrayIcon::isSystemTrayAvailable();
    // Found missing: watched until it is there again.
    if (!available && m_areaChanged && !m_areaPoll.isActive())
        m_areaPoll.start();
    return available;
}

void QtShellNotify::WatchArea(std::function<void(bool available)> changed) {
    m_areaChanged = std::move(changed);
    m_areaAvailable = QSystemTrayIcon::isSystemTrayAvailable();
    UpdateAreaPoll();
}

void QtShellNotify::UpdateAreaPoll() {
    if (!m_areaChanged || (m_areaAvailable && !HostReportsDoubleClicks()))
        m_areaPoll.stop();
    else if (!m_areaPoll.isActive())
        m_areaPoll.start();
}

void QtShellNotify::CheckArea() {
    const bool available = QSystemTrayIcon::isSystemTrayAvailable();
    if (m_areaChanged && available != m_areaAvailable) {
        m_areaAvailable = available;
        // The watcher may add or delete icons, or end the watch.
        const auto changed = m_areaChanged;
        changed(available);
    }
    UpdateAreaPoll();
}
