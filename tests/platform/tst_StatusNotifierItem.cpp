#include "DBusMenu.h"
#include "ShellNotify.h"
#include "StatusNotifierItem.h"
#include "StatusNotifierTypes.h"
#include "support/PrivateBus.h"

#include <QApplication>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusVirtualObject>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QImage>
#include <QMenu>
#include <QMutex>
#include <QPainter>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <memory>

using sni::IconPixmapList;
using sni::MenuLayoutItem;

namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString kItemInterface = QStringLiteral("org.kde.StatusNotifierItem");
const QString kMenuInterface = QStringLiteral("com.canonical.dbusmenu");
const QString kNotifyService = QStringLiteral("org.freedesktop.Notifications");
const QString kNotifyPath = QStringLiteral("/org/freedesktop/Notifications");
constexpr int kWaitMs = 15000;

// How a double answers the calls it records.
enum class Answer { Normally, WithError };

// The watcher a panel's tray provides, as far as items and the watch use it.
class FakeWatcher : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ IsStatusNotifierHostRegistered)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ RegisteredStatusNotifierItems)
    Q_PROPERTY(int ProtocolVersion READ ProtocolVersion)
public:
    struct Registration {
        QString argument; // what the item passed
        QString sender;   // the item's unique connection name
    };

    std::atomic<bool> hostRegistered{true};
    std::atomic<Answer> answer{Answer::Normally};

    bool IsStatusNotifierHostRegistered() const { return hostRegistered; }
    QStringList RegisteredStatusNotifierItems() const {
        QMutexLocker lock(&m_mutex);
        QStringList items;
        for (const Registration& r : m_registrations)
            items << r.argument;
        return items;
    }
    int ProtocolVersion() const { return 0; }

    QList<Registration> Registrations() const {
        QMutexLocker lock(&m_mutex);
        return m_registrations;
    }

public slots:
    void RegisterStatusNotifierItem(const QString& service) {
        {
            QMutexLocker lock(&m_mutex);
            m_registrations.append({service, message().service()});
        }
        if (answer == Answer::WithError)
            sendErrorReply(QDBusError::Failed, QStringLiteral("refused"));
    }
    void RegisterStatusNotifierHost(const QString&) {}

signals:
    void StatusNotifierItemRegistered(const QString& service);
    void StatusNotifierHostRegistered();
    void StatusNotifierHostUnregistered();

private:
    mutable QMutex m_mutex;
    QList<Registration> m_registrations;
};

// An object that takes every call and never answers: a service that hangs.
class SilentObject : public QDBusVirtualObject {
public:
    std::atomic<int> calls{0};
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage&, const QDBusConnection&) override {
        ++calls;
        return true;
    }
};

// The desktop's notification service.
class FakeNotifications : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Call {
        QString appName;
        uint replacesId = 0;
        QString appIcon;
        QString summary;
        QString body;
        QStringList hintNames;
        QString imageSignature{};
        int imageWidth = 0, imageHeight = 0, imageStride = 0, imageBits = 0, imageChannels = 0;
        bool imageAlpha = false;
        QByteArray imageFirstPixel{};
        int expireTimeout = 0;
    };

    std::atomic<Answer> answer{Answer::Normally};
    std::atomic<uint> nextId{7};

    QList<Call> Calls() const {
        QMutexLocker lock(&m_mutex);
        return m_calls;
    }
    QList<uint> Closed() const {
        QMutexLocker lock(&m_mutex);
        return m_closed;
    }

public slots:
    uint Notify(const QString& appName, uint replacesId, const QString& appIcon,
                const QString& summary, const QString& body, const QStringList& actions,
                const QVariantMap& hints, int expireTimeout) {
        Q_UNUSED(actions)
        Call call{appName, replacesId, appIcon, summary, body, hints.keys()};
        call.expireTimeout = expireTimeout;
        if (hints.contains(QStringLiteral("image-data"))) {
            const auto arg = hints.value(QStringLiteral("image-data")).value<QDBusArgument>();
            call.imageSignature = arg.currentSignature();
            QByteArray pixels;
            arg.beginStructure();
            arg >> call.imageWidth >> call.imageHeight >> call.imageStride >> call.imageAlpha >>
                call.imageBits >> call.imageChannels >> pixels;
            arg.endStructure();
            call.imageFirstPixel = pixels.left(4);
        }
        {
            QMutexLocker lock(&m_mutex);
            m_calls.append(call);
        }
        if (answer == Answer::WithError) {
            sendErrorReply(QDBusError::Failed, QStringLiteral("refused"));
            return 0;
        }
        return replacesId ? replacesId : nextId++;
    }
    void CloseNotification(uint id) {
        QMutexLocker lock(&m_mutex);
        m_closed.append(id);
    }
    QStringList GetCapabilities() { return {QStringLiteral("body")}; }

private:
    mutable QMutex m_mutex;
    QList<Call> m_calls;
    QList<uint> m_closed;
};

// Deletes an object of the doubles' thread on that thread, after any call it is handling.
struct PeerDeleter {
    void operator()(QObject* object) const {
        if (!object)
            return;
        if (object->thread() == QThread::currentThread() || !object->thread()->isRunning())
            delete object;
        else
            QMetaObject::invokeMethod(
                object, [object] { delete object; }, Qt::BlockingQueuedConnection);
    }
};
template <class T> using PeerPtr = std::unique_ptr<T, PeerDeleter>;

// Registers `object`, which lives on the doubles' thread, from that thread (QtDBus gives it
// helper children there), and then its service name.
bool RegisterOnPeer(QDBusConnection bus, const QString& path, const QString& service,
                    QObject* object, QDBusConnection::RegisterOptions options) {
    bool registered = false;
    QMetaObject::invokeMethod(
        object, [&] { registered = bus.registerObject(path, object, options); },
        Qt::BlockingQueuedConnection);
    return registered && bus.registerService(service);
}

// Counts the item's change signals as a host sees them.
class SignalCounter : public QObject {
    Q_OBJECT
public:
    int newIcon = 0, newTitle = 0, newToolTip = 0, layoutUpdated = 0;
    uint lastRevision = 0;
public slots:
    void NewIcon() { ++newIcon; }
    void NewTitle() { ++newTitle; }
    void NewToolTip() { ++newToolTip; }
    void LayoutUpdated(uint revision, int) {
        ++layoutUpdated;
        lastRevision = revision;
    }
};

QIcon SolidIcon(QRgb argb, int size = 32) {
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(argb);
    return QIcon(QPixmap::fromImage(image));
}

// Waits (spinning the event loop) until `call` is answered, at most kWaitMs.
bool WaitAnswered(const QDBusPendingCall& call, int ms = kWaitMs) {
    QDeadlineTimer deadline(ms);
    while (!call.isFinished() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return call.isFinished();
}

// One more call to the notification service over `bus`: the service answers in order, so the
// answers to everything sent before have arrived and been handled when it returns.
void RoundTrip(QDBusConnection& bus) {
    bus.call(QDBusMessage::createMethodCall(kNotifyService, kNotifyPath, kNotifyService,
                                            QStringLiteral("GetCapabilities")),
             QDBus::BlockWithGui, kWaitMs);
    QCoreApplication::processEvents();
}

} // namespace

