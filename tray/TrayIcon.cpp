#include "TrayIcon.h"

#include "Errors.h"
#include "XEmbedTray.h"

#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QMouseEvent>
#include <QStyleHints>
#include <QWidget>
#include <QWindowStateChangeEvent>
#include <algorithm>
#include <cstdlib>

namespace {

constexpr int kMaxBalloonTitle = 63;
constexpr int kMaxBalloonText = 255;
constexpr int kMaxTip = 127;

void SetRunning(QTimer& timer, bool running) {
    if (!running)
        timer.stop();
    else if (!timer.isActive())
        timer.start();
}

bool IsOwnedBy(const QWidget* window, const QWidget* owner) {
    for (const QWidget* w = window->parentWidget(); w; w = w->parentWidget())
        if (w->window() == owner)
            return true;
    return false;
}

} // namespace

// The receiver of the host's messages: hands every message to DoMessage.
class TTrayIcon::Window final : public MessageWindow {
public:
    explicit Window(TTrayIcon& owner) : m_owner(owner) {}
    void Dispatch(TMessage& message) override { m_owner.DoMessage(message); }

private:
    TTrayIcon& m_owner;
};

TTrayIcon::TTrayIcon(ShellNotify& shell, QObject* owner)
    : QObject(owner), m_shell(shell), m_messageWindow(std::make_unique<Window>(*this)) {
    m_currentIcon = QApplication::windowIcon();
    m_animationTimer.setInterval(1000);
    connect(&m_animationTimer, &QTimer::timeout, this, [this] { DoOnAnimate(this); });

    m_record.window = m_messageWindow.get();
    m_record.id = reinterpret_cast<quintptr>(this);
    m_record.flags = NotifyFlag::Message | NotifyFlag::Icon | NotifyFlag::Info;
    m_record.callbackMessage = kCallbackMessage;
    Update();
}

TTrayIcon::~TTrayIcon() {
    m_animationTimer.stop();
    disconnect(m_iconsGone);
    disconnect(m_popupMenuGone);
    m_shell.NotifyIcon(NotifyCommand::Delete, m_record);
    WithdrawWatch();
}

void TTrayIcon::SetVisible(bool value) {
    m_visible = value;
    if (value) {
        if (!m_shell.NotifyIcon(NotifyCommand::Add, m_record))
            throw EOutOfResources(QStringLiteral("Cannot Create System Shell Notification Icon"));
        RegisterWatch();
    } else {
        if (!m_shell.NotifyIcon(NotifyCommand::Delete, m_record))
            throw EOutOfResources(QStringLiteral("Cannot Remove System Shell Notification Icon"));
        WithdrawWatch();
    }
}

void TTrayIcon::SetHint(const QString& value) {
    if (value == m_hint || value.size() > kMaxHint)
        return;
    m_hint = value;
    m_record.tip = value.left(kMaxTip);
    if (!value.isEmpty())
        m_record.flags |= NotifyFlag::Tip;
    Update();
}

void TTrayIcon::SetPopupMenu(QMenu* menu) {
    disconnect(m_popupMenuGone);
    m_popupMenu = menu;
    if (menu)
        m_popupMenuGone = connect(menu, &QObject::destroyed, this,
                                  [this](QObject* gone) { Notification(gone, opRemove); });
    UpdateRecordMenu();
}

void TTrayIcon::SetPopupMenuOn(TTrayIconMessage value) {
    m_popupMenuOn = value;
    UpdateRecordMenu();
}

void TTrayIcon::UpdateRecordMenu() {
    QMenu* offered = m_popupMenuOn == imNone ? nullptr : m_popupMenu;
    // Compared with what was offered last: the record's own pointer is already empty when the
    // menu is being destroyed.
    if (m_menuOffered == offered)
        return;
    m_menuOffered = offered;
    m_record.menu = offered;
    if (!m_loading)
        Update();
}

void TTrayIcon::SetIcons(TImageList* icons) {
    disconnect(m_iconsGone);
    m_icons = icons;
    if (icons)
        m_iconsGone = connect(icons, &QObject::destroyed, this,
                              [this](QObject* gone) { Notification(gone, opRemove); });
}

