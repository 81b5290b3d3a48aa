#pragma once

// A QMenu published on the bus as a DBusMenu (com.canonical.dbusmenu, version 3). Internal to
// StatusNotifierItem; hosts that show an item's menu themselves read it from here.

#include "StatusNotifierTypes.h"

#include <QDBusAbstractAdaptor>
#include <QDBusContext>
#include <QHash>
#include <QMenu>
#include <QObject>
#include <QPointer>

class QAction;

namespace sni {

// The menu's items are read from its QActions at each request: an action's text becomes the
// label (with "_" as the mnemonic marker), its enabled and visible states the item's, a separator
// an item of type "separator", an action with a menu of its own a submenu. Each action keeps one
// id for as long as it lives; the menu itself is id 0. Changes to the menu's actions raise the
// revision and are announced with LayoutUpdated.
class DBusMenu : public QObject {
    Q_OBJECT
public:
    explicit DBusMenu(QObject* parent = nullptr);
    ~DBusMenu() override;

    void SetMenu(QMenu* menu);
    QMenu* Menu() const { return m_menu; }
    uint Revision() const { return m_revision; }

    // The layout below `parentId` to `depth` levels (-1: all), each item with the properties
    // named in `names` (empty: all). False for an id that is not in the menu.
    bool Layout(int parentId, int depth, const QStringList& names, MenuLayoutItem& layout);
    // The properties of one item; false for an unknown id.
    bool Properties(int id, const QStringList& names, QVariantMap& properties);
    // A host's event on an item: "clicked" triggers the item's action on the next turn of the
    // event loop, once the bus call has been answered. False for an unknown id.
    bool HandleEvent(int id, const QString& eventId);

    // A Qt menu text as a DBusMenu label: "&" marks the mnemonic, "&&" is a literal "&"; in the
    // label "_" marks the mnemonic and "__" is a literal "_".
    static QString Label(const QString& text);

signals:
    void LayoutUpdated(uint revision, int parent);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    int IdOf(QAction* action);
    QAction* ActionOf(int id) const;
    QMenu* MenuOf(int id) const;
    void Watch(QMenu* menu);
    void Fill(MenuLayoutItem& item, QMenu* menu, int depth, const QStringList& names);
    void Changed();

    QPointer<QMenu> m_menu;
    QHash<QAction*, int> m_ids;
    QHash<int, QPointer<QAction>> m_actions;
    QList<QPointer<QMenu>> m_watched;
    int m_nextId = 1;
    uint m_revision = 1;
    bool m_updatePending = false;
};

// An object to export adaptors at whose calls can be answered with errors: QtDBus gives the
// adaptors' calls their context through the object they belong to.
class DBusContextObject : public QObject, public QDBusContext {
    Q_OBJECT
public:
    using QObject::QObject;
};

// The com.canonical.dbusmenu interface of a DBusMenu, exported at the object that owns it.
class DBusMenuAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ Version)
    Q_PROPERTY(QString TextDirection READ TextDirection)
    Q_PROPERTY(QString Status READ Status)
    Q_PROPERTY(QStringList IconThemePath READ IconThemePath)
public:
    DBusMenuAdaptor(DBusContextObject* object, DBusMenu* menu);

    uint Version() const { return 3; }
    QString TextDirection() const;
    QString Status() const { return QStringLiteral("normal"); }
    QStringList IconThemePath() const { return {}; }

public slots:
    uint GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                   sni::MenuLayoutItem& layout);
    QList<sni::MenuItemProperties> GetGroupProperties(const QList<int>& ids,
                                                      const QStringList& propertyNames);
    QDBusVariant GetProperty(int id, const QString& name);
    void Event(int id, const QString& eventId, const QDBusVariant& data, uint timestamp);
    QList<int> EventGroup(const QList<sni::MenuEvent>& events);
    bool AboutToShow(int id);
    QList<int> AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors);

signals:
    void ItemsPropertiesUpdated(const QList<sni::MenuItemProperties>& updatedProps,
                                const QList<sni::MenuItemPropertyNames>& removedProps);
    void LayoutUpdated(uint revision, int parent);
    void ItemActivationRequested(int id, uint timestamp);

private:
    void UnknownId(int id);
    void Refuse(const QString& message);

    DBusContextObject* m_context;
    DBusMenu* m_menu;
};

} // namespace sni