Q_DECLARE_METATYPE(StatusNotifierItem::Action)

// The StatusNotifierItem, its DBusMenu, the host watch and desktop notifications, on a bus of the
// test's own. The test plays the watcher, the host and the notification service; the doubles run
// on a thread of their own, as a separate program would, so calls to them are answered while the
// code under test waits.
class tst_StatusNotifierItem : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void watchFollowsWatcherAndHosts();
    void watchReadsHostAtStart_data();
    void watchReadsHostAtStart();

    void itemRegistersWithWatcher();
    void itemWithoutWatcherIsNotPublished();
    void itemIsRegisteredAgainWhenWatcherRestarts();
    void watcherThatRefusesOrHangsBlocksNothing();
    void propertiesReadBack_data();
    void propertiesReadBack();
    void menuPropertyWithoutMenu();
    void changesAreSignalled();
    void hostCallsComeOutAnsweredFirst_data();
    void hostCallsComeOutAnsweredFirst();
    void activationTokenArrives();

    void menuLabels_data();
    void menuLabels();
    void menuLayout();
    void menuClickTriggersActionAfterAnswer();
    void menuBadRequests();
    void menuChangesAreAnnounced();

    void notificationArrives_data();
    void notificationArrives();
    void notificationReplacesThePrevious();
    void notificationWithoutService();
    void notificationServiceAnsweringWithError();

private:
    struct Watcher {
        QDBusConnection bus{QString()};
        PeerPtr<FakeWatcher> object;
    };
    std::unique_ptr<Watcher> StartWatcher(bool hostRegistered, bool withProperties = true);
    void StopWatcher(std::unique_ptr<Watcher>& watcher);
    QDBusMessage HostCall(const QString& service, const QString& path, const QString& interface,
                          const QString& method, const QVariantList& args = {});
    QVariantMap ItemProperties(const QString& service);
    PeerPtr<FakeNotifications> StartNotifications(QDBusConnection& bus);

    std::unique_ptr<PrivateBus> m_bus;
    QThread m_peer;
    QDBusConnection m_host{QString()}; // the test's own calls, as a host makes them
    QDBusConnection m_app{QString()};  // the connection of the code under test
};

void tst_StatusNotifierItem::initTestCase() {
    sni::RegisterDBusTypes();
    qRegisterMetaType<StatusNotifierItem::Action>();
    m_peer.start();
}

void tst_StatusNotifierItem::cleanupTestCase() {
    m_peer.quit();
    m_peer.wait(kWaitMs);
}

void tst_StatusNotifierItem::init() {
    m_bus = std::make_unique<PrivateBus>();
    QVERIFY2(m_bus->IsUp(), "dbus-daemon did not start");
    m_host = m_bus->Connect(QStringLiteral("host"));
    m_app = m_bus->Connect(QStringLiteral("app"));
    QVERIFY(m_host.isConnected());
    QVERIFY(m_app.isConnected());
}

void tst_StatusNotifierItem::cleanup() {
    m_host = QDBusConnection(QString());
    m_app = QDBusConnection(QString());
    m_bus.reset();
}

std::unique_ptr<tst_StatusNotifierItem::Watcher>
tst_StatusNotifierItem::StartWatcher(bool hostRegistered, bool withProperties) {
    auto watcher = std::make_unique<Watcher>();
    watcher->bus = m_bus->Connect(QStringLiteral("watcher"));
    watcher->object.reset(new FakeWatcher);
    watcher->object->hostRegistered = hostRegistered;
    watcher->object->moveToThread(&m_peer);
    auto options = QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals;
    if (withProperties)
        options |= QDBusConnection::ExportAllProperties;
    if (!RegisterOnPeer(watcher->bus, kWatcherPath, kWatcherService, watcher->object.get(),
                        options))
        return nullptr;
    return watcher;
}

void tst_StatusNotifierItem::StopWatcher(std::unique_ptr<Watcher>& watcher) {
    // The object first: QtDBus does not cope with a registered object outliving its connection.
    watcher->object.reset();
    m_bus->Disconnect(watcher->bus);
    watcher.reset();
}

QDBusMessage tst_StatusNotifierItem::HostCall(const QString& service, const QString& path,
                                              const QString& interface, const QString& method,
                                              const QVariantList& args) {
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, method);
    call.setArguments(args);
    return m_host.call(call, QDBus::BlockWithGui, kWaitMs);
}

QVariantMap tst_StatusNotifierItem::ItemProperties(const QString& service) {
    const QDBusMessage answer = HostCall(service, QStringLiteral("/StatusNotifierItem"),
                                         QStringLiteral("org.freedesktop.DBus.Properties"),
                                         QStringLiteral("GetAll"), {kItemInterface});
    if (answer.type() != QDBusMessage::ReplyMessage || answer.arguments().isEmpty()) {
        qWarning() << "GetAll failed:" << answer.errorName() << answer.errorMessage();
        return {};
    }
    return qdbus_cast<QVariantMap>(answer.arguments().constFirst());
}

PeerPtr<FakeNotifications> tst_StatusNotifierItem::StartNotifications(QDBusConnection& bus) {
    PeerPtr<FakeNotifications> service(new FakeNotifications);
    service->moveToThread(&m_peer);
    if (!RegisterOnPeer(bus, kNotifyPath, kNotifyService, service.get(),
                        QDBusConnection::ExportAllSlots))
        return nullptr;
    return service;
}

// ---- The host watch

void tst_StatusNotifierItem::watchFollowsWatcherAndHosts() {
    StatusNotifierWatch watch(m_app);
    QSignalSpy changed(&watch, &StatusNotifierWatch::HostAvailableChanged);
    QVERIFY(!watch.HostAvailable());

    // A watcher comes, with a host already registered with it.
    auto watcher = StartWatcher(true);
    QVERIFY(watcher);
    QTRY_COMPARE_WITH_TIMEOUT(changed.size(), 1, kWaitMs);
    QCOMPARE(changed.at(0).at(0).toBool(), true);
    QVERIFY(watch.HostAvailable());

    // The host leaves.
    watcher->object->hostRegistered = false;
    watcher->bus.send(QDBusMessage::createSignal(kWatcherPath, kWatcherService,
                                                 QStringLiteral("StatusNotifierHostUnregistered")));
    QTRY_COMPARE_WITH_TIMEOUT(changed.size(), 2, kWaitMs);
    QCOMPARE(changed.at(1).at(0).toBool(), false);

    // A host registers.
    watcher->object->hostRegistered = true;
    watcher->bus.send(QDBusMessage::createSignal(kWatcherPath, kWatcherService,
                                                 QStringLiteral("StatusNotifierHostRegistered")));
    QTRY_COMPARE_WITH_TIMEOUT(changed.size(), 3, kWaitMs);
    QCOMPARE(changed.at(2).at(0).toBool(), true);

    // The watcher goes away (its panel quit).
    StopWatcher(watcher);
    QTRY_COMPARE_WITH_TIMEOUT(changed.size(), 4, kWaitMs);
    QCOMPARE(changed.at(3).at(0).toBool(), false);
    QVERIFY(!watch.HostAvailable());

    // A watcher comes back without a host: no change to report.
    watcher = StartWatcher(false);
    QTest::qWait(300);
    QCOMPARE(changed.size(), 4);
}

