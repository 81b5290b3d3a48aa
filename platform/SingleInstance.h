#pragma once

#include <QObject>
#include <QString>
#include <chrono>

class QLocalServer;
class QLocalSocket;

// Where the lock of a session lives, read from the environment of the process.
struct InstanceEnvironment {
    QString runtimeDir;                            // $XDG_RUNTIME_DIR
    QString waylandDisplay;                        // $WAYLAND_DISPLAY
    QString display;                               // $DISPLAY
    QString fallbackBase = QStringLiteral("/tmp"); // holds "quantoria-<uid>" when runtimeDir fails

    static InstanceEnvironment FromSystem();
};

// The graphical session a process belongs to, as part of a file name: $WAYLAND_DISPLAY when set,
// else $DISPLAY without the screen number (":7.0" and ":7" are one session). Letters, digits, "."
// and "-" are kept, every other byte is written "_xx" (hexadecimal), so different sessions never
// share a name. Empty without a display.
QString SessionKey(const QString& waylandDisplay, const QString& display);

// $WAYLAND_DISPLAY as the name of a socket in the runtime folder: an absolute path to a socket
// directly in `runtimeDir` becomes its file name, so that "wayland-1" and
// "/run/user/1000/wayland-1" are one session. Anything else is returned unchanged.
QString WaylandDisplayName(const QString& waylandDisplay, const QString& runtimeDir);

// One running copy per user and graphical session.
//
// TryAcquire takes an exclusive flock on "<dir>/<name>-<session>.lock", where <dir> is
// $XDG_RUNTIME_DIR when it is an absolute path to a folder of the user closed to others, else
// "<fallbackBase>/quantoria-<uid>" (created 0700; refused when it is a symbolic link, belongs to
// another user or is open to others). The session part is a hash when the socket's full path
// would pass 96 bytes, and a folder too long even for that is not used; without a display the
// name is "<dir>/<name>.lock". The descriptor is held until the object is destroyed and is closed
// on exec; the kernel drops the lock when the process ends in any way.
//
// The copy that holds the lock calls Listen() once the application title is set; from then on a
// later copy's RequestRestore() reaches it over a local socket next to the lock file, and it
// emits RestoreRequested().
class SingleInstance final : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(
        const QString& name = QStringLiteral("Quantoria"),
        const InstanceEnvironment& environment = InstanceEnvironment::FromSystem(),
        QObject* parent = nullptr);
    ~SingleInstance() override;

    // True when this process may run: it holds the lock, or the lock could not be set up at all
    // (no usable folder, the file cannot be created or locked) and the process runs unprotected.
    // False when another process of the session holds the lock. Call once.
    bool TryAcquire();
    bool Unprotected() const { return m_unprotected; }

    // Removes a socket left behind by a copy that ended without cleaning up, and starts listening
    // for restore requests. Only after TryAcquire returned true with protection; false otherwise
    // or when the socket cannot be set up (the copy then runs without the restore channel).
    bool Listen();

    // In a copy that did not get the lock: asks the running copy to restore its window. Connects,
    // sends the request and waits for the acknowledgement, all within `timeout`. True when the
    // running copy answered; false when it does not listen (yet) or does not answer in time.
    bool RequestRestore(std::chrono::milliseconds timeout = std::chrono::seconds(2));

    // The lock file and the socket, as full paths (empty when no folder could be used).
    QString LockFilePath() const { return m_lockPath; }
    QString ServerName() const { return m_serverName; }

signals:
    // A later copy asked for the window. Emitted from the event loop of the listening copy.
    void RestoreRequested();

private:
    void OnNewConnection();
    void OnRequestData(QLocalSocket* socket);

    QString m_lockPath;
    QString m_serverName;
    int m_lockFd = -1;
    bool m_acquired = false;
    bool m_unprotected = false;
    QLocalServer* m_server = nullptr;
};
