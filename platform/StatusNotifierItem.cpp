#include "StatusNotifierItem.h"

#include "DBusMenu.h"
#include "StatusNotifierTypes.h"

#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QMenu>
#include <atomic>

namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString kWatcherInterface = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kItemInterface = QStringLiteral("org.kde.StatusNotifierItem");
const QString kItemPath = QStringLiteral("/StatusNotifierItem");
const QString kMenuPath = QStringLiteral("/MenuBar");
const QString kPropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

// How long the watch's constructor waits for the watcher's first answer.
constexpr int kFirstAnswerMs = 500;
// How long a question to the bus daemon itself may take.
constexpr int kBusDaemonMs = 2000;

// Whether `service` has an owner on `bus`, asked of the bus daemon (which answers at once).
bool HasOwner(const QDBusConnection& bus, const QString& service) {
    if (!bus.isConnected())
        return false;
    QDBusMessage ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    ask << service;
    const QDBusMessage answer = bus.call(ask, QDBus::Block, kBusDaemonMs);
    return answer.type() == QDBusMessage::ReplyMessage && !answer.arguments().isEmpty() &&
           answer.arguments().constFirst().toBool();
}

QDBusMessage AskHostRegistered() {
    QDBusMessage ask = QDBusMessage::createMethodCall(kWatcherService, kWatcherPath,
                                                      kPropertiesInterface, QStringLiteral("Get"));
    ask << kWatcherInterface << QStringLiteral("IsStatusNotifierHostRegistered");
    // A watcher that the bus could start on demand is not one that is there.
    ask.setAutoStartService(false);
    return ask;
}

// The answer of a Get: a variant holding the value.
bool ReadBool(const QDBusMessage& answer, bool& value) {
    if (answer.type() != QDBusMessage::ReplyMessage || answer.arguments().isEmpty())
        return false;
    const QVariant v = answer.arguments().constFirst().value<QDBusVariant>().variant();
    if (v.metaType() != QMetaType::fromType<bool>())
        return false;
    value = v.toBool();
    return true;
}

std::atomic<int> g_itemCount{0};

} // namespace

namespace sni {

// The watch's side on the bus: the slots the watcher's signals are connected to.
class WatchState : public QObject {
    Q_OBJECT
public:
    WatchState(QDBusConnection bus, StatusNotifierWatch* owner)
        : QObject(owner), m_bus(std::move(bus)), m_owner(owner),
          m_serviceWatcher(kWatcherService, m_bus, QDBusServiceWatcher::WatchForOwnerChange) {
        connect(&m_serviceWatcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
                &WatchState::OwnerChanged);
        m_bus.connect(kWatcherService, kWatcherPath, kWatcherInterface,
                      QStringLiteral("StatusNotifierHostRegistered"), this, SLOT(HostRegistered()));
        m_bus.connect(kWatcherService, kWatcherPath, kWatcherInterface,
                      QStringLiteral("StatusNotifierHostUnregistered"), this,
                      SLOT(HostUnregistered()));
    }

    bool Available() const { return m_available; }

    // One question, waited for a short while; a watcher that takes longer is asked again
    // without waiting.
    void AskNow() {
        if (!m_bus.isConnected())
            return;
        const QDBusMessage answer = m_bus.call(AskHostRegistered(), QDBus::Block, kFirstAnswerMs);
        bool registered = false;
        if (ReadBool(answer, registered)) {
            Set(registered);
        } else if (answer.type() == QDBusMessage::ErrorMessage &&
                   answer.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply")) {
            Ask();
        }
    }

    // Asks the watcher whether a host is registered; the answer arrives later. An answer to an
    // older question (the watcher has changed since) is ignored.
    void Ask() {
        const int question = ++m_question;
        auto* pending = new QDBusPendingCallWatcher(m_bus.asyncCall(AskHostRegistered()), this);
        connect(pending, &QDBusPendingCallWatcher::finished, this,
                [this, question](QDBusPendingCallWatcher* call) {
                    call->deleteLater();
                    if (question != m_question)
                        return;
                    bool registered = false;
                    if (ReadBool(call->reply(), registered))
                        Set(registered);
                    else
                        Set(false);
                });
    }

public slots:
    void HostRegistered() {
        ++m_question;
        Set(true);
    }
    // Another host may still be registered: ask.
    void HostUnregistered() { Ask(); }

private:
    void OwnerChanged(const QString&, const QString&, const QString& newOwner) {
        if (newOwner.isEmpty()) {
            ++m_question;
            Set(false);
        } else {
            Ask();
        }
    }

    void Set(bool available) {
        if (available == m_available)
            return;
        m_available = available;
        emit m_owner->HostAvailableChanged(available);
    }