void tst_StatusNotifierItem::watchReadsHostAtStart_data() {
    QTest::addColumn<QString>("watcher");
    QTest::addColumn<bool>("expected");
    QTest::newRow("none") << "none" << false;
    QTest::newRow("with a host") << "host" << true;
    QTest::newRow("without a host") << "no host" << false;
    QTest::newRow("answering with an error") << "error" << false;
    QTest::newRow("never answering") << "silent" << false;
}

// A watch made while a watcher is already there learns the host's state from it; a watcher that
// answers with an error or not at all counts as no host.
void tst_StatusNotifierItem::watchReadsHostAtStart() {
    QFETCH(QString, watcher);
    QFETCH(bool, expected);
    std::unique_ptr<Watcher> fake;
    SilentObject silent;
    QDBusConnection silentBus{QString()};
    if (watcher == QLatin1String("host") || watcher == QLatin1String("no host")) {
        fake = StartWatcher(watcher == QLatin1String("host"));
        QVERIFY(fake);
    } else if (watcher == QLatin1String("error")) {
        fake = StartWatcher(true, false); // no properties: Get fails
        QVERIFY(fake);
    } else if (watcher == QLatin1String("silent")) {
        silentBus = m_bus->Connect(QStringLiteral("silent"));
        QVERIFY(silentBus.registerVirtualObject(kWatcherPath, &silent));
        QVERIFY(silentBus.registerService(kWatcherService));
    }
    StatusNotifierWatch watch(m_app);
    QTRY_COMPARE_WITH_TIMEOUT(watch.HostAvailable(), expected, kWaitMs);
    QTest::qWait(100);
    QCOMPARE(watch.HostAvailable(), expected);
    if (silentBus.isConnected()) {
        silentBus.unregisterObject(kWatcherPath);
        m_bus->Disconnect(silentBus);
    }
}

// ---- The item

void tst_StatusNotifierItem::itemRegistersWithWatcher() {
    auto watcher = StartWatcher(true);
    QVERIFY(watcher);
    StatusNotifierItem item(m_app, QStringLiteral("example.Item"));
    QVERIFY(!item.Registered());
    QVERIFY(item.Register());
    QVERIFY(item.Registered());
    QTRY_COMPARE_WITH_TIMEOUT(watcher->object->Registrations().size(), 1, kWaitMs);
    const FakeWatcher::Registration registration = watcher->object->Registrations().constFirst();
    const QRegularExpression name(QStringLiteral("^org\\.kde\\.StatusNotifierItem-%1-\\d+$")
                                      .arg(QCoreApplication::applicationPid()));
    QVERIFY2(name.match(registration.argument).hasMatch(), qPrintable(registration.argument));
    QCOMPARE(registration.sender, m_app.baseService());
    QVERIFY(m_host.interface()->isServiceRegistered(registration.argument));

    // A second Register while registered changes nothing.
    QVERIFY(item.Register());
    QTest::qWait(200);
    QCOMPARE(watcher->object->Registrations().size(), 1);

    // Withdrawn: the name leaves the bus, and the objects with it.
    item.Unregister();
    QVERIFY(!item.Registered());
    QTRY_VERIFY_WITH_TIMEOUT(!m_host.interface()->isServiceRegistered(registration.argument),
                             kWaitMs);
    QCOMPARE(HostCall(registration.sender, QStringLiteral("/StatusNotifierItem"),
                      QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("GetAll"),
                      {kItemInterface})
                 .errorName(),
             QStringLiteral("org.freedesktop.DBus.Error.UnknownObject"));

    // Registered again: a new name.
    QVERIFY(item.Register());
    QTRY_COMPARE_WITH_TIMEOUT(watcher->object->Registrations().size(), 2, kWaitMs);
    QVERIFY(watcher->object->Registrations().at(1).argument != registration.argument);
}

void tst_StatusNotifierItem::itemWithoutWatcherIsNotPublished() {
    StatusNotifierItem item(m_app, QStringLiteral("example.Item"));
    QVERIFY(!item.Register());
    QVERIFY(!item.Registered());
    const QStringList names = m_host.interface()->registeredServiceNames().value();
    for (const QString& name : names)
        QVERIFY2(!name.startsWith(QLatin1String("org.kde.StatusNotifierItem")), qPrintable(name));
}

void tst_StatusNotifierItem::itemIsRegisteredAgainWhenWatcherRestarts() {
    auto watcher = StartWatcher(true);
    QVERIFY(watcher);
    StatusNotifierItem item(m_app, QStringLiteral("example.Item"));
    QVERIFY(item.Register());
    QTRY_COMPARE_WITH_TIMEOUT(watcher->object->Registrations().size(), 1, kWaitMs);
    const QString service = watcher->object->Registrations().constFirst().argument;

    for (int restart = 0; restart < 2; ++restart) {
        StopWatcher(watcher);
        watcher = StartWatcher(true);
        QVERIFY(watcher);
        QTRY_COMPARE_WITH_TIMEOUT(watcher->object->Registrations().size(), 1, kWaitMs);
        QCOMPARE(watcher->object->Registrations().constFirst().argument, service);
    }

    // Withdrawn items are not registered with the next watcher.
    item.Unregister();
    StopWatcher(watcher);
    watcher = StartWatcher(true);
    QVERIFY(watcher);
    QTest::qWait(300);
    QCOMPARE(watcher->object->Registrations().size(), 0);
}

void tst_StatusNotifierItem::watcherThatRefusesOrHangsBlocksNothing() {
    {
        auto watcher = StartWatcher(true);
        QVERIFY(watcher);
        watcher->object->answer = Answer::WithError;
        StatusNotifierItem item(m_app, QStringLiteral("example.Item"));
        QVERIFY(item.Register());
        QTRY_COMPARE_WITH_TIMEOUT(watcher->object->Registrations().size(), 1, kWaitMs);
        QTest::qWait(100);
        QVERIFY(item.Registered());
        // Still readable by a host that finds it another way.
        QCOMPARE(ItemProperties(watcher->object->Registrations().constFirst().argument)
                     .value(QStringLiteral("Id"))
                     .toString(),
                 QStringLiteral("example.Item"));
        StopWatcher(watcher);
    }
    {
        // A watcher that takes the call and never answers: Register returns at once (a call
        // waited for would hold it for the bus's 25-second time-out).
        SilentObject silent;
        QDBusConnection silentBus = m_bus->Connect(QStringLiteral("silent"));
        QVERIFY(silentBus.registerVirtualObject(kWatcherPath, &silent));
        QVERIFY(silentBus.registerService(kWatcherService));
        StatusNotifierItem item(m_app, QStringLiteral("example.Item"));
        QElapsedTimer elapsed;
        elapsed.start();
        QVERIFY(item.Register());
        QVERIFY2(elapsed.elapsed() < 5000, "Register waited for the watcher");
        QTRY_COMPARE_WITH_TIMEOUT(silent.calls.load(), 1, kWaitMs);
        // The watcher vanishes with the call unanswered.
        silentBus.unregisterObject(kWatcherPath);
        m_bus->Disconnect(silentBus);
        QTest::qWait(200);
        QVERIFY(item.Registered());
    }
}

