#include "DBusMenu.h"

#include <QAction>
#include <QActionEvent>
#include <QActionGroup>
#include <QBuffer>
#include <QGuiApplication>
#include <QMenu>
#include <QPixmap>
#include <QTimer>

namespace sni {

namespace {

const QString kChildrenDisplay = QStringLiteral("children-display");

// Keeps the entries of `properties` named in `names`; all of them when `names` is empty.
void Select(QVariantMap& properties, const QStringList& names) {
    if (names.isEmpty())
        return;
    for (auto it = properties.begin(); it != properties.end();) {
        if (names.contains(it.key()))
            ++it;
        else
            it = properties.erase(it);
    }
}

} // namespace

DBusMenu::DBusMenu(QObject* parent) : QObject(parent) {
    RegisterDBusTypes();
}

DBusMenu::~DBusMenu() = default;

void DBusMenu::SetMenu(QMenu* menu) {
    if (menu == m_menu)
        return;
    for (const QPointer<QMenu>& watched : std::as_const(m_watched)) {
        if (watched)
            watched->removeEventFilter(this);
    }
    m_watched.clear();
    m_menu = menu;
    if (menu)
        Watch(menu);
    Changed();
}

QString DBusMenu::Label(const QString& text) {
    QString label;
    label.reserve(text.size() + 2);
    bool mnemonicSet = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == u'&') {
            if (i + 1 < text.size() && text.at(i + 1) == u'&') {
                label += u'&';
                ++i;
            } else if (i + 1 < text.size() && !mnemonicSet) {
                label += u'_';
                mnemonicSet = true;
            }
            // A second mnemonic marker, or one at the very end, is dropped.
        } else if (c == u'_') {
            label += QLatin1String("__");
        } else {
            label += c;
        }
    }
    return label;
}

int DBusMenu::IdOf(QAction* action) {
    const auto found = m_ids.constFind(action);
    if (found != m_ids.constEnd())
        return *found;
    const int id = m_nextId++;
    m_ids.insert(action, id);
    m_actions.insert(id, action);
    connect(action, &QObject::destroyed, this, [this, action, id] {
        m_ids.remove(action);
        m_actions.remove(id);
    });
    return id;
}

QAction* DBusMenu::ActionOf(int id) const {
    return m_actions.value(id);
}

QMenu* DBusMenu::MenuOf(int id) const {
    if (id == 0)
        return m_menu;
    QAction* action = ActionOf(id);
    return action ? action->menu() : nullptr;
}

void DBusMenu::Watch(QMenu* menu) {
    for (const QPointer<QMenu>& watched : std::as_const(m_watched)) {
        if (watched == menu)
            return;
    }
    m_watched.append(menu);
    menu->installEventFilter(this);
}

bool DBusMenu::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::ActionAdded:
    case QEvent::ActionRemoved:
    case QEvent::ActionChanged:
        Changed();
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

// Several changes in a row (a menu being filled) are announced once.
void DBusMenu::Changed() {
    ++m_revision;
    if (m_updatePending)
        return;
    m_updatePending = true;
    QTimer::singleShot(0, this, [this] {
        m_updatePending = false;
        emit LayoutUpdated(m_revision, 0);
    });
}

bool DBusMenu::Properties(int id, const QStringList& names, QVariantMap& properties) {
    properties.clear();
    if (id == 0) {
        properties.insert(kChildrenDisplay, QStringLiteral("submenu"));
        Select(properties, names);
        return true;
    }
    QAction* action = ActionOf(id);
    if (!action)
        return false;
    if (action->isSeparator()) {
        properties.insert(QStringLiteral("type"), QStringLiteral("separator"));
    } else {
        properties.insert(QStringLiteral("label"), Label(action->text()));
        properties.insert(QStringLiteral("enabled"), action->isEnabled());
        if (action->menu())
            properties.insert(kChildrenDisplay, QStringLiteral("submenu"));
        if (action->isCheckable()) {
            properties.insert(QStringLiteral("toggle-type"),
                              action->actionGroup() && action->actionGroup()->isExclusive()
                                  ? QStringLiteral("radio")
                                  : QStringLiteral("checkmark"));
            properties.insert(QStringLiteral("toggle-state"), action->isChecked() ? 1 : 0);
        }
        const QIcon icon = action->icon();
        if (!icon.isNull() && action->isIconVisibleInMenu()) {
            if (!icon.name().isEmpty()) {
                properties.insert(QStringLiteral("icon-name"), icon.name());
            } else {
                QBuffer png;
                png.open(QIODevice::WriteOnly);
                icon.pixmap(16).save(&png, "PNG");
                properties.insert(QStringLiteral("icon-data"), png.data());
            }
        }
    }
    properties.insert(QStringLiteral("visible"), action->isVisible());
    Select(properties, names);
    return true;
}