void TTrayIcon::Notification(QObject* component, TOperation operation) {
    if (operation != opRemove || !component)
        return;
    if (component == static_cast<QObject*>(m_icons)) {
        disconnect(m_iconsGone);
        m_icons = nullptr;
    } else if (component == static_cast<QObject*>(m_popupMenu)) {
        disconnect(m_popupMenuGone);
        m_popupMenu = nullptr;
        // Only the record forgets it: hosts keep an empty menu until the next call, and a menu
        // that goes with its window at the end causes no call of its own.
        m_menuOffered = nullptr;
        m_record.menu = nullptr;
    }
}

void TTrayIcon::SetIconIndex(int index) {
    m_iconIndex = index;
    // An index outside the list keeps the image shown.
    if (m_icons && index >= 0 && index < m_icons->Count())
        m_currentIcon = m_icons->GetIcon(index);
    Update();
}

void TTrayIcon::SetDefaultIcon() {
    m_currentIcon = QApplication::windowIcon();
    Update();
}

void TTrayIcon::SetAnimate(bool value) {
    if (!m_icons && !m_loading)
        return;
    m_animate = value;
    if (m_icons)
        SetRunning(m_animationTimer, value);
}

void TTrayIcon::Loaded() {
    m_loading = false;
    if (m_icons) {
        SetRunning(m_animationTimer, m_animate);
        if (m_iconIndex >= 0 && m_iconIndex < m_icons->Count())
            m_currentIcon = m_icons->GetIcon(m_iconIndex);
    } else {
        m_animate = false;
        m_currentIcon = QApplication::windowIcon();
    }
    Update();
}

void TTrayIcon::DoOnAnimate(QObject*) {
    // A tick after the image list went away shows nothing new.
    if (!m_icons || m_icons->Count() == 0)
        return;
    const int next = m_iconIndex >= 0 && m_iconIndex < m_icons->Count() - 1 ? m_iconIndex + 1 : 0;
    SetIconIndex(next);
    Update();
}

void TTrayIcon::Update() {
    m_record.icon = m_currentIcon;
    if (m_visible)
        m_shell.NotifyIcon(NotifyCommand::Modify, m_record);
}

bool TTrayIcon::ShowBalloonTip(const QString& title, const QString& text, uint32_t timeout,
                               uint32_t iconKind) {
    m_record.timeout = timeout;
    m_record.infoFlags = iconKind;
    m_record.info = text.left(kMaxBalloonText);
    m_record.infoTitle = title.left(kMaxBalloonTitle);
    ++m_record.infoSerial;
    return m_shell.NotifyIcon(NotifyCommand::Modify, m_record);
}

void TTrayIcon::EndSession() {
    m_shell.NotifyIcon(NotifyCommand::Delete, m_record);
}

TShiftState TTrayIcon::ShiftState() const {
    TShiftState shift;
    if (m_shell.KeyHeld(ModifierKey::Shift))
        shift |= ssShift;
    if (m_shell.KeyHeld(ModifierKey::Control))
        shift |= ssCtrl;
    if (m_shell.KeyHeld(ModifierKey::Menu))
        shift |= ssAlt;
    return shift;
}