void tst_StatusNotifierItem::propertiesReadBack_data() {
    QTest::addColumn<bool>("byUniqueName");
    // Hosts address the item by the name it registered, or by the connection that registered
    // it (watchers that were given an object path pass on the sender).
    QTest::newRow("by its registered name") << false;
    QTest::newRow("by its connection's unique name") << true;
}

void tst_StatusNotifierItem::propertiesReadBack() {
    QFETCH(bool, byUniqueName);
    auto watcher = StartWatcher(true);
    QVERIFY(watcher);
    QMenu menu;
    menu.addAction(QStringLiteral("Exit"));
    StatusNotifierItem item(m_app, QStringLiteral("example.Item"));
    item.SetIcon(SolidIcon(qRgba(0x11, 0x22, 0x33, 0xff)));
    item.SetToolTip(QStringLiteral("Quantoria"));
    item.SetMenu(&menu);
    QVERIFY(item.Register());
    QTRY_COMPARE_WITH_TIMEOUT(watcher->object->Registrations().size(), 1, kWaitMs);
    const FakeWatcher::Registration registration = watcher->object->Registrations().constFirst();

    const QVariantMap p =
        ItemProperties(byUniqueName ? registration.sender : registration.argument);
    QCOMPARE(p.value(QStringLiteral("Category")).toString(), QStringLiteral("ApplicationStatus"));
    QCOMPARE(p.value(QStringLiteral("Id")).toString(), QStringLiteral("example.Item"));
    QCOMPARE(p.value(QStringLiteral("Title")).toString(), QStringLiteral("Quantoria"));
    QCOMPARE(p.value(QStringLiteral("Status")).toString(), QStringLiteral("Active"));
    QCOMPARE(p.value(QStringLiteral("WindowId")).metaType(), QMetaType::fromType<int>());
    QCOMPARE(p.value(QStringLiteral("WindowId")).toInt(), 0);
    QCOMPARE(p.value(QStringLiteral("IconName")).toString(), QString());
    QCOMPARE(p.value(QStringLiteral("ItemIsMenu")).metaType(), QMetaType::fromType<bool>());
    QCOMPARE(p.value(QStringLiteral("ItemIsMenu")).toBool(), false);
    QCOMPARE(p.value(QStringLiteral("Menu")).value<QDBusObjectPath>().path(),
             QStringLiteral("/MenuBar"));
    for (const char* empty : {"OverlayIconName", "AttentionIconName", "AttentionMovieName"})
        QVERIFY2(p.contains(QLatin1String(empty)), empty);

    // IconPixmap: a(iiay), one ARGB32 image per size, each pixel A, R, G, B.
    const auto pixmapArg = p.value(QStringLiteral("IconPixmap")).value<QDBusArgument>();
    QCOMPARE(pixmapArg.currentSignature(), QStringLiteral("a(iiay)"));
    QList<int> sizes;
    pixmapArg.beginArray();
    while (!pixmapArg.atEnd()) {
        int width = 0, height = 0;
        QByteArray bytes;
        pixmapArg.beginStructure();
        pixmapArg >> width >> height >> bytes;
        pixmapArg.endStructure();
        QCOMPARE(width, height);
        QCOMPARE(bytes.size(), width * height * 4);
        QCOMPARE(bytes.left(4), QByteArray("\xff\x11\x22\x33", 4));
        QCOMPARE(bytes.right(4), QByteArray("\xff\x11\x22\x33", 4));
        sizes << width;
    }
    pixmapArg.endArray();
    QCOMPARE(sizes, (QList<int>{16, 22, 24, 32, 48}));

    for (const char* empty : {"OverlayIconPixmap", "AttentionIconPixmap"}) {
        const auto arg = p.value(QLatin1String(empty)).value<QDBusArgument>();
        QCOMPARE(arg.currentSignature(), QStringLiteral("a(iiay)"));
        IconPixmapList list;
        arg >> list;
        QVERIFY2(list.isEmpty(), empty);
    }

    // ToolTip: (sa(iiay)ss), the title the text.
    const auto tipArg = p.value(QStringLiteral("ToolTip")).value<QDBusArgument>();
    QCOMPARE(tipArg.currentSignature(), QStringLiteral("(sa(iiay)ss)"));
    sni::ToolTip tip;
    tipArg >> tip;
    QCOMPARE(tip.title, QStringLiteral("Quantoria"));
    QCOMPARE(tip.description, QString());
}

namespace {
QDBusMessage CallMenu(QDBusConnection& host, const QString& service, const QString& method,
                      const QVariantList& args);
MenuLayoutItem LayoutOf(const QDBusMessage& answer);
} // namespace

void tst_StatusNotifierItem::menuPropertyWithoutMenu() {
    auto watcher = StartWatcher(true);
    QVERIFY(watcher);
    StatusNotifierItem item(m_app, QStringLiteral("example.Item"));
    QVERIFY(item.Register());
    QTRY_COMPARE_WITH_TIMEOUT(watcher->object->Registrations().size(), 1, kWaitMs);
    const QString service = watcher->object->Registrations().constFirst().argument;
    // The menu object is there from the start, empty: hosts read its path once.
    QCOMPARE(ItemProperties(service).value(QStringLiteral("Menu")).value<QDBusObjectPath>().path(),
             QStringLiteral("/MenuBar"));
    QCOMPARE(
        LayoutOf(CallMenu(m_host, service, QStringLiteral("GetLayout"), {0, -1, QStringList()}))
            .children.size(),
        0);

    // A menu set while registered shows in the same object; the item is not registered anew
    // (hosts would list it twice).
    QMenu menu;
    menu.addAction(QStringLiteral("Exit"));
    item.SetMenu(&menu);
    QVERIFY(item.Registered());
    const MenuLayoutItem root =
        LayoutOf(CallMenu(m_host, service, QStringLiteral("GetLayout"), {0, -1, QStringList()}));
    QCOMPARE(root.children.size(), 1);
    QCOMPARE(root.children.at(0).properties.value(QStringLiteral("label")).toString(),
             QStringLiteral("Exit"));
    item.SetMenu(nullptr);
    QTest::qWait(100);
    QCOMPARE(watcher->object->Registrations().size(), 1);
}

