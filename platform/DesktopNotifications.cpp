#include "ShellNotify.h"
#include "StatusNotifierItem.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QGuiApplication>
#include <QImage>
#include <climits>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kBusService = QStringLiteral("org.freedesktop.DBus");
const QString kBusPath = QStringLiteral("/org/freedesktop/DBus");
constexpr int kBusDaemonMs = 2000;
// The size an image sent with a notification is drawn in.
constexpr int kImageSize = 48;

// The "image-data" hint, (iiibiiay): width, height, bytes per row, alpha, bits per sample,
// samples per pixel, and the pixels as R, G, B, A bytes.
struct ImageData {
    QImage image;
};

QDBusArgument& operator<<(QDBusArgument& arg, const ImageData& data) {
    const QImage& image = data.image;
    arg.beginStructure();
    arg << image.width() << image.height() << int(image.bytesPerLine()) << true << 8 << 4
        << QByteArray(reinterpret_cast<const char*>(image.constBits()), image.sizeInBytes());
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, ImageData&) {
    return arg; // only ever sent
}

QString IconName(uint32_t kind) {
    switch (kind & BalloonIcon::Mask) {
    case BalloonIcon::Info:
        return QStringLiteral("dialog-information");
    case BalloonIcon::Warning:
        return QStringLiteral("dialog-warning");
    case BalloonIcon::Error:
        return QStringLiteral("dialog-error");
    default:
        return QString();
    }
}

QString EscapeMarkup(const QString& text) {
    return text.toHtmlEscaped();
}

} // namespace

Q_DECLARE_METATYPE(ImageData)

struct DesktopNotifications::Private {
    QDBusConnection bus{QString()};
    QString appName;
    QDBusServiceWatcher* serviceWatcher = nullptr;
    bool hasOwner = false;
    bool activatable = false; // the bus starts the service on the first call
    bool bodyMarkup = false;  // the service reads the text as markup
    uint32_t lastId = 0;      // the notification the next one replaces
    int sent = 0;             // notifications sent, to tell the latest answer from older ones
    int capabilitiesAsked = 0;

    void AskCapabilities(QObject* context) {
        const int question = ++capabilitiesAsked;
        const QDBusMessage ask = QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                                QStringLiteral("GetCapabilities"));
        auto* pending = new QDBusPendingCallWatcher(bus.asyncCall(ask), context);
        QObject::connect(pending, &QDBusPendingCallWatcher::finished, context,
                         [this, question](QDBusPendingCallWatcher* call) {
                             call->deleteLater();
                             const QDBusPendingReply<QStringList> reply = *call;
                             if (question == capabilitiesAsked && reply.isValid())
                                 bodyMarkup = reply.value().contains(QLatin1String("body-markup"));
                         });
    }
};

DesktopNotifications::DesktopNotifications(QDBusConnection bus, const QString& appName,
                                           QObject* parent)
    : QObject(parent), d(std::make_unique<Private>()) {
    qDBusRegisterMetaType<ImageData>();
    d->bus = std::move(bus);
    d->appName = appName;
    d->serviceWatcher =
        new QDBusServiceWatcher(kService, d->bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(d->serviceWatcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& newOwner) {
                d->hasOwner = !newOwner.isEmpty();
                // Numbers handed out by a service that has gone mean nothing to the next one.
                d->lastId = 0;
                d->bodyMarkup = false;
                if (d->hasOwner)
                    d->AskCapabilities(this);
            });
    if (!d->bus.isConnected())
        return;
    // The bus daemon answers these itself, at once.
    QDBusMessage hasOwner = QDBusMessage::createMethodCall(kBusService, kBusPath, kBusService,
                                                           QStringLiteral("NameHasOwner"));
    hasOwner << kService;
    const QDBusMessage owner = d->bus.call(hasOwner, QDBus::Block, kBusDaemonMs);
    d->hasOwner = owner.type() == QDBusMessage::ReplyMessage && !owner.arguments().isEmpty() &&
                  owner.arguments().constFirst().toBool();
    const QDBusMessage activatable =
        d->bus.call(QDBusMessage::createMethodCall(kBusService, kBusPath, kBusService,
                                                   QStringLiteral("ListActivatableNames")),
                    QDBus::Block, kBusDaemonMs);
    d->activatable = activatable.type() == QDBusMessage::ReplyMessage &&
                     !activatable.arguments().isEmpty() &&
                     activatable.arguments().constFirst().toStringList().contains(kService);
    if (d->hasOwner)
        d->AskCapabilities(this);
}

DesktopNotifications::~DesktopNotifications() = default;

bool DesktopNotifications::Show(const QString& title, const QString& text, uint32_t timeoutMs,
                                uint32_t kind, const QIcon& icon) {
    if (!d->bus.isConnected() || !(d->hasOwner || d->activatable))
        return false;
    QVariantMap hints;
    if ((kind & BalloonIcon::Mask) == BalloonIcon::User && !icon.isNull()) {
        QImage image = icon.pixmap(QSize(kImageSize, kImageSize)).toImage();
        if (!image.isNull())
            hints.insert(
                QStringLiteral("image-data"),
                QVariant::fromValue(ImageData{image.convertToFormat(QImage::Format_RGBA8888)}));
    }
    const QString desktopEntry = QGuiApplication::desktopFileName();
    if (!desktopEntry.isEmpty())
        hints.insert(QStringLiteral("desktop-entry"), desktopEntry);
    // 0 leaves the time to the service (a notification that never expires is not a balloon).
    const int expire = timeoutMs == 0 ? -1 : int(std::min<uint32_t>(timeoutMs, INT_MAX));

    QDBusMessage notify =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    notify << d->appName << uint(d->lastId) << IconName(kind) << title
           << (d->bodyMarkup ? EscapeMarkup(text) : text) << QStringList() << hints << expire;
    const int number = ++d->sent;
    auto* pending = new QDBusPendingCallWatcher(d->bus.asyncCall(notify), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this,
            [this, number](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                const QDBusPendingReply<uint> reply = *call;
                // A service that answered with an error showed nothing to replace.
                if (!reply.isValid())
                    return;
                const uint id = reply.value();
                if (number == d->sent) {
                    d->lastId = id;
                } else if (id != d->lastId) {
                    // A later one was sent before this one was answered, so it did not replace
                    // this one: close it.
                    QDBusMessage close = QDBusMessage::createMethodCall(
                        kService, kPath, kInterface, QStringLiteral("CloseNotification"));
                    close << id;
                    d->bus.asyncCall(close);
                }
            });
    return true;
}