void TTrayIcon::DoMessage(TMessage& message) {
    switch (message.Msg) {
    case WindowMessage::QueryEndSession:
        message.Result = 1;
        return;
    case WindowMessage::EndSession:
        EndSession();
        return;
    case kCallbackMessage:
        break;
    default:
        return;
    }

    auto button = [this](TShiftFlag flag) { return ShiftState() | flag; };
    switch (uint32_t(message.LParam)) {
    case WindowMessage::MouseMove:
        if (OnClick) {
            const TShiftState shift = ShiftState();
            const QPoint pos = m_shell.CursorPos();
            DoMouseMove(shift, pos.x(), pos.y());
        }
        break;
    case WindowMessage::LButtonDown: {
        const TShiftState shift = button(ssLeft);
        const QPoint pos = m_shell.CursorPos();
        DoMouseDown(mbLeft, shift, pos.x(), pos.y());
        break;
    }
    case WindowMessage::LButtonUp: {
        m_releasedButton = mbLeft;
        const TShiftState shift = button(ssLeft);
        const QPoint pos = m_shell.CursorPos();
        if (OnClick)
            DoClick();
        DoMouseUp(mbLeft, shift, pos.x(), pos.y());
        Trigger(imLeftClickUp);
        break;
    }
    case WindowMessage::LButtonDblClk:
        DoDblClick();
        Trigger(imLeftDoubleClick);
        break;
    case WindowMessage::RButtonDown: {
        const TShiftState shift = button(ssRight);
        const QPoint pos = m_shell.CursorPos();
        DoMouseDown(mbRight, shift, pos.x(), pos.y());
        break;
    }
    case WindowMessage::RButtonUp: {
        m_releasedButton = mbRight;
        const TShiftState shift = button(ssRight);
        const QPoint pos = m_shell.CursorPos();
        DoMouseUp(mbRight, shift, pos.x(), pos.y());
        Trigger(imRightClickUp);
        break;
    }
    case WindowMessage::RButtonDblClk:
        DoDblClick();
        Trigger(imRightDoubleClick);
        break;
    case WindowMessage::MButtonDown: {
        const TShiftState shift = button(ssMiddle);
        const QPoint pos = m_shell.CursorPos();
        DoMouseDown(mbMiddle, shift, pos.x(), pos.y());
        break;
    }
    case WindowMessage::MButtonUp: {
        m_releasedButton = mbMiddle;
        const TShiftState shift = button(ssMiddle);
        const QPoint pos = m_shell.CursorPos();
        DoMouseUp(mbMiddle, shift, pos.x(), pos.y());
        break;
    }
    case WindowMessage::MButtonDblClk:
        DoDblClick();
        break;
    default:
        break;
    }
}

void TTrayIcon::Trigger(TTrayIconMessage message) {
    if (m_restoreOn == message)
        Restore();
    if (m_popupMenuOn == message)
        ShowMenu();
}

void TTrayIcon::DoClick() {
    Trigger(imClick);
    if (OnClick)
        OnClick(this);
}

void TTrayIcon::DoDblClick() {
    Trigger(imDoubleClick);
    if (OnDblClick)
        OnDblClick(this);
}

void TTrayIcon::DoMouseMove(TShiftState shift, int x, int y) {
    if (OnMouseMove)
        OnMouseMove(this, shift, x, y);
}

void TTrayIcon::DoMouseDown(TMouseButton button, TShiftState shift, int x, int y) {
    Trigger(imMouseDown);
    if (OnMouseDown)
        OnMouseDown(this, button, shift, x, y);
}

void TTrayIcon::DoMouseUp(TMouseButton button, TShiftState shift, int x, int y) {
    Trigger(imMouseUp);
    if (OnMouseUp)
        OnMouseUp(this, button, shift, x, y);
}

void TTrayIcon::ShowMenu() {
    if (!m_popupMenu)
        return;
    const QPoint pos = m_shell.CursorPos();
    if (QWidget* active = QApplication::activeWindow())
        active->activateWindow();
    m_menuOpenedBy = m_releasedButton;
    m_menuOpenedAt = pos;
    m_menuOpened.start();
    m_popupMenu->removeEventFilter(this);
    m_popupMenu->installEventFilter(this);
    m_popupMenu->popup(pos);
}

bool TTrayIcon::SecondPressOnTheMenu(QMouseEvent* press) {
    const std::optional<TMouseButton> button =
        press->button() == Qt::LeftButton     ? mbLeft
        : press->button() == Qt::RightButton  ? std::optional(mbRight)
        : press->button() == Qt::MiddleButton ? std::optional(mbMiddle)
                                              : std::nullopt;
    const QPoint moved = press->globalPosition().toPoint() - m_menuOpenedAt;
    const int distance = QGuiApplication::styleHints()->mouseDoubleClickDistance();
    if (!m_menuOpenedBy || button != m_menuOpenedBy || !m_menuOpened.isValid() ||
        m_menuOpened.elapsed() > QGuiApplication::styleHints()->mouseDoubleClickInterval() ||
        std::max(std::abs(moved.x()), std::abs(moved.y())) > distance ||
        m_popupMenu->rect().contains(m_popupMenu->mapFromGlobal(press->globalPosition().toPoint())))
        return false;
    m_menuOpenedBy.reset();
    m_popupMenu->close();
    static constexpr uint32_t kDoubleClick[] = {
        WindowMessage::LButtonDblClk, WindowMessage::RButtonDblClk, WindowMessage::MButtonDblClk};
    m_messageWindow->Send(kCallbackMessage, m_record.id, intptr_t(kDoubleClick[*button]));
    return true;
}