void tst_StatusNotifierItem::changesAreSignalled() {
    auto watcher = StartWatcher(true);
    QVERIFY(watcher);
    StatusNotifierItem item(m_app, QStringLiteral("example.Item"));
    QVERIFY(item.Register());
    QTRY_COMPARE_WITH_TIMEOUT(watcher->object->Registrations().size(), 1, kWaitMs);
    const QString service = watcher->object->Registrations().constFirst().argument;
    SignalCounter counter;
    for (const char* name : {"NewIcon", "NewTitle", "NewToolTip"})
        QVERIFY(m_host.connect(service, QStringLiteral("/StatusNotifierItem"), kItemInterface,
                               QLatin1String(name), &counter, QByteArray("1") + name + "()"));

    item.SetToolTip(QStringLiteral("Quantoria"));
    QTRY_COMPARE_WITH_TIMEOUT(counter.newToolTip, 1, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(counter.newTitle, 1, kWaitMs);
    item.SetToolTip(QStringLiteral("Quantoria")); // unchanged: nothing
    item.SetIcon(SolidIcon(qRgba(1, 2, 3, 255)));
    QTRY_COMPARE_WITH_TIMEOUT(counter.newIcon, 1, kWaitMs);
    item.SetIcon(SolidIcon(qRgba(1, 2, 3, 255))); // the same picture: nothing
    item.SetIcon(SolidIcon(qRgba(1, 2, 4, 255)));
    QTRY_COMPARE_WITH_TIMEOUT(counter.newIcon, 2, kWaitMs);
    QTest::qWait(100);
    QCOMPARE(counter.newIcon, 2);
    QCOMPARE(counter.newToolTip, 1);
    QCOMPARE(counter.newTitle, 1);
    QCOMPARE(ItemProperties(service).value(QStringLiteral("Title")).toString(),
             QStringLiteral("Quantoria"));
}

void tst_StatusNotifierItem::hostCallsComeOutAnsweredFirst_data() {
    QTest::addColumn<QString>("method");
    QTest::addColumn<StatusNotifierItem::Action>("action");
    QTest::addColumn<QPoint>("pos");
    QTest::newRow("Activate") << "Activate" << StatusNotifierItem::Action::Activate
                              << QPoint(120, 30);
    QTest::newRow("SecondaryActivate")
        << "SecondaryActivate" << StatusNotifierItem::Action::SecondaryActivate << QPoint(5, 7);
    QTest::newRow("ContextMenu") << "ContextMenu" << StatusNotifierItem::Action::ContextMenu
                                 << QPoint(1900, 1060);
    QTest::newRow("ContextMenu at 0,0 (Wayland)")
        << "ContextMenu" << StatusNotifierItem::Action::ContextMenu << QPoint(0, 0);
}

// The application's handler may run a nested event loop (a menu, a modal box): by then the
// host's call has been answered.
void tst_StatusNotifierItem::hostCallsComeOutAnsweredFirst() {
    QFETCH(QString, method);
    QFETCH(StatusNotifierItem::Action, action);
    QFETCH(QPoint, pos);
    auto watcher = StartWatcher(true);
    QVERIFY(watcher);
    StatusNotifierItem item(m_app, QStringLiteral("example.Item"));
    QVERIFY(item.Register());
    QTRY_COMPARE_WITH_TIMEOUT(watcher->object->Registrations().size(), 1, kWaitMs);
    const QString service = watcher->object->Registrations().constFirst().argument;

    QDBusMessage call = QDBusMessage::createMethodCall(
        service, QStringLiteral("/StatusNotifierItem"), kItemInterface, method);
    call << pos.x() << pos.y();
    QDBusPendingCall pending = m_host.asyncCall(call);
    QList<std::pair<StatusNotifierItem::Action, QPoint>> seen;
    bool answeredBeforeHandler = false;
    connect(&item, &StatusNotifierItem::Activated, this,
            [&](StatusNotifierItem::Action a, QPoint p) {
                seen.append({a, p});
                answeredBeforeHandler = WaitAnswered(pending, 3000);
            });
    QTRY_COMPARE_WITH_TIMEOUT(seen.size(), 1, kWaitMs);
    QCOMPARE(seen.constFirst().first, action);
    QCOMPARE(seen.constFirst().second, pos);
    QVERIFY(answeredBeforeHandler);
    QVERIFY(!pending.isError());
}

void tst_StatusNotifierItem::activationTokenArrives() {
    auto watcher = StartWatcher(true);
    QVERIFY(watcher);
    StatusNotifierItem item(m_app, QStringLiteral("example.Item"));
    QSignalSpy tokens(&item, &StatusNotifierItem::ActivationTokenProvided);
    QSignalSpy activated(&item, &StatusNotifierItem::Activated);
    QVERIFY(item.Register());
    QTRY_COMPARE_WITH_TIMEOUT(watcher->object->Registrations().size(), 1, kWaitMs);
    const QString service = watcher->object->Registrations().constFirst().argument;
    // Hosts hand the token over just before the activation itself.
    QDBusMessage token =
        QDBusMessage::createMethodCall(service, QStringLiteral("/StatusNotifierItem"),
                                       kItemInterface, QStringLiteral("ProvideXdgActivationToken"));
    token << QStringLiteral("token-1234");
    m_host.asyncCall(token);
    QDBusMessage activate = QDBusMessage::createMethodCall(
        service, QStringLiteral("/StatusNotifierItem"), kItemInterface, QStringLiteral("Activate"));
    activate << 0 << 0;
    m_host.asyncCall(activate);
    QTRY_COMPARE_WITH_TIMEOUT(activated.size(), 1, kWaitMs);
    QCOMPARE(tokens.size(), 1);
    QCOMPARE(tokens.at(0).at(0).toString(), QStringLiteral("token-1234"));
}

// ---- The menu

void tst_StatusNotifierItem::menuLabels_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("label");
    QTest::newRow("plain") << "Exit"
                           << "Exit";
    QTest::newRow("mnemonic") << "E&xit"
                              << "E_xit";
    QTest::newRow("literal ampersand") << "Save && Exit"
                                       << "Save & Exit";
    QTest::newRow("underscore") << "save_as"
                                << "save__as";
    QTest::newRow("mnemonic and underscore") << "&my_file"
                                             << "_my__file";
    QTest::newRow("second mnemonic dropped") << "&a&b"
                                             << "_ab";
    QTest::newRow("trailing ampersand") << "Exit&"
                                        << "Exit";
    QTest::newRow("empty") << ""
                           << "";
}

void tst_StatusNotifierItem::menuLabels() {
    QFETCH(QString, text);
    QFETCH(QString, label);
    QCOMPARE(sni::DBusMenu::Label(text), label);
}

namespace {

QDBusMessage CallMenu(QDBusConnection& host, const QString& service, const QString& method,
                      const QVariantList& args) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(service, QStringLiteral("/MenuBar"), kMenuInterface, method);
    call.setArguments(args);
    return host.call(call, QDBus::BlockWithGui, kWaitMs);
}

MenuLayoutItem LayoutOf(const QDBusMessage& answer) {
    MenuLayoutItem layout;
    if (answer.arguments().size() == 2)
        answer.arguments().at(1).value<QDBusArgument>() >> layout;
    return layout;
}

} // namespace

