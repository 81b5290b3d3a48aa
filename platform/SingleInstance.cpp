#include "SingleInstance.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace {

// The socket's full path stays well below the 107 bytes of sockaddr_un::sun_path.
constexpr qsizetype kMaxSocketPathBytes = 96;

const QByteArray kRestoreRequest = QByteArrayLiteral("restore\n");
const QByteArray kRestoreVerb = QByteArrayLiteral("restore");
const QByteArray kActivationTokenField = QByteArrayLiteral("activation-token");
const QByteArray kStartupIdField = QByteArrayLiteral("startup-id");
const QByteArray kRestoreAnswer = QByteArrayLiteral("ok\n");
constexpr qsizetype kMaxAnswerBytes = 64;
// A client that connects and says nothing is dropped after this.
constexpr int kClientTimeoutMs = 5000;

// A folder of this user that no one else may enter. `followLink`: the folder may be reached
// through a symbolic link (the runtime folder the session names), or must be the folder itself.
bool IsPrivateFolder(const QString& path, bool followLink) {
    const QByteArray name = path.toLocal8Bit();
    struct stat st;
    const int result = followLink ? ::stat(name.constData(), &st) : ::lstat(name.constData(), &st);
    return result == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
           (st.st_mode & (S_IRWXG | S_IRWXO)) == 0 && ::access(name.constData(), W_OK | X_OK) == 0;
}

QString FallbackFolder(const QString& base) {
    if (!base.startsWith(u'/'))
        return {};
    const QString folder = base + QStringLiteral("/quantoria-") + QString::number(::getuid());
    if (::mkdir(folder.toLocal8Bit().constData(), 0700) != 0 && errno != EEXIST)
        return {};
    return IsPrivateFolder(folder, false) ? folder : QString();
}

// "<name>-<session>" in `folder`, with the session hashed when the socket path would be too long;
// empty when even that is too long.
QString BasePath(const QString& folder, const QString& name, const QString& session) {
    const QString socketSuffix = QStringLiteral(".socket");
    QString base = folder + u'/' + name;
    if (session.isEmpty())
        return base;
    const QString plain = base + u'-' + session;
    if ((plain + socketSuffix).toLocal8Bit().size() <= kMaxSocketPathBytes)
        return plain;
    const QByteArray hash =
        QCryptographicHash::hash(session.toUtf8(), QCryptographicHash::Sha256).toHex().left(16);
    const QString hashed = base + u'-' + QString::fromLatin1(hash);
    return (hashed + socketSuffix).toLocal8Bit().size() <= kMaxSocketPathBytes ? hashed : QString();
}

// How one exchange with the running copy ended.
enum class Exchange { Answered, Refused, NoAnswer };

Exchange Ask(const QString& serverName, const QByteArray& request, const QDeadlineTimer& deadline) {
    const auto remaining = [&] { return int(std::max<qint64>(0, deadline.remainingTime())); };
    QLocalSocket socket;
    socket.connectToServer(serverName);
    if (!socket.waitForConnected(remaining()))
        return Exchange::NoAnswer;
    socket.write(request);
    QByteArray answer;
    while (!answer.contains('\n') && answer.size() <= kMaxAnswerBytes) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(remaining()))
            return socket.error() == QLocalSocket::PeerClosedError ? Exchange::Refused
                                                                   : Exchange::NoAnswer;
        answer += socket.readAll();
    }
    return answer == kRestoreAnswer ? Exchange::Answered : Exchange::Refused;
}

QString StripScreenNumber(const QString& display) {
    const qsizetype colon = display.lastIndexOf(u':');
    if (colon < 0)
        return display;
    const qsizetype dot = display.indexOf(u'.', colon);
    if (dot < 0 || dot + 1 == display.size())
        return display;
    for (qsizetype i = dot + 1; i < display.size(); ++i)
        if (!display[i].isDigit())
            return display;
    return display.left(dot);
}

} // namespace

InstanceEnvironment InstanceEnvironment::FromSystem() {
    InstanceEnvironment environment;
    environment.runtimeDir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    environment.waylandDisplay = qEnvironmentVariable("WAYLAND_DISPLAY");
    environment.display = qEnvironmentVariable("DISPLAY");
    const QString home = qEnvironmentVariable("HOME");
    if (home.startsWith(u'/'))
        environment.homeFallbackBase = home + QStringLiteral("/.cache");
    return environment;
}

QString SessionKey(const QString& waylandDisplay, const QString& display) {
    const QString session = waylandDisplay.isEmpty() ? StripScreenNumber(display) : waylandDisplay;
    QString key;
    for (const char c : session.toUtf8()) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '.' || c == '-')
            key += QLatin1Char(c);
        else
            key += QStringLiteral("_%1").arg(uint(uchar(c)), 2, 16, QLatin1Char('0'));
    }
    return key;
}

QString WaylandDisplayName(const QString& waylandDisplay, const QString& runtimeDir) {
    if (!waylandDisplay.startsWith(u'/') || !runtimeDir.startsWith(u'/'))
        return waylandDisplay;
    const QFileInfo socket(QDir::cleanPath(waylandDisplay));
    const QString folder = socket.path();
    if (folder == QDir::cleanPath(runtimeDir))
        return socket.fileName();
    // The same folder reached through a symbolic link.
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    if (!canonical.isEmpty() && canonical == QFileInfo(runtimeDir).canonicalFilePath())
        return socket.fileName();
    return waylandDisplay;
}