void DBusMenu::Fill(MenuLayoutItem& item, QMenu* menu, int depth, const QStringList& names) {
    if (!menu || depth == 0)
        return;
    Watch(menu);
    const auto actions = menu->actions();
    for (QAction* action : actions) {
        MenuLayoutItem child;
        child.id = IdOf(action);
        Properties(child.id, names, child.properties);
        Fill(child, action->menu(), depth < 0 ? depth : depth - 1, names);
        item.children.append(child);
    }
}

bool DBusMenu::Layout(int parentId, int depth, const QStringList& names, MenuLayoutItem& layout) {
    layout = MenuLayoutItem();
    layout.id = parentId;
    if (!Properties(parentId, names, layout.properties))
        return false;
    Fill(layout, MenuOf(parentId), depth, names);
    return true;
}

bool DBusMenu::HandleEvent(int id, const QString& eventId) {
    QAction* action = id == 0 ? nullptr : ActionOf(id);
    if (id != 0 && !action)
        return false;
    if (action && eventId == QLatin1String("clicked") && !action->menu()) {
        // The host's call is answered first; the action's handler may open a modal box or end
        // the program.
        QTimer::singleShot(0, action, [action] {
            if (action->isEnabled() && action->isVisible())
                action->trigger();
        });
    }
    return true;
}

DBusMenuAdaptor::DBusMenuAdaptor(DBusContextObject* object, DBusMenu* menu)
    : QDBusAbstractAdaptor(object), m_context(object), m_menu(menu) {
    connect(menu, &DBusMenu::LayoutUpdated, this, &DBusMenuAdaptor::LayoutUpdated);
}

QString DBusMenuAdaptor::TextDirection() const {
    return QGuiApplication::layoutDirection() == Qt::RightToLeft ? QStringLiteral("rtl")
                                                                 : QStringLiteral("ltr");
}

void DBusMenuAdaptor::Refuse(const QString& message) {
    if (m_context->calledFromDBus())
        m_context->sendErrorReply(QDBusError::InvalidArgs, message);
}

void DBusMenuAdaptor::UnknownId(int id) {
    Refuse(QStringLiteral("No menu item %1").arg(id));
}

uint DBusMenuAdaptor::GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                                MenuLayoutItem& layout) {
    if (!m_menu->Layout(parentId, recursionDepth, propertyNames, layout))
        UnknownId(parentId);
    return m_menu->Revision();
}

MenuItemPropertiesList DBusMenuAdaptor::GetGroupProperties(const QList<int>& ids,
                                                           const QStringList& propertyNames) {
    MenuItemPropertiesList list;
    for (const int id : ids) {
        MenuItemProperties item;
        item.id = id;
        if (m_menu->Properties(id, propertyNames, item.properties))
            list.append(item);
    }
    return list;
}

QDBusVariant DBusMenuAdaptor::GetProperty(int id, const QString& name) {
    QVariantMap properties;
    if (!m_menu->Properties(id, {name}, properties)) {
        UnknownId(id);
        return QDBusVariant(QVariant(0));
    }
    if (!properties.contains(name)) {
        Refuse(QStringLiteral("No property %1").arg(name));
        return QDBusVariant(QVariant(0));
    }
    return QDBusVariant(properties.value(name));
}

void DBusMenuAdaptor::Event(int id, const QString& eventId, const QDBusVariant& data,
                            uint timestamp) {
    Q_UNUSED(data)
    Q_UNUSED(timestamp)
    if (!m_menu->HandleEvent(id, eventId))
        UnknownId(id);
}

QList<int> DBusMenuAdaptor::EventGroup(const MenuEventList& events) {
    QList<int> idErrors;
    for (const MenuEvent& event : events) {
        if (!m_menu->HandleEvent(event.id, event.eventId))
            idErrors.append(event.id);
    }
    if (!events.isEmpty() && idErrors.size() == events.size())
        Refuse(QStringLiteral("No such menu items"));
    return idErrors;
}

bool DBusMenuAdaptor::AboutToShow(int id) {
    QVariantMap properties;
    if (!m_menu->Properties(id, {}, properties))
        UnknownId(id);
    return false;
}

QList<int> DBusMenuAdaptor::AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors) {
    QVariantMap properties;
    for (const int id : ids) {
        if (!m_menu->Properties(id, {}, properties))
            idErrors.append(id);
    }
    return {};
}

} // namespace sni