void tst_StatusNotifierItem::menuLayout() {
    auto watcher = StartWatcher(true);
    QVERIFY(watcher);
    QMenu menu;
    QAction* exit = menu.addAction(QStringLiteral("E&xit"));
    menu.addSeparator();
    QAction* disabled = menu.addAction(QStringLiteral("Disabled"));
    disabled->setEnabled(false);
    QAction* hidden = menu.addAction(QStringLiteral("Hidden"));
    hidden->setVisible(false);
    QMenu* more = menu.addMenu(QStringLiteral("More"));
    more->addAction(QStringLiteral("Inner"));
    StatusNotifierItem item(m_app, QStringLiteral("example.Item"));
    item.SetMenu(&menu);
    QVERIFY(item.Register());
    QTRY_COMPARE_WITH_TIMEOUT(watcher->object->Registrations().size(), 1, kWaitMs);
    const QString service = watcher->object->Registrations().constFirst().argument;

    // The interface's own properties.
    const QDBusMessage props = HostCall(service, QStringLiteral("/MenuBar"),
                                        QStringLiteral("org.freedesktop.DBus.Properties"),
                                        QStringLiteral("GetAll"), {kMenuInterface});
    const QVariantMap p = qdbus_cast<QVariantMap>(props.arguments().value(0));
    QCOMPARE(p.value(QStringLiteral("Version")).metaType(), QMetaType::fromType<uint>());
    QCOMPARE(p.value(QStringLiteral("Version")).toUInt(), 3u);
    QCOMPARE(p.value(QStringLiteral("TextDirection")).toString(), QStringLiteral("ltr"));
    QCOMPARE(p.value(QStringLiteral("Status")).toString(), QStringLiteral("normal"));

    QCOMPARE(CallMenu(m_host, service, QStringLiteral("AboutToShow"), {0}).type(),
             QDBusMessage::ReplyMessage);
    const QDBusMessage answer =
        CallMenu(m_host, service, QStringLiteral("GetLayout"), {0, -1, QStringList()});
    QCOMPARE(answer.type(), QDBusMessage::ReplyMessage);
    QCOMPARE(answer.signature(), QStringLiteral("u(ia{sv}av)"));
    const MenuLayoutItem root = LayoutOf(answer);
    QCOMPARE(root.id, 0);
    QCOMPARE(root.properties.value(QStringLiteral("children-display")).toString(),
             QStringLiteral("submenu"));
    QCOMPARE(root.children.size(), 5);
    const MenuLayoutItem& exitItem = root.children.at(0);
    QVERIFY(exitItem.id > 0);
    QCOMPARE(exitItem.properties.value(QStringLiteral("label")).toString(),
             QStringLiteral("E_xit"));
    QCOMPARE(exitItem.properties.value(QStringLiteral("enabled")).toBool(), true);
    QCOMPARE(exitItem.properties.value(QStringLiteral("visible")).toBool(), true);
    QCOMPARE(root.children.at(1).properties.value(QStringLiteral("type")).toString(),
             QStringLiteral("separator"));
    QCOMPARE(root.children.at(2).properties.value(QStringLiteral("enabled")).toBool(), false);
    QCOMPARE(root.children.at(3).properties.value(QStringLiteral("visible")).toBool(), false);
    const MenuLayoutItem& moreItem = root.children.at(4);
    QCOMPARE(moreItem.properties.value(QStringLiteral("children-display")).toString(),
             QStringLiteral("submenu"));
    QCOMPARE(moreItem.children.size(), 1);
    QCOMPARE(moreItem.children.at(0).properties.value(QStringLiteral("label")).toString(),
             QStringLiteral("Inner"));
    QSet<int> ids;
    for (const MenuLayoutItem& child : root.children)
        ids.insert(child.id);
    QCOMPARE(ids.size(), 5);

    // One level only; only the named properties.
    const MenuLayoutItem shallow = LayoutOf(CallMenu(m_host, service, QStringLiteral("GetLayout"),
                                                     {0, 1, QStringList{QStringLiteral("label")}}));
    QCOMPARE(shallow.children.size(), 5);
    QCOMPARE(shallow.children.at(4).children.size(), 0);
    QCOMPARE(shallow.children.at(0).properties.keys(), QStringList{QStringLiteral("label")});

    // Below the submenu.
    const MenuLayoutItem sub = LayoutOf(
        CallMenu(m_host, service, QStringLiteral("GetLayout"), {moreItem.id, -1, QStringList()}));
    QCOMPARE(sub.id, moreItem.id);
    QCOMPARE(sub.children.size(), 1);

    // Single properties, and groups of them.
    const QDBusMessage label = CallMenu(m_host, service, QStringLiteral("GetProperty"),
                                        {exitItem.id, QStringLiteral("label")});
    QCOMPARE(label.arguments().value(0).value<QDBusVariant>().variant().toString(),
             QStringLiteral("E_xit"));
    const QDBusMessage group = CallMenu(
        m_host, service, QStringLiteral("GetGroupProperties"),
        {QVariant::fromValue(QList<int>{exitItem.id, 9999}), QStringList{QStringLiteral("label")}});
    QCOMPARE(group.signature(), QStringLiteral("a(ia{sv})"));
    sni::MenuItemPropertiesList groupList;
    group.arguments().value(0).value<QDBusArgument>() >> groupList;
    QCOMPARE(groupList.size(), 1);
    QCOMPARE(groupList.at(0).id, exitItem.id);
    QCOMPARE(groupList.at(0).properties.value(QStringLiteral("label")).toString(),
             QStringLiteral("E_xit"));
    Q_UNUSED(exit)
}

void tst_StatusNotifierItem::menuClickTriggersActionAfterAnswer() {
    auto watcher = StartWatcher(true);
    QVERIFY(watcher);
    QMenu menu;
    QAction* exit = menu.addAction(QStringLiteral("Exit"));
    QAction* disabled = menu.addAction(QStringLiteral("Disabled"));
    disabled->setEnabled(false);
    auto item = std::make_unique<StatusNotifierItem>(m_app, QStringLiteral("example.Item"));
    item->SetMenu(&menu);
    QVERIFY(item->Register());
    QTRY_COMPARE_WITH_TIMEOUT(watcher->object->Registrations().size(), 1, kWaitMs);
    const QString service = watcher->object->Registrations().constFirst().argument;
    const MenuLayoutItem root =
        LayoutOf(CallMenu(m_host, service, QStringLiteral("GetLayout"), {0, -1, QStringList()}));
    QCOMPARE(root.children.size(), 2);
    const int exitId = root.children.at(0).id;

    // "Exit" ends the program: by the time its handler runs, the host has its answer; the
    // handler may take the item away with it.
    QDBusMessage click = QDBusMessage::createMethodCall(service, QStringLiteral("/MenuBar"),
                                                        kMenuInterface, QStringLiteral("Event"));
    click << exitId << QStringLiteral("clicked") << QVariant::fromValue(QDBusVariant(QString()))
          << 0u;
    QDBusPendingCall pending = m_host.asyncCall(click);
    int triggered = 0;
    bool answeredBeforeHandler = false;
    connect(exit, &QAction::triggered, this, [&] {
        ++triggered;
        answeredBeforeHandler = WaitAnswered(pending, 3000);
        item.reset();
    });
    QTRY_COMPARE_WITH_TIMEOUT(triggered, 1, kWaitMs);
    QVERIFY(answeredBeforeHandler);
    QVERIFY2(!pending.isError(), qPrintable(pending.error().message()));

    // A disabled item does nothing.
    int disabledTriggered = 0;
    connect(disabled, &QAction::triggered, this, [&] { ++disabledTriggered; });
    StatusNotifierItem again(m_app, QStringLiteral("example.Item"));
    again.SetMenu(&menu);
    QVERIFY(again.Register());
    QTRY_COMPARE_WITH_TIMEOUT(watcher->object->Registrations().size(), 2, kWaitMs);
    const QString service2 = watcher->object->Registrations().at(1).argument;
    const MenuLayoutItem root2 =
        LayoutOf(CallMenu(m_host, service2, QStringLiteral("GetLayout"), {0, -1, QStringList()}));
    QCOMPARE(root2.children.size(), 2);
    const int exitId2 = root2.children.at(0).id;
    const int disabledId = root2.children.at(1).id;
    QCOMPARE(CallMenu(m_host, service2, QStringLiteral("Event"),
                      {disabledId, QStringLiteral("clicked"),
                       QVariant::fromValue(QDBusVariant(QString())), 0u})
                 .type(),
             QDBusMessage::ReplyMessage);
    QTest::qWait(100);
    QCOMPARE(disabledTriggered, 0);

    // EventGroup: the same, several at once.
    sni::MenuEventList events{{exitId2, QStringLiteral("clicked"), QDBusVariant(0), 0}};
    const QDBusMessage answer =
        CallMenu(m_host, service2, QStringLiteral("EventGroup"), {QVariant::fromValue(events)});
    QVERIFY2(answer.type() == QDBusMessage::ReplyMessage, qPrintable(answer.errorMessage()));
    QTRY_COMPARE_WITH_TIMEOUT(triggered, 2, kWaitMs);
}

