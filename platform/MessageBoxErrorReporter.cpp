#include "MessageBoxErrorReporter.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QMessageBox>
#include <QVariantMap>

#include <cstdio>

namespace {

// How long a notification service may take to take the message.
constexpr int kNotifyTimeoutMs = 300;

void Notify(const QString& text) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    call << QCoreApplication::applicationName() << uint(0) << QStringLiteral("dialog-error")
         << QCoreApplication::applicationName() << text.toHtmlEscaped() << QStringList()
         << QVariantMap{{QStringLiteral("urgency"), QVariant::fromValue(uchar(2))}} << int(-1);
    // No activation: a service that is not running is not started for this.
    call.setAutoStartService(false);
    bus.call(call, QDBus::Block, kNotifyTimeoutMs);
}

} // namespace

void MessageBoxErrorReporter::ShowException(const QString& message) {
    if (m_ending) {
        const QByteArray line =
            (QCoreApplication::applicationName() + QStringLiteral(": ") + ErrorBoxText(message))
                .toLocal8Bit();
        std::fprintf(stderr, "%s\n", line.constData());
        std::fflush(stderr);
        Notify(ErrorBoxText(message));
        return;
    }
    QMessageBox box(QMessageBox::Critical, QCoreApplication::applicationName(),
                    ErrorBoxText(message), QMessageBox::Ok, QApplication::activeWindow());
    box.setAccessibleName(QCoreApplication::applicationName());
    box.exec();
}
