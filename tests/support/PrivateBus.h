#pragma once

#include <QDBusConnection>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>

// A D-Bus daemon of the test's own, in a temporary folder: no service is started on demand, and
// no one else is on it. Stopped by its process id when the object goes.
class PrivateBus {
public:
    PrivateBus() {
        const QString config = m_dir.filePath(QStringLiteral("bus.conf"));
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly))
            return;
        file.write(QStringLiteral(R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)")
                       .arg(m_dir.filePath(QStringLiteral("socket")))
                       .toUtf8());
        file.close();
        m_daemon.setProgram(QStringLiteral("dbus-daemon"));
        m_daemon.setArguments({QStringLiteral("--config-file=") + config,
                               QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        m_daemon.setWorkingDirectory(m_dir.path());
        m_daemon.start();
        if (!m_daemon.waitForStarted(10000))
            return;
        // The daemon prints its address once it listens.
        QByteArray out;
        for (int i = 0; i < 100 && !out.contains('\n'); ++i) {
            m_daemon.waitForReadyRead(100);
            out += m_daemon.readAllStandardOutput();
        }
        m_address = QString::fromUtf8(out).trimmed();
    }

    ~PrivateBus() {
        for (const QString& name : std::as_const(m_connections))
            QDBusConnection::disconnectFromBus(name);
        if (m_daemon.state() != QProcess::NotRunning) {
            m_daemon.terminate();
            if (!m_daemon.waitForFinished(10000)) {
                m_daemon.kill();
                m_daemon.waitForFinished(10000);
            }
        }
    }

    bool IsUp() const { return !m_address.isEmpty(); }
    QString Address() const { return m_address; }

    // A connection of its own to the bus, by a name not used before.
    QDBusConnection Connect(const QString& purpose) {
        static std::atomic<int> count{0};
        const QString name = QStringLiteral("%1-%2").arg(purpose).arg(++count);
        m_connections.append(name);
        return QDBusConnection::connectToBus(m_address, name);
    }

    // Ends a connection made by Connect: everything it owned leaves the bus. `bus` is let go of
    // (the connection closes when the last copy goes).
    void Disconnect(QDBusConnection& bus) {
        const QString name = bus.name();
        bus = QDBusConnection(QString());
        m_connections.removeAll(name);
        QDBusConnection::disconnectFromBus(name);
    }

private:
    QTemporaryDir m_dir;
    QProcess m_daemon;
    QString m_address;
    QStringList m_connections;
};