void tst_StatusNotifierItem::menuBadRequests() {
    auto watcher = StartWatcher(true);
    QVERIFY(watcher);
    QMenu menu;
    menu.addAction(QStringLiteral("Exit"));
    auto item = std::make_unique<StatusNotifierItem>(m_app, QStringLiteral("example.Item"));
    item->SetMenu(&menu);
    QVERIFY(item->Register());
    QTRY_COMPARE_WITH_TIMEOUT(watcher->object->Registrations().size(), 1, kWaitMs);
    const QString service = watcher->object->Registrations().constFirst().argument;
    const QVariant noData = QVariant::fromValue(QDBusVariant(0));

    QCOMPARE(CallMenu(m_host, service, QStringLiteral("Event"),
                      {4242, QStringLiteral("clicked"), noData, 0u})
                 .type(),
             QDBusMessage::ErrorMessage);
    QCOMPARE(
        CallMenu(m_host, service, QStringLiteral("GetLayout"), {4242, -1, QStringList()}).type(),
        QDBusMessage::ErrorMessage);
    QCOMPARE(
        CallMenu(m_host, service, QStringLiteral("GetProperty"), {4242, QStringLiteral("label")})
            .type(),
        QDBusMessage::ErrorMessage);
    QCOMPARE(CallMenu(m_host, service, QStringLiteral("GetProperty"), {0, QStringLiteral("nope")})
                 .type(),
             QDBusMessage::ErrorMessage);
    QCOMPARE(CallMenu(m_host, service, QStringLiteral("Event"),
                      {0, QStringLiteral("opened"), noData, 0u})
                 .type(),
             QDBusMessage::ReplyMessage);
    const QDBusMessage group = CallMenu(m_host, service, QStringLiteral("AboutToShowGroup"),
                                        {QVariant::fromValue(QList<int>{0, 4242})});
    QCOMPARE(group.type(), QDBusMessage::ReplyMessage);
    QCOMPARE(qdbus_cast<QList<int>>(group.arguments().value(1)), QList<int>{4242});
    // Wrong argument types are refused by the bus layer, not crashed on.
    QCOMPARE(CallMenu(m_host, service, QStringLiteral("GetLayout"), {QStringLiteral("x")}).type(),
             QDBusMessage::ErrorMessage);

    // The menu goes away while published: an empty menu, no crash.
    QMenu* gone = new QMenu;
    gone->addAction(QStringLiteral("Exit"));
    item->SetMenu(gone);
    delete gone;
    QCOMPARE(
        LayoutOf(CallMenu(m_host, service, QStringLiteral("GetLayout"), {0, -1, QStringList()}))
            .children.size(),
        0);

    // A host that goes away before its answer comes: the item carries on.
    {
        QDBusConnection leaving = m_bus->Connect(QStringLiteral("leaving-host"));
        QDBusMessage call = QDBusMessage::createMethodCall(
            service, QStringLiteral("/MenuBar"), kMenuInterface, QStringLiteral("GetLayout"));
        call << 0 << -1 << QStringList();
        leaving.asyncCall(call);
        m_bus->Disconnect(leaving);
        QTest::qWait(100);
    }
    QCOMPARE(CallMenu(m_host, service, QStringLiteral("AboutToShow"), {0}).type(),
             QDBusMessage::ReplyMessage);

    // The item goes away while a host's call is on its way.
    QDBusMessage late = QDBusMessage::createMethodCall(service, QStringLiteral("/MenuBar"),
                                                       kMenuInterface, QStringLiteral("GetLayout"));
    late << 0 << -1 << QStringList();
    QDBusPendingCall pending = m_host.asyncCall(late);
    item.reset();
    QVERIFY(WaitAnswered(pending));
}

void tst_StatusNotifierItem::menuChangesAreAnnounced() {
    auto watcher = StartWatcher(true);
    QVERIFY(watcher);
    QMenu menu;
    menu.addAction(QStringLiteral("Exit"));
    StatusNotifierItem item(m_app, QStringLiteral("example.Item"));
    item.SetMenu(&menu);
    QVERIFY(item.Register());
    QTRY_COMPARE_WITH_TIMEOUT(watcher->object->Registrations().size(), 1, kWaitMs);
    const QString service = watcher->object->Registrations().constFirst().argument;
    SignalCounter counter;
    QVERIFY(m_host.connect(service, QStringLiteral("/MenuBar"), kMenuInterface,
                           QStringLiteral("LayoutUpdated"), &counter,
                           SLOT(LayoutUpdated(uint, int))));
    const uint before =
        CallMenu(m_host, service, QStringLiteral("GetLayout"), {0, -1, QStringList()})
            .arguments()
            .value(0)
            .toUInt();
    menu.addAction(QStringLiteral("New"));
    menu.actions().constFirst()->setText(QStringLiteral("Quit"));
    QTRY_VERIFY_WITH_TIMEOUT(counter.layoutUpdated >= 1, kWaitMs);
    QVERIFY(counter.lastRevision > before);
    const QDBusMessage after =
        CallMenu(m_host, service, QStringLiteral("GetLayout"), {0, -1, QStringList()});
    QCOMPARE(after.arguments().value(0).toUInt(), counter.lastRevision);
    const MenuLayoutItem root = LayoutOf(after);
    QCOMPARE(root.children.size(), 2);
    QCOMPARE(root.children.at(0).properties.value(QStringLiteral("label")).toString(),
             QStringLiteral("Quit"));
}