    QDBusConnection m_bus;
    StatusNotifierWatch* m_owner;
    QDBusServiceWatcher m_serviceWatcher;
    bool m_available = false;
    int m_question = 0;
};

// The org.kde.StatusNotifierItem interface of an item.
class ItemAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ Category)
    Q_PROPERTY(QString Id READ Id)
    Q_PROPERTY(QString Title READ Title)
    Q_PROPERTY(QString Status READ Status)
    Q_PROPERTY(int WindowId READ WindowId)
    Q_PROPERTY(QString IconThemePath READ Empty)
    Q_PROPERTY(QString IconName READ Empty)
    Q_PROPERTY(QList<sni::IconPixmap> IconPixmap READ IconPixmap)
    Q_PROPERTY(QString OverlayIconName READ Empty)
    Q_PROPERTY(QList<sni::IconPixmap> OverlayIconPixmap READ NoPixmaps)
    Q_PROPERTY(QString AttentionIconName READ Empty)
    Q_PROPERTY(QList<sni::IconPixmap> AttentionIconPixmap READ NoPixmaps)
    Q_PROPERTY(QString AttentionMovieName READ Empty)
    Q_PROPERTY(sni::ToolTip ToolTip READ ToolTip)
    Q_PROPERTY(bool ItemIsMenu READ ItemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ Menu)
public:
    struct State {
        QString id;
        QString title;
        IconPixmapList pixmaps;
        bool hasMenu = false;
    };

    ItemAdaptor(QObject* object, const State* state, StatusNotifierItem* item)
        : QDBusAbstractAdaptor(object), m_state(state), m_item(item) {}

    QString Category() const { return QStringLiteral("ApplicationStatus"); }
    QString Id() const { return m_state->id; }
    QString Title() const { return m_state->title; }
    QString Status() const { return QStringLiteral("Active"); }
    int WindowId() const { return 0; }
    QString Empty() const { return {}; }
    IconPixmapList IconPixmap() const { return m_state->pixmaps; }
    IconPixmapList NoPixmaps() const { return {}; }
    sni::ToolTip ToolTip() const {
        sni::ToolTip tip;
        tip.title = m_state->title;
        return tip;
    }
    bool ItemIsMenu() const { return false; }
    // Without a menu: the root path, which names no DBusMenu, rather than a made-up path that
    // hosts would try to read.
    QDBusObjectPath Menu() const {
        // Always the menu object: hosts read the path once, and an item without a menu has an
        // empty one there.
        return QDBusObjectPath(kMenuPath);
    }

public slots:
    void Activate(int x, int y) { Report(StatusNotifierItem::Action::Activate, x, y); }
    void SecondaryActivate(int x, int y) {
        Report(StatusNotifierItem::Action::SecondaryActivate, x, y);
    }
    void ContextMenu(int x, int y) { Report(StatusNotifierItem::Action::ContextMenu, x, y); }
    void Scroll(int delta, const QString& orientation) {
        Q_UNUSED(delta)
        Q_UNUSED(orientation)
    }
    void ProvideXdgActivationToken(const QString& token) {
        QPointer<StatusNotifierItem> item = m_item;
        QMetaObject::invokeMethod(
            m_item,
            [item, token] {
                if (item)
                    emit item->ActivationTokenProvided(token);
            },
            Qt::QueuedConnection);
    }

signals:
    void NewTitle();
    void NewIcon();
    void NewAttentionIcon();
    void NewOverlayIcon();
    void NewToolTip();
    void NewStatus(const QString& status);

private:
    // The host's call is answered before the application acts on it: the action may open a
    // menu or a modal box, or end the program.
    void Report(StatusNotifierItem::Action action, int x, int y) {
        QPointer<StatusNotifierItem> item = m_item;
        QMetaObject::invokeMethod(
            m_item,
            [item, action, x, y] {
                if (item)
                    emit item->Activated(action, QPoint(x, y));
            },
            Qt::QueuedConnection);
    }

    const State* m_state;
    StatusNotifierItem* m_item;
};

// Keeps the item registered with the watcher: registers it when asked and again whenever the
// watcher's name gets a new owner (a watcher that restarted has forgotten its items).
class ItemRegistration : public QObject {
    Q_OBJECT
public:
    ItemRegistration(QDBusConnection bus, QObject* parent)
        : QObject(parent), m_bus(std::move(bus)),
          m_serviceWatcher(kWatcherService, m_bus, QDBusServiceWatcher::WatchForOwnerChange) {
        connect(&m_serviceWatcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
                [this](const QString&, const QString&, const QString& newOwner) {
                    if (!newOwner.isEmpty() && !m_service.isEmpty())
                        Send();
                });
    }

