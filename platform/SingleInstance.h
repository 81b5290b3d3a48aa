#pragma once

#include "LaunchTokens.h"

#include <QObject>
#include <QString>
#include <chrono>
#include <optional>

class QLocalServer;
class QLocalSocket;

// Where the lock of a session lives, read from the environment of the process.
struct InstanceEnvironment {
    QString runtimeDir;                            // $XDG_RUNTIME_DIR
    QString waylandDisplay;                        // $WAYLAND_DISPLAY
    QString display;                               // $DISPLAY
    QString fallbackBase = QStringLiteral("/tmp"); // holds "quantoria-<uid>" when runtimeDir fails
    // Holds "quantoria-<uid>" when fallbackBase cannot be trusted either (another user took the
    // name): a folder in the user's own home, $HOME/.cache. Empty: none.
    QString homeFallbackBase;

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

// The restore request's line for `tokens`, with the terminating newline; the acceptable tokens
// only ("restore\n" when none is).
QByteArray RestoreRequestLine(const LaunchTokens& tokens);
// The tokens of a restore request line (with its newline); nothing when the line is not a restore
// request or is longer than SingleInstance::kMaxRestoreRequestBytes.
std::optional<LaunchTokens> ParseRestoreRequest(const QByteArray& line);

// One running copy per user and graphical session.
//
// TryAcquire takes an exclusive flock on "<dir>/<name>-<session>.lock", where <dir> is
// $XDG_RUNTIME_DIR when it is an absolute path to a folder of the user closed to others, else
// "<fallbackBase>/quantoria-<uid>" (created 0700; refused when it is a symbolic link, belongs to
// another user or is open to others), else the same folder under homeFallbackBase. The session part
// is a hash when the socket's full path would pass 96 bytes, and a folder too long even for that is
// not used; without a display the name is "<dir>/<name>.lock". The descriptor is held until the
// object is destroyed and is closed on exec; the kernel drops the lock when the process ends in any
// way.
//
// The copy that holds the lock calls Listen() once the application title is set; from then on a
// later copy's RequestRestore() reaches it over a local socket next to the lock file, and it
// emits RestoreRequested() with the launch tokens the later copy passed on.
//
// The request is one line: "restore" alone, or followed by fields " activation-token=<token>"
// and " startup-id=<id>" (each at most once; fields of other names are skipped). A line longer
// than kMaxRestoreRequestBytes, or that is not a restore request, is refused: the connection is
// closed without an answer. A field whose token is not acceptable (IsAcceptableLaunchToken) is
// dropped and the restore still happens. The answer is "ok".
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

    // In a copy that did not get the lock: asks the running copy to restore its window, passing
    // on the acceptable ones of `tokens`. Connects, sends the request and waits for the
    // acknowledgement, all within `timeout`. A running copy that closes the connection on a
    // request with tokens (a build that knows only the bare request) is asked again without
    // them. True when the running copy answered; false when it does not listen (yet) or does not
    // answer in time.
    bool RequestRestore(const LaunchTokens& tokens,
                        std::chrono::milliseconds timeout = std::chrono::seconds(2));
    bool RequestRestore(std::chrono::milliseconds timeout = std::chrono::seconds(2)) {
        return RequestRestore(LaunchTokens{}, timeout);
    }

    // The lock file and the socket, as full paths (empty when no folder could be used).
    QString LockFilePath() const { return m_lockPath; }
    QString ServerName() const { return m_serverName; }

    static constexpr qsizetype kMaxRestoreRequestBytes = 1024;

signals:
    // A later copy asked for the window, with the launch tokens it had (empty ones when it had
    // none or sent the bare request). Emitted from the event loop of the listening copy.
    void RestoreRequested(const LaunchTokens& tokens);

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