QByteArray RestoreRequestLine(const LaunchTokens& tokens) {
    QByteArray line = kRestoreVerb;
    const auto field = [&](const QByteArray& name, const QString& token) {
        const QByteArray bytes = token.toLatin1();
        if (!token.isEmpty() && QString::fromLatin1(bytes) == token &&
            IsAcceptableLaunchToken(bytes))
            line += ' ' + name + '=' + bytes;
    };
    field(kActivationTokenField, tokens.activationToken);
    field(kStartupIdField, tokens.startupId);
    return line + '\n';
}

std::optional<LaunchTokens> ParseRestoreRequest(const QByteArray& line) {
    if (line.size() > SingleInstance::kMaxRestoreRequestBytes || !line.endsWith('\n'))
        return std::nullopt;
    const QList<QByteArray> fields = line.chopped(1).split(' ');
    if (fields.front() != kRestoreVerb)
        return std::nullopt;
    LaunchTokens tokens;
    bool activationTokenSeen = false;
    bool startupIdSeen = false;
    for (qsizetype i = 1; i < fields.size(); ++i) {
        const qsizetype equals = fields[i].indexOf('=');
        if (equals <= 0)
            continue;
        const QByteArray name = fields[i].left(equals);
        const QByteArray value = fields[i].mid(equals + 1);
        // Only the first field of a name counts, and only an acceptable token is kept.
        QString* target = nullptr;
        if (name == kActivationTokenField && !std::exchange(activationTokenSeen, true))
            target = &tokens.activationToken;
        else if (name == kStartupIdField && !std::exchange(startupIdSeen, true))
            target = &tokens.startupId;
        if (target && IsAcceptableLaunchToken(value))
            *target = QString::fromLatin1(value);
    }
    return tokens;
}

SingleInstance::SingleInstance(const QString& name, const InstanceEnvironment& environment,
                               QObject* parent)
    : QObject(parent) {
    const QString session =
        SessionKey(WaylandDisplayName(environment.waylandDisplay, environment.runtimeDir),
                   environment.display);
    QString base;
    if (environment.runtimeDir.startsWith(u'/') && IsPrivateFolder(environment.runtimeDir, true))
        base = BasePath(environment.runtimeDir, name, session);
    if (base.isEmpty()) {
        const QString fallback = FallbackFolder(environment.fallbackBase);
        if (!fallback.isEmpty())
            base = BasePath(fallback, name, session);
    }
    // A shared folder someone else can block is no reason to run unprotected: the user's home.
    if (base.isEmpty() && environment.homeFallbackBase.startsWith(u'/')) {
        QDir().mkpath(environment.homeFallbackBase);
        const QString fallback = FallbackFolder(environment.homeFallbackBase);
        if (!fallback.isEmpty())
            base = BasePath(fallback, name, session);
    }
    if (base.isEmpty())
        return;
    m_lockPath = base + QStringLiteral(".lock");
    m_serverName = base + QStringLiteral(".socket");
}

SingleInstance::~SingleInstance() {
    // The socket goes first: once the lock is released a new copy may create its own socket at
    // the same path, and closing the server removes whatever file is there.
    delete m_server;
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

bool SingleInstance::TryAcquire() {
    if (m_acquired)
        return true;
    m_acquired = true;
    m_unprotected = true;
    if (m_lockPath.isEmpty())
        return true;
    const int fd = ::open(m_lockPath.toLocal8Bit().constData(),
                          O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
    if (fd < 0)
        return true;
    int result;
    do
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    while (result != 0 && errno == EINTR);
    if (result == 0) {
        m_lockFd = fd;
        m_unprotected = false;
        return true;
    }
    const bool held = errno == EWOULDBLOCK;
    ::close(fd);
    if (held) {
        m_acquired = false;
        m_unprotected = false;
    }
    return !held;
}

bool SingleInstance::Listen() {
    if (m_server)
        return m_server->isListening();
    if (!m_acquired || m_unprotected)
        return false;
    // Only the lock holder gets here, so a file at the path is a leftover of an ended copy.
    QLocalServer::removeServer(m_serverName);
    m_server = new QLocalServer(this);
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::OnNewConnection);
    return m_server->listen(m_serverName);
}

void SingleInstance::OnNewConnection() {
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { OnRequestData(socket); });
        QTimer::singleShot(kClientTimeoutMs, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
        if (socket->bytesAvailable() > 0)
            OnRequestData(socket);
    }
}

void SingleInstance::OnRequestData(QLocalSocket* socket) {
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() >= kMaxRestoreRequestBytes) {
            socket->abort();
            socket->deleteLater();
        }
        return;
    }
    const std::optional<LaunchTokens> tokens =
        ParseRestoreRequest(socket->readLine(kMaxRestoreRequestBytes + 1));
    if (!tokens) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    emit RestoreRequested(*tokens);
    socket->write(kRestoreAnswer);
    socket->disconnectFromServer();
}

bool SingleInstance::RequestRestore(const LaunchTokens& tokens, std::chrono::milliseconds timeout) {
    if (m_acquired || m_serverName.isEmpty())
        return false;
    const QDeadlineTimer deadline(timeout);
    const QByteArray request = RestoreRequestLine(tokens);
    const Exchange exchange = Ask(m_serverName, request, deadline);
    // A running copy that knows only the bare request closes the connection on the longer one.
    if (exchange == Exchange::Refused && request != kRestoreRequest)
        return Ask(m_serverName, kRestoreRequest, deadline) == Exchange::Answered;
    return exchange == Exchange::Answered;
}