    // Registers `service` (empty: nothing is registered any more).
    void Start(const QString& service) {
        m_service = service;
        if (!service.isEmpty())
            Send();
    }

private:
    // Never waited for: a watcher that hangs must not hang the program.
    void Send() {
        QDBusMessage call =
            QDBusMessage::createMethodCall(kWatcherService, kWatcherPath, kWatcherInterface,
                                           QStringLiteral("RegisterStatusNotifierItem"));
        call << m_service;
        call.setAutoStartService(false);
        auto* pending = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
        // A watcher that refuses the item, or goes away before answering, changes nothing here:
        // the item stays published, and the next watcher gets it.
        connect(pending, &QDBusPendingCallWatcher::finished, pending,
                &QDBusPendingCallWatcher::deleteLater);
    }

    QDBusConnection m_bus;
    QDBusServiceWatcher m_serviceWatcher;
    QString m_service;
};

} // namespace sni

// StatusNotifierWatch

struct StatusNotifierWatch::Private {
    sni::WatchState* state = nullptr;
};

StatusNotifierWatch::StatusNotifierWatch(QDBusConnection bus, QObject* parent)
    : QObject(parent), d(std::make_unique<Private>()) {
    d->state = new sni::WatchState(std::move(bus), this);
    d->state->AskNow();
}

StatusNotifierWatch::~StatusNotifierWatch() = default;

bool StatusNotifierWatch::HostAvailable() const {
    return d->state->Available();
}

// StatusNotifierItem

struct StatusNotifierItem::Private {
    explicit Private(QDBusConnection connection) : bus(std::move(connection)) {}

    QDBusConnection bus;
    sni::ItemAdaptor::State state;
    QObject itemObject;
    sni::DBusContextObject menuObject;
    sni::ItemAdaptor* itemAdaptor = nullptr;
    sni::DBusMenu* menu = nullptr;
    sni::ItemRegistration* registration = nullptr;
    QString service; // our bus name while registered
};

StatusNotifierItem::StatusNotifierItem(QDBusConnection bus, const QString& id, QObject* parent)
    : QObject(parent), d(std::make_unique<Private>(std::move(bus))) {
    sni::RegisterDBusTypes();
    d->state.id = id;
    d->itemAdaptor = new sni::ItemAdaptor(&d->itemObject, &d->state, this);
    d->menu = new sni::DBusMenu(this);
    new sni::DBusMenuAdaptor(&d->menuObject, d->menu);
    d->registration = new sni::ItemRegistration(d->bus, this);
}

StatusNotifierItem::~StatusNotifierItem() {
    Unregister();
}

bool StatusNotifierItem::Register() {
    if (Registered())
        return true;
    if (!HasOwner(d->bus, kWatcherService))
        return false;
    const QString service = QStringLiteral("org.kde.StatusNotifierItem-%1-%2")
                                .arg(QCoreApplication::applicationPid())
                                .arg(++g_itemCount);
    constexpr auto options = QDBusConnection::ExportAdaptors;
    // The paths are taken when another item is published on the same connection.
    if (!d->bus.registerObject(kItemPath, &d->itemObject, options))
        return false;
    if (!d->bus.registerObject(kMenuPath, &d->menuObject, options)) {
        d->bus.unregisterObject(kItemPath);
        return false;
    }
    if (!d->bus.registerService(service)) {
        d->bus.unregisterObject(kMenuPath);
        d->bus.unregisterObject(kItemPath);
        return false;
    }
    d->service = service;
    d->registration->Start(service);
    return true;
}

void StatusNotifierItem::Unregister() {
    if (!Registered())
        return;
    d->registration->Start(QString());
    // Giving up the name tells the watcher and the hosts that the item is gone.
    d->bus.unregisterService(d->service);
    d->bus.unregisterObject(kMenuPath);
    d->bus.unregisterObject(kItemPath);
    d->service.clear();
}

bool StatusNotifierItem::Registered() const {
    return !d->service.isEmpty();
}

void StatusNotifierItem::SetIcon(const QIcon& icon) {
    // The same picture again (a record applied anew) is not a new icon to the hosts.
    sni::IconPixmapList pixmaps = sni::IconToPixmaps(icon);
    if (pixmaps == d->state.pixmaps)
        return;
    d->state.pixmaps = std::move(pixmaps);
    if (Registered())
        emit d->itemAdaptor->NewIcon();
}

void StatusNotifierItem::SetToolTip(const QString& text) {
    if (text == d->state.title)
        return;
    d->state.title = text;
    if (Registered()) {
        emit d->itemAdaptor->NewTitle();
        emit d->itemAdaptor->NewToolTip();
    }
}

void StatusNotifierItem::SetMenu(QMenu* menu) {
    // The menu object stays where it is: hosts that read it once see the new items at their
    // next request (the exporter announces the new layout).
    d->menu->SetMenu(menu);
    d->state.hasMenu = menu != nullptr;
}

#include "StatusNotifierItem.moc"