// ---- Desktop notifications

void tst_StatusNotifierItem::notificationArrives_data() {
    QTest::addColumn<uint>("kind");
    QTest::addColumn<QString>("iconName");
    QTest::addColumn<bool>("image");
    QTest::newRow("information") << uint(BalloonIcon::Info) << "dialog-information" << false;
    QTest::newRow("warning") << uint(BalloonIcon::Warning) << "dialog-warning" << false;
    QTest::newRow("error") << uint(BalloonIcon::Error) << "dialog-error" << false;
    QTest::newRow("none") << uint(BalloonIcon::None) << "" << false;
    QTest::newRow("the record's own icon") << uint(BalloonIcon::User) << "" << true;
}

void tst_StatusNotifierItem::notificationArrives() {
    QFETCH(uint, kind);
    QFETCH(QString, iconName);
    QFETCH(bool, image);
    QDBusConnection serviceBus = m_bus->Connect(QStringLiteral("notifications"));
    auto service = StartNotifications(serviceBus);
    QVERIFY(service);
    DesktopNotifications notifications(m_app, QStringLiteral("Quantoria"));
    const QString text = QStringLiteral("You can double click this icon to restore calculator at "
                                        "any time.");
    // A large icon is sent at most 48 pixels wide.
    QVERIFY(notifications.Show(QStringLiteral("Quantoria"), text, 5000, kind,
                               SolidIcon(qRgba(0x10, 0x20, 0x30, 0xff), 64)));
    QTRY_COMPARE_WITH_TIMEOUT(service->Calls().size(), 1, kWaitMs);
    const FakeNotifications::Call call = service->Calls().constFirst();
    QCOMPARE(call.appName, QStringLiteral("Quantoria"));
    QCOMPARE(call.replacesId, 0u);
    QCOMPARE(call.summary, QStringLiteral("Quantoria"));
    QCOMPARE(call.body, text);
    QCOMPARE(call.expireTimeout, 5000);
    QCOMPARE(call.appIcon, iconName);
    QCOMPARE(call.hintNames.contains(QStringLiteral("image-data")), image);
    if (image) {
        QCOMPARE(call.imageSignature, QStringLiteral("(iiibiiay)"));
        QCOMPARE(call.imageWidth, 48);
        QCOMPARE(call.imageHeight, 48);
        QCOMPARE(call.imageStride, 48 * 4);
        QVERIFY(call.imageAlpha);
        QCOMPARE(call.imageBits, 8);
        QCOMPARE(call.imageChannels, 4);
        QCOMPARE(call.imageFirstPixel, QByteArray("\x10\x20\x30\xff", 4)); // R, G, B, A
    }
}

void tst_StatusNotifierItem::notificationReplacesThePrevious() {
    QDBusConnection serviceBus = m_bus->Connect(QStringLiteral("notifications"));
    auto service = StartNotifications(serviceBus);
    QVERIFY(service);
    service->nextId = 7;
    DesktopNotifications notifications(m_app, QStringLiteral("Quantoria"));
    QVERIFY(notifications.Show(QStringLiteral("T"), QStringLiteral("one"), 5000, BalloonIcon::Info,
                               {}));
    QTRY_COMPARE_WITH_TIMEOUT(service->Calls().size(), 1, kWaitMs);
    RoundTrip(m_app); // the answer (7) has arrived
    QVERIFY(notifications.Show(QStringLiteral("T"), QStringLiteral("two"), 5000, BalloonIcon::Info,
                               {}));
    QTRY_COMPARE_WITH_TIMEOUT(service->Calls().size(), 2, kWaitMs);
    QCOMPARE(service->Calls().at(1).replacesId, 7u);

    // Two sent before either is answered: the earlier one, which nothing replaced, is closed.
    service->nextId = 20;
    DesktopNotifications fresh(m_app, QStringLiteral("Quantoria"));
    QVERIFY(fresh.Show(QStringLiteral("T"), QStringLiteral("a"), 5000, BalloonIcon::Info, {}));
    QVERIFY(fresh.Show(QStringLiteral("T"), QStringLiteral("b"), 5000, BalloonIcon::Info, {}));
    QTRY_COMPARE_WITH_TIMEOUT(service->Calls().size(), 4, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(service->Closed(), QList<uint>{20}, kWaitMs);
    QVERIFY(fresh.Show(QStringLiteral("T"), QStringLiteral("c"), 5000, BalloonIcon::Info, {}));
    QTRY_COMPARE_WITH_TIMEOUT(service->Calls().size(), 5, kWaitMs);
    QCOMPARE(service->Calls().at(4).replacesId, 21u);
}

void tst_StatusNotifierItem::notificationWithoutService() {
    DesktopNotifications notifications(m_app, QStringLiteral("Quantoria"));
    QVERIFY(
        !notifications.Show(QStringLiteral("T"), QStringLiteral("x"), 5000, BalloonIcon::Info, {}));
    // The service starts later: from then on notifications go out.
    QDBusConnection serviceBus = m_bus->Connect(QStringLiteral("notifications"));
    auto service = StartNotifications(serviceBus);
    QVERIFY(service);
    QTRY_VERIFY_WITH_TIMEOUT(
        notifications.Show(QStringLiteral("T"), QStringLiteral("x"), 5000, BalloonIcon::Info, {}),
        kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(!service->Calls().isEmpty(), kWaitMs);
    // And it goes away again.
    service.reset();
    m_bus->Disconnect(serviceBus);
    QTRY_VERIFY_WITH_TIMEOUT(
        !notifications.Show(QStringLiteral("T"), QStringLiteral("x"), 5000, BalloonIcon::Info, {}),
        kWaitMs);
}

void tst_StatusNotifierItem::notificationServiceAnsweringWithError() {
    QDBusConnection serviceBus = m_bus->Connect(QStringLiteral("notifications"));
    auto service = StartNotifications(serviceBus);
    QVERIFY(service);
    service->answer = Answer::WithError;
    DesktopNotifications notifications(m_app, QStringLiteral("Quantoria"));
    QVERIFY(
        notifications.Show(QStringLiteral("T"), QStringLiteral("x"), 5000, BalloonIcon::Info, {}));
    QVERIFY(
        notifications.Show(QStringLiteral("T"), QStringLiteral("y"), 5000, BalloonIcon::Info, {}));
    QTRY_COMPARE_WITH_TIMEOUT(service->Calls().size(), 2, kWaitMs);
    RoundTrip(m_app); // the errors have arrived
    service->answer = Answer::Normally;
    QVERIFY(
        notifications.Show(QStringLiteral("T"), QStringLiteral("z"), 5000, BalloonIcon::Info, {}));
    QTRY_COMPARE_WITH_TIMEOUT(service->Calls().size(), 3, kWaitMs);
    QCOMPARE(service->Calls().at(2).replacesId, 0u);
    QCOMPARE(service->Closed(), QList<uint>());
}

QTEST_MAIN(tst_StatusNotifierItem)
#include "tst_StatusNotifierItem.moc"
