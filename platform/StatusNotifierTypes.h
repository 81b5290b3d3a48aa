#pragma once

// The D-Bus types of the StatusNotifierItem and DBusMenu interfaces, with their marshalling.
// Internal to platform/StatusNotifierItem.cpp, platform/DBusMenu.cpp and their tests.

#include <QByteArray>
#include <QDBusArgument>
#include <QDBusVariant>
#include <QIcon>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QVariantMap>

namespace sni {

// One image of an icon as the StatusNotifierItem interface carries it, (iiay): width, height and
// ARGB32 pixels, each pixel four bytes in network byte order (A, R, G, B).
struct IconPixmap {
    int width = 0;
    int height = 0;
    QByteArray bytes;

    friend bool operator==(const IconPixmap& a, const IconPixmap& b) {
        return a.width == b.width && a.height == b.height && a.bytes == b.bytes;
    }
};
using IconPixmapList = QList<IconPixmap>;

// The sizes an icon is published in; hosts pick the one nearest to their panel's size.
inline constexpr int kIconSizes[] = {16, 22, 24, 32, 48};

// The images of `icon` in kIconSizes (scaled where the icon has no image of that size); an empty
// list for a null icon.
IconPixmapList IconToPixmaps(const QIcon& icon);

// ToolTip, (sa(iiay)ss): icon name, icon images, title, description.
struct ToolTip {
    QString iconName;
    IconPixmapList iconPixmaps;
    QString title;
    QString description;
};

// One entry of a DBusMenu layout, (ia{sv}av): its id, its properties and its children, each
// child a variant holding a MenuLayoutItem again.
struct MenuLayoutItem {
    int id = 0;
    QVariantMap properties;
    QList<MenuLayoutItem> children;
};

// (ia{sv}): an item's id and properties, the answer of GetGroupProperties.
struct MenuItemProperties {
    int id = 0;
    QVariantMap properties;
};
using MenuItemPropertiesList = QList<MenuItemProperties>;

// (ias): an item's id and the names of properties it no longer has.
struct MenuItemPropertyNames {
    int id = 0;
    QStringList names;
};
using MenuItemPropertyNamesList = QList<MenuItemPropertyNames>;

// (isvu): one event of EventGroup.
struct MenuEvent {
    int id = 0;
    QString eventId;
    QDBusVariant data;
    uint timestamp = 0;
};
using MenuEventList = QList<MenuEvent>;

// Registers the types above with Qt's D-Bus type system; safe to call more than once.
void RegisterDBusTypes();

QDBusArgument& operator<<(QDBusArgument& arg, const IconPixmap& pixmap);
const QDBusArgument& operator>>(const QDBusArgument& arg, IconPixmap& pixmap);
QDBusArgument& operator<<(QDBusArgument& arg, const ToolTip& tip);
const QDBusArgument& operator>>(const QDBusArgument& arg, ToolTip& tip);
QDBusArgument& operator<<(QDBusArgument& arg, const MenuLayoutItem& item);
const QDBusArgument& operator>>(const QDBusArgument& arg, MenuLayoutItem& item);
QDBusArgument& operator<<(QDBusArgument& arg, const MenuItemProperties& item);
const QDBusArgument& operator>>(const QDBusArgument& arg, MenuItemProperties& item);
QDBusArgument& operator<<(QDBusArgument& arg, const MenuItemPropertyNames& item);
const QDBusArgument& operator>>(const QDBusArgument& arg, MenuItemPropertyNames& item);
QDBusArgument& operator<<(QDBusArgument& arg, const MenuEvent& event);
const QDBusArgument& operator>>(const QDBusArgument& arg, MenuEvent& event);

} // namespace sni

Q_DECLARE_METATYPE(sni::IconPixmap)
Q_DECLARE_METATYPE(sni::ToolTip)
Q_DECLARE_METATYPE(sni::MenuLayoutItem)
Q_DECLARE_METATYPE(sni::MenuItemProperties)
Q_DECLARE_METATYPE(sni::MenuItemPropertyNames)
Q_DECLARE_METATYPE(sni::MenuEvent)