QWidget* TTrayIcon::ApplicationWindow() const {
    if (m_applicationWindowSet)
        return m_applicationWindow;
    if (auto* owner = qobject_cast<QWidget*>(parent()))
        return owner->window();
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->windowType() == Qt::Window &&
            w->objectName() != QLatin1String(XEmbedTray::kIconWidgetName))
            return w;
    return nullptr;
}

void TTrayIcon::SetApplicationWindow(QWidget* window) {
    m_applicationWindowSet = true;
    m_applicationWindow = window;
    if (m_watching)
        RegisterWatch();
}

void TTrayIcon::RegisterWatch() {
    WithdrawWatch();
    m_watching = true;
    m_watched = ApplicationWindow();
    if (m_watched)
        m_watched->installEventFilter(this);
}

void TTrayIcon::WithdrawWatch() {
    if (m_watched)
        m_watched->removeEventFilter(this);
    m_watched = nullptr;
    m_watching = false;
}

bool TTrayIcon::eventFilter(QObject* watched, QEvent* event) {
    // Qt may report the second press as a double click of its own.
    if (watched == m_popupMenu &&
        (event->type() == QEvent::MouseButtonPress ||
         event->type() == QEvent::MouseButtonDblClick) &&
        m_popupMenu->isVisible())
        return SecondPressOnTheMenu(static_cast<QMouseEvent*>(event));
    if (event->type() == QEvent::WindowStateChange && watched == m_watched) {
        const auto* change = static_cast<QWindowStateChangeEvent*>(event);
        const bool was = change->oldState() & Qt::WindowMinimized;
        const bool now = m_watched->windowState() & Qt::WindowMinimized;
        if (was != now) {
            TMessage command{WindowMessage::SysCommand,
                             now ? SysCommand::Minimize : SysCommand::Restore};
            ApplicationHookProc(command);
        }
    }
    return QObject::eventFilter(watched, event);
}

bool TTrayIcon::ApplicationHookProc(TMessage& message) {
    if (message.Msg == WindowMessage::SysCommand) {
        if (message.WParam == SysCommand::Minimize)
            Minimize();
        else if (message.WParam == SysCommand::Restore)
            Restore();
    }
    return false;
}

void TTrayIcon::Minimize() {
    // The window-state changes made here come back through the watch: they are not commands.
    if (m_minimizing)
        return;
    m_minimizing = true;
    QWidget* app = ApplicationWindow();
    if (app) {
        // The application's other windows (dialogs) are minimised, not hidden: hiding a dialog
        // would end its exec().
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (w == app || !w->isVisible() || !IsOwnedBy(w, app) ||
                (w->windowType() != Qt::Window && w->windowType() != Qt::Dialog) ||
                (w->windowState() & Qt::WindowMinimized))
                continue;
            w->setWindowState(w->windowState() | Qt::WindowMinimized);
            m_minimizedWindows.append(w);
        }
        // The window is withdrawn (hidden), not iconified first: the window manager's answer to
        // an iconify request comes late, and one that comes after a restore would take the
        // window straight back into the tray. Withdrawn, it has no taskbar entry either way.
        app->hide();
    }
    m_minimizing = false;
    if (OnMinimize)
        OnMinimize(this);
}

void TTrayIcon::Restore() {
    if (m_restoring)
        return;
    m_restoring = true;
    for (const QPointer<QWidget>& w : std::as_const(m_minimizedWindows))
        if (w)
            w->setWindowState(w->windowState() & ~Qt::WindowMinimized);
    m_minimizedWindows.clear();
    if (QWidget* app = ApplicationWindow()) {
        // A window shown while its state still says minimised stays minimised.
        app->setWindowState(app->windowState() & ~Qt::WindowMinimized);
        app->show();
        app->raise();
        app->activateWindow();
    }
    m_restoring = false;
    if (OnRestore)
        OnRestore(this);
}
