#include "SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMutex>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QWaitCondition>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace {

constexpr int kWaitMs = 20000;

// One instance_probe process, started in a folder of its own and killed by its PID when the test
// is done with it.
class Probe {
public:
    Probe(const QString& workDir, const QProcessEnvironment& environment,
          const QStringList& args = {}) {
        m_process.setWorkingDirectory(workDir);
        m_process.setProcessEnvironment(environment);
        m_process.start(QStringLiteral(INSTANCE_PROBE), args);
    }
    ~Probe() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(kWaitMs);
        }
    }

    QProcess& process() { return m_process; }

    // The lines printed so far.
    QStringList Lines() {
        m_output += m_process.readAllStandardOutput();
        return QString::fromUtf8(m_output).split(u'\n', Qt::SkipEmptyParts);
    }
    qsizetype Count(const QString& line) { return Lines().count(line); }
    // Waits until `line` was printed `times` times; false when the process ends first or the wait
    // runs out.
    bool WaitFor(const QString& line, qsizetype times = 1) {
        const QDeadlineTimer deadline(kWaitMs);
        while (Count(line) < times) {
            if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
                return Count(line) >= times;
            m_process.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())));
        }
        return true;
    }
    // Waits for the end of the process; its exit code, -1 when it does not end in time or crashed.
    int ExitCode() {
        if (m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(kWaitMs))
            return -1;
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }
    void Kill() {
        m_process.kill();
        m_process.waitForFinished(kWaitMs);
    }

private:
    QProcess m_process;
    QByteArray m_output;
};

// A running copy of a build that knows only the bare request: on a thread of its own, because the
// asking copy waits for the answer without running an event loop. Answers `connections`
// connections, then ends.
class BareRequestServer final : public QThread {
public:
    BareRequestServer(const QString& name, int connections)
        : m_name(name), m_connections(connections) {}
    ~BareRequestServer() override { wait(); }

    bool Start() {
        start();
        QMutexLocker lock(&m_mutex);
        return m_listening.wait(&m_mutex, kWaitMs) && m_ok;
    }
    QList<QByteArray> Requests() {
        QMutexLocker lock(&m_mutex);
        return m_requests;
    }

private:
    void run() override {
        QLocalServer server;
        {
            QMutexLocker lock(&m_mutex);
            m_ok = server.listen(m_name);
            m_listening.wakeAll();
            if (!m_ok)
                return;
        }
        for (int i = 0; i < m_connections; ++i) {
            if (!server.waitForNewConnection(kWaitMs))
                return;
            QLocalSocket* socket = server.nextPendingConnection();
            while (!socket->canReadLine() && socket->bytesAvailable() <= 64 &&
                   socket->waitForReadyRead(kWaitMs)) {
            }
            const QByteArray request = socket->readLine(65);
            {
                QMutexLocker lock(&m_mutex);
                m_requests.append(request);
            }
            if (request == "restore\n") {
                socket->write("ok\n");
                socket->waitForBytesWritten(kWaitMs);
                socket->disconnectFromServer();
            } else {
                socket->abort();
            }
            delete socket;
        }
    }

    QString m_name;
    int m_connections;
    QMutex m_mutex;
    QWaitCondition m_listening;
    bool m_ok = false;
    QList<QByteArray> m_requests;
};

} // namespace

class tst_SingleInstance : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    // In this process: the names, the folders, the lock.
    void sessionKey_data();
    void sessionKey();
    void waylandDisplayName_data();
    void waylandDisplayName();
    void waylandSpellingsAreOneSession();
    void lockFolder();
    void longNamesAreHashed();
    void unusableFoldersRunUnprotected();
    void untrustedFallbackMovesHome();
    void lockIsHeldUntilDestroyed();

    // The restore request and the launch tokens it carries.
    void acceptableTokens_data();
    void acceptableTokens();
    void startupIdTime_data();
    void startupIdTime();
    void requestLine_data();
    void requestLine();
    void parseRequest_data();
    void parseRequest();
    void requestsOverTheSocket_data();
    void requestsOverTheSocket();
    void bareRequestServerIsAskedAgain();

    // The probe started as the program is: one process per copy.
    void secondStartRestoresFirst();
    void startBeforeListenRestoresNothing();
    void raceOfFive();
    void killedCopyDoesNotBlock();
    void childProcessDoesNotKeepLock();
    void eachDisplayRunsOneCopy();
    void screenNumberIsSameSession();
    void secondStartPassesItsTokens_data();
    void secondStartPassesItsTokens();

private:
    std::unique_ptr<Probe> Start(const QString& display, const QStringList& args = {},
                                 const QProcessEnvironment& extra = {});
    QProcessEnvironment Environment(const QString& display) const;
    InstanceEnvironment PrivateEnvironment(const QString& display) const;

    std::unique_ptr<QTemporaryDir> m_runtime; // the runtime folder (0700)
    std::unique_ptr<QTemporaryDir> m_scratch; // the probes' working folders, fallback bases
    int m_started = 0;
    std::vector<pid_t> m_strays; // processes started by a probe, killed in cleanup
};

void tst_SingleInstance::init() {
    m_runtime = std::make_unique<QTemporaryDir>();
    m_scratch = std::make_unique<QTemporaryDir>();
    QVERIFY(m_runtime->isValid());
    QVERIFY(m_scratch->isValid());
    m_started = 0;
}

void tst_SingleInstance::cleanup() {
    for (const pid_t pid : m_strays)
        ::kill(pid, SIGKILL);
    m_strays.clear();
    m_runtime.reset();
    m_scratch.reset();
}

QProcessEnvironment tst_SingleInstance::Environment(const QString& display) const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.insert(QStringLiteral("DISPLAY"), display);
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtime->path());
    return environment;
}

InstanceEnvironment tst_SingleInstance::PrivateEnvironment(const QString& display) const {
    InstanceEnvironment environment;
    environment.runtimeDir = m_runtime->path();
    environment.display = display;
    environment.fallbackBase = m_scratch->path();
    return environment;
}

std::unique_ptr<Probe> tst_SingleInstance::Start(const QString& display, const QStringList& args,
                                                 const QProcessEnvironment& extra) {
    const QString workDir = m_scratch->filePath(QStringLiteral("probe-%1").arg(++m_started));
    if (!QDir().mkpath(workDir))
        return nullptr;
    QProcessEnvironment environment = Environment(display);
    // The test's own launcher may have left its tokens in the environment.
    environment.remove(QStringLiteral("XDG_ACTIVATION_TOKEN"));
    environment.remove(QStringLiteral("DESKTOP_STARTUP_ID"));
    environment.insert(extra);
    return std::make_unique<Probe>(workDir, environment, args);
}

void tst_SingleInstance::sessionKey_data() {
    QTest::addColumn<QString>("wayland");
    QTest::addColumn<QString>("display");
    QTest::addColumn<QString>("key");
    QTest::newRow("X display") << ""
                               << ":7"
                               << "_3a7";
    QTest::newRow("screen number dropped") << ""
                                           << ":7.0"
                                           << "_3a7";
    QTest::newRow("remote display") << ""
                                    << "localhost:10.0"
                                    << "localhost_3a10";
    QTest::newRow("dot in the host kept") << ""
                                          << "host.example:0"
                                          << "host.example_3a0";
    QTest::newRow("not a screen number") << ""
                                         << ":7.x"
                                         << "_3a7.x";
    QTest::newRow("wayland first") << "wayland-0"
                                   << ":1"
                                   << "wayland-0";
    QTest::newRow("wayland socket path") << "/run/wl"
                                         << ""
                                         << "_2frun_2fwl";
    QTest::newRow("underscore escaped too") << "a_2fb"
                                            << ""
                                            << "a_5f2fb";
    QTest::newRow("no display") << ""
                                << ""
                                << "";
}

void tst_SingleInstance::sessionKey() {
    QFETCH(QString, wayland);
    QFETCH(QString, display);
    QFETCH(QString, key);
    QCOMPARE(SessionKey(wayland, display), key);
}

void tst_SingleInstance::waylandDisplayName_data() {
    QTest::addColumn<QString>("wayland");
    QTest::addColumn<QString>("runtime");
    QTest::addColumn<QString>("name");
    QTest::newRow("a name") << "wayland-1"
                            << "/run/user/7"
                            << "wayland-1";
    QTest::newRow("a path in the runtime folder") << "/run/user/7/wayland-1"
                                                  << "/run/user/7"
                                                  << "wayland-1";
    QTest::newRow("untidy spellings") << "/run/user/7//./wayland-1"
                                      << "/run/user/7/"
                                      << "wayland-1";
    QTest::newRow("elsewhere") << "/tmp/wayland-1"
                               << "/run/user/7"
                               << "/tmp/wayland-1";
    QTest::newRow("in a subfolder") << "/run/user/7/nested/wayland-1"
                                    << "/run/user/7"
                                    << "/run/user/7/nested/wayland-1";
    QTest::newRow("no runtime folder") << "/run/user/7/wayland-1"
                                       << ""
                                       << "/run/user/7/wayland-1";
    QTest::newRow("no wayland") << ""
                                << "/run/user/7"
                                << "";
}

void tst_SingleInstance::waylandDisplayName() {
    QFETCH(QString, wayland);
    QFETCH(QString, runtime);
    QFETCH(QString, name);
    QCOMPARE(WaylandDisplayName(wayland, runtime), name);
}

void tst_SingleInstance::waylandSpellingsAreOneSession() {
    InstanceEnvironment environment = PrivateEnvironment(QString());
    environment.waylandDisplay = QStringLiteral("wayland-3");
    const SingleInstance byName(QStringLiteral("Quantoria"), environment);
    environment.waylandDisplay = m_runtime->filePath(QStringLiteral("wayland-3"));
    const SingleInstance byPath(QStringLiteral("Quantoria"), environment);
    QVERIFY(!byName.LockFilePath().isEmpty());
    QCOMPARE(byPath.LockFilePath(), byName.LockFilePath());

    // The runtime folder reached through a symbolic link, as some sessions name it.
    QTemporaryDir links;
    QVERIFY(links.isValid());
    const QString link = links.filePath(QStringLiteral("runtime"));
    QVERIFY(QFile::link(m_runtime->path(), link));
    environment.waylandDisplay = link + QStringLiteral("/wayland-3");
    const SingleInstance byLink(QStringLiteral("Quantoria"), environment);
    QCOMPARE(byLink.LockFilePath(), byName.LockFilePath());

    environment.waylandDisplay = m_runtime->filePath(QStringLiteral("wayland-4"));
    const SingleInstance other(QStringLiteral("Quantoria"), environment);
    QVERIFY(other.LockFilePath() != byName.LockFilePath());
}

void tst_SingleInstance::lockFolder() {
    const QString fallback = m_scratch->filePath(QStringLiteral("quantoria-%1").arg(::getuid()));
    const auto folderOf = [](const InstanceEnvironment& environment) {
        return QFileInfo(SingleInstance(QStringLiteral("Quantoria"), environment).LockFilePath())
            .path();
    };

    InstanceEnvironment environment = PrivateEnvironment(QStringLiteral(":71"));
    const SingleInstance inRuntime(QStringLiteral("Quantoria"), environment);
    QCOMPARE(inRuntime.LockFilePath(), m_runtime->filePath(QStringLiteral("Quantoria-_3a71.lock")));
    QCOMPARE(inRuntime.ServerName(), m_runtime->filePath(QStringLiteral("Quantoria-_3a71.socket")));
    QVERIFY(!QFileInfo::exists(fallback));

    environment.runtimeDir.clear();
    QCOMPARE(folderOf(environment), fallback);
    struct stat st;
    QCOMPARE(::lstat(QFile::encodeName(fallback).constData(), &st), 0);
    QVERIFY(S_ISDIR(st.st_mode));
    QCOMPARE(st.st_mode & 07777, mode_t(0700));

    environment.runtimeDir = QStringLiteral("relative/runtime");
    QCOMPARE(folderOf(environment), fallback);

    QVERIFY(QFile::setPermissions(m_runtime->path(), QFile::ReadOwner | QFile::WriteOwner |
                                                         QFile::ExeOwner | QFile::ReadOther |
                                                         QFile::ExeOther));
    environment.runtimeDir = m_runtime->path();
    QCOMPARE(folderOf(environment), fallback);
}

void tst_SingleInstance::longNamesAreHashed() {
    InstanceEnvironment environment = PrivateEnvironment(QString(120, u'a') + QStringLiteral(":1"));
    const SingleInstance first(QStringLiteral("Quantoria"), environment);
    environment.display = QString(120, u'a') + QStringLiteral(":2");
    const SingleInstance second(QStringLiteral("Quantoria"), environment);
    QCOMPARE(QFileInfo(first.ServerName()).path(), m_runtime->path());
    QVERIFY(first.ServerName().toLocal8Bit().size() < 100);
    QVERIFY(first.ServerName() != second.ServerName());

    // A runtime folder too long for any socket name: the private folder in the fallback base.
    const QString deep = m_runtime->filePath(QString(100, u'd'));
    QVERIFY(QDir().mkdir(deep, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    environment.runtimeDir = deep;
    const SingleInstance fallback(QStringLiteral("Quantoria"), environment);
    QVERIFY(fallback.ServerName().startsWith(m_scratch->path() + QStringLiteral("/quantoria-")));
}

void tst_SingleInstance::unusableFoldersRunUnprotected() {
    const QString fallback = m_scratch->filePath(QStringLiteral("quantoria-%1").arg(::getuid()));
    QTemporaryDir elsewhere;
    QVERIFY(elsewhere.isValid());
    InstanceEnvironment environment = PrivateEnvironment(QStringLiteral(":71"));
    environment.runtimeDir.clear();

    // A symbolic link in place of the private folder, even to a folder of the user.
    QVERIFY(QFile::link(elsewhere.path(), fallback));
    SingleInstance first(QStringLiteral("Quantoria"), environment);
    SingleInstance second(QStringLiteral("Quantoria"), environment);
    QCOMPARE(first.LockFilePath(), QString());
    QVERIFY(first.TryAcquire());
    QVERIFY(first.Unprotected());
    QVERIFY(second.TryAcquire());
    QVERIFY(second.Unprotected());
    QVERIFY(!first.Listen());
    QVERIFY(QDir(elsewhere.path()).isEmpty());

    // A folder open to others.
    QVERIFY(QFile::remove(fallback));
    QVERIFY(QDir().mkdir(fallback, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                       QFile::ReadGroup | QFile::ExeGroup));
    QCOMPARE(SingleInstance(QStringLiteral("Quantoria"), environment).LockFilePath(), QString());

    // No fallback folder can be made: the base is a file.
    QVERIFY(QDir(fallback).removeRecursively());
    QFile file(m_scratch->filePath(QStringLiteral("file")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    environment.fallbackBase = file.fileName();
    QCOMPARE(SingleInstance(QStringLiteral("Quantoria"), environment).LockFilePath(), QString());
}

// Another user's "quantoria-<uid>" in the shared folder moves the lock into the user's home
// instead of switching it off.
void tst_SingleInstance::untrustedFallbackMovesHome() {
    const QString fallback = m_scratch->filePath(QStringLiteral("quantoria-%1").arg(::getuid()));
    QVERIFY(QDir().mkdir(fallback));
    if (::chown(QFile::encodeName(fallback).constData(), 65534, 65534) != 0)
        QSKIP("cannot give a folder to another user (not root)");
    QTemporaryDir home;
    QVERIFY(home.isValid());
    InstanceEnvironment environment = PrivateEnvironment(QStringLiteral(":72"));
    environment.runtimeDir.clear();
    environment.homeFallbackBase = home.filePath(QStringLiteral(".cache"));
    SingleInstance first(QStringLiteral("Quantoria"), environment);
    SingleInstance second(QStringLiteral("Quantoria"), environment);
    QVERIFY(first.LockFilePath().startsWith(environment.homeFallbackBase + "/quantoria-"));
    QVERIFY(first.TryAcquire());
    QVERIFY(!first.Unprotected());
    QVERIFY(!second.TryAcquire());
    QVERIFY(QDir(fallback).isEmpty());
}

void tst_SingleInstance::lockIsHeldUntilDestroyed() {
    const InstanceEnvironment environment = PrivateEnvironment(QStringLiteral(":71"));
    auto first = std::make_unique<SingleInstance>(QStringLiteral("Quantoria"), environment);
    QVERIFY(first->TryAcquire());
    QVERIFY(!first->Unprotected());
    QVERIFY(first->Listen());
    QVERIFY(QFileInfo::exists(first->ServerName()));

    SingleInstance second(QStringLiteral("Quantoria"), environment);
    QVERIFY(!second.TryAcquire());
    QVERIFY(!second.Unprotected());
    QVERIFY(!second.Listen());
    QVERIFY(QFileInfo::exists(first->ServerName()));

    first.reset();
    QVERIFY(!QFileInfo::exists(second.ServerName()));
    SingleInstance third(QStringLiteral("Quantoria"), environment);
    QVERIFY(third.TryAcquire());
    QVERIFY(!third.Unprotected());
}

void tst_SingleInstance::acceptableTokens_data() {
    QTest::addColumn<QByteArray>("token");
    QTest::addColumn<bool>("acceptable");
    QTest::newRow("wayland token") << QByteArray("0a1b2c3d4e5f60718293a4b5c6d7e8f9") << true;
    QTest::newRow("startup id") << QByteArray("launcher/Quantoria/4242-0-host_TIME123456") << true;
    QTest::newRow("semicolons and equals") << QByteArray("host;1700000000;42;0_TIME9=") << true;
    QTest::newRow("longest") << QByteArray(kMaxLaunchTokenBytes, 'a') << true;
    QTest::newRow("one byte too long") << QByteArray(kMaxLaunchTokenBytes + 1, 'a') << false;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("space") << QByteArray("a b") << false;
    QTest::newRow("newline") << QByteArray("a\nrestore") << false;
    QTest::newRow("tab") << QByteArray("a\tb") << false;
    QTest::newRow("escape sequence") << QByteArray("a\x1b[2Jb") << false;
    QTest::newRow("delete") << QByteArray("a\x7f") << false;
    QTest::newRow("double quote") << QByteArray("a\"b") << false;
    QTest::newRow("single quote") << QByteArray("a'b") << false;
    QTest::newRow("backslash") << QByteArray("a\\b") << false;
    QTest::newRow("nul") << QByteArray("a\0b", 3) << false;
    QTest::newRow("utf-8") << QByteArray("caf\xc3\xa9") << false;
}

void tst_SingleInstance::acceptableTokens() {
    QFETCH(QByteArray, token);
    QFETCH(bool, acceptable);
    QCOMPARE(IsAcceptableLaunchToken(token), acceptable);
}

void tst_SingleInstance::startupIdTime_data() {
    QTest::addColumn<QString>("id");
    QTest::addColumn<qint64>("time"); // -1: none
    QTest::newRow("suffix") << "launcher-42-host_TIME123456" << qint64(123456);
    QTest::newRow("last of two") << "a_TIME1_TIME2" << qint64(2);
    QTest::newRow("largest") << "x_TIME4294967295" << qint64(4294967295);
    QTest::newRow("past 32 bits") << "x_TIME4294967296" << qint64(-1);
    QTest::newRow("eleven digits") << "x_TIME00000000001" << qint64(-1);
    QTest::newRow("zero") << "x_TIME0" << qint64(-1);
    QTest::newRow("no digits") << "x_TIME" << qint64(-1);
    QTest::newRow("not at the end") << "x_TIME12-host" << qint64(-1);
    QTest::newRow("sign") << "x_TIME-12" << qint64(-1);
    QTest::newRow("no suffix") << "0a1b2c3d" << qint64(-1);
    QTest::newRow("lower case") << "x_time12" << qint64(-1);
}

void tst_SingleInstance::startupIdTime() {
    QFETCH(QString, id);
    QFETCH(qint64, time);
    const std::optional<quint32> parsed = StartupIdTime(id);
    QCOMPARE(parsed ? qint64(*parsed) : qint64(-1), time);
}

void tst_SingleInstance::requestLine_data() {
    QTest::addColumn<QString>("activationToken");
    QTest::addColumn<QString>("startupId");
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("none") << ""
                          << "" << QByteArray("restore\n");
    QTest::newRow("wayland") << "abc123"
                             << "" << QByteArray("restore activation-token=abc123\n");
    QTest::newRow("x11") << ""
                         << "host-1_TIME7" << QByteArray("restore startup-id=host-1_TIME7\n");
    QTest::newRow("both") << "abc"
                          << "id_TIME1"
                          << QByteArray("restore activation-token=abc startup-id=id_TIME1\n");
    QTest::newRow("spaces dropped") << "a b"
                                    << "id" << QByteArray("restore startup-id=id\n");
    QTest::newRow("a second line dropped")
        << "abc"
        << "id\nrestore" << QByteArray("restore activation-token=abc\n");
    QTest::newRow("non-ASCII dropped")
        << QStringLiteral("caf\u00e9") << "" << QByteArray("restore\n");
    QTest::newRow("oversized dropped")
        << QString(kMaxLaunchTokenBytes + 1, u'a') << "" << QByteArray("restore\n");
}

void tst_SingleInstance::requestLine() {
    QFETCH(QString, activationToken);
    QFETCH(QString, startupId);
    QFETCH(QByteArray, line);
    QCOMPARE(RestoreRequestLine({activationToken, startupId}), line);
    // What one copy writes, the other reads back: the acceptable tokens, the others empty.
    const std::optional<LaunchTokens> parsed = ParseRestoreRequest(line);
    QVERIFY(parsed);
    const auto kept = [](const QString& token) {
        return IsAcceptableLaunchToken(token.toUtf8()) ? token : QString();
    };
    QCOMPARE(parsed->activationToken, kept(activationToken));
    QCOMPARE(parsed->startupId, kept(startupId));
}

void tst_SingleInstance::parseRequest_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("restores");
    QTest::addColumn<QString>("activationToken");
    QTest::addColumn<QString>("startupId");
    const QString none;
    const QByteArray longest(kMaxLaunchTokenBytes, 'k');
    QTest::newRow("bare, as every build sends it")
        << QByteArray("restore\n") << true << none << none;
    QTest::newRow("both tokens") << QByteArray("restore activation-token=t1 startup-id=s_TIME5\n")
                                 << true << "t1"
                                 << "s_TIME5";
    QTest::newRow("other order") << QByteArray("restore startup-id=s activation-token=t\n") << true
                                 << "t"
                                 << "s";
    QTest::newRow("longest tokens")
        << QByteArray("restore activation-token=" + longest + " startup-id=" + longest + "\n")
        << true << QString::fromLatin1(longest) << QString::fromLatin1(longest);
    QTest::newRow("unknown field skipped")
        << QByteArray("restore colour=blue startup-id=s\n") << true << none << "s";
    QTest::newRow("field without a value skipped")
        << QByteArray("restore startup-id\n") << true << none << none;
    QTest::newRow("empty value") << QByteArray("restore startup-id=\n") << true << none << none;
    QTest::newRow("first of a name counts")
        << QByteArray("restore startup-id=one startup-id=two\n") << true << none << "one";
    QTest::newRow("refused first of a name still counts")
        << QByteArray("restore startup-id=a\"b startup-id=two\n") << true << none << none;
    QTest::newRow("oversized token dropped, restore kept")
        << QByteArray("restore activation-token=" + longest + "k startup-id=s\n") << true << none
        << "s";
    QTest::newRow("quote dropped")
        << QByteArray("restore activation-token=a'b\n") << true << none << none;
    QTest::newRow("control character dropped") << QByteArray("restore activation-token=a\x01"
                                                             "b\n")
                                               << true << none << none;
    QTest::newRow("non-ASCII dropped")
        << QByteArray("restore startup-id=caf\xc3\xa9\n") << true << none << none;
    QTest::newRow("extra spaces") << QByteArray("restore  startup-id=s \n") << true << none << "s";
    QTest::newRow("value with equals")
        << QByteArray("restore activation-token=a=b=\n") << true << "a=b=" << none;
    QTest::newRow("line at the limit")
        << QByteArray("restore x=" + QByteArray(SingleInstance::kMaxRestoreRequestBytes - 11, 'x') +
                      "\n")
        << true << none << none;
    QTest::newRow("line past the limit")
        << QByteArray("restore x=" + QByteArray(SingleInstance::kMaxRestoreRequestBytes - 10, 'x') +
                      "\n")
        << false << none << none;
    QTest::newRow("no newline") << QByteArray("restore") << false << none << none;
    QTest::newRow("carriage return") << QByteArray("restore\r\n") << false << none << none;
    QTest::newRow("other verb") << QByteArray("quit\n") << false << none << none;
    QTest::newRow("verb with suffix") << QByteArray("restorex\n") << false << none << none;
    QTest::newRow("upper case") << QByteArray("RESTORE\n") << false << none << none;
    QTest::newRow("leading space") << QByteArray(" restore\n") << false << none << none;
    QTest::newRow("empty line") << QByteArray("\n") << false << none << none;
}

void tst_SingleInstance::parseRequest() {
    QFETCH(QByteArray, line);
    QFETCH(bool, restores);
    QFETCH(QString, activationToken);
    QFETCH(QString, startupId);
    const std::optional<LaunchTokens> tokens = ParseRestoreRequest(line);
    QCOMPARE(bool(tokens), restores);
    if (tokens) {
        QCOMPARE(tokens->activationToken, activationToken);
        QCOMPARE(tokens->startupId, startupId);
    }
}

void tst_SingleInstance::requestsOverTheSocket_data() {
    QTest::addColumn<QList<QByteArray>>("writes"); // what the client writes, piece by piece
    QTest::addColumn<bool>("restores");
    QTest::addColumn<QString>("activationToken");
    QTest::addColumn<QString>("startupId");
    const QString none;
    QTest::newRow("bare request of an earlier build")
        << QList<QByteArray>{"restore\n"} << true << none << none;
    QTest::newRow("tokens") << QList<QByteArray>{"restore activation-token=t startup-id=s\n"}
                            << true << "t"
                            << "s";
    QTest::newRow("line in pieces") << QList<QByteArray>{"rest", "ore startup-id=host_TI", "ME42\n"}
                                    << true << none << "host_TIME42";
    QTest::newRow("hostile token dropped")
        << QList<QByteArray>{"restore startup-id=\x1b]0;owned\x07\n"} << true << none << none;
    QTest::newRow("endless line refused")
        << QList<QByteArray>{"restore startup-id=", QByteArray(4096, 'a')} << false << none << none;
    QTest::newRow("other request refused") << QList<QByteArray>{"exit\n"} << false << none << none;
}

void tst_SingleInstance::requestsOverTheSocket() {
    QFETCH(QList<QByteArray>, writes);
    QFETCH(bool, restores);
    QFETCH(QString, activationToken);
    QFETCH(QString, startupId);
    SingleInstance first(QStringLiteral("Quantoria"), PrivateEnvironment(QStringLiteral(":71")));
    QVERIFY(first.TryAcquire());
    QVERIFY(first.Listen());
    QSignalSpy restored(&first, &SingleInstance::RestoreRequested);

    // The client runs in this thread too: nothing here blocks, the event loop runs the server.
    QLocalSocket client;
    client.connectToServer(first.ServerName());
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), QLocalSocket::ConnectedState, kWaitMs);
    for (const QByteArray& piece : writes) {
        client.write(piece);
        client.flush();
        QTest::qWait(20);
    }
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), QLocalSocket::UnconnectedState, kWaitMs);
    QCOMPARE(client.readAll(), restores ? QByteArray("ok\n") : QByteArray());
    QCOMPARE(restored.size(), restores ? 1 : 0);
    if (restores) {
        const auto tokens = restored.front().front().value<LaunchTokens>();
        QCOMPARE(tokens.activationToken, activationToken);
        QCOMPARE(tokens.startupId, startupId);
    }
}

void tst_SingleInstance::bareRequestServerIsAskedAgain() {
    const InstanceEnvironment environment = PrivateEnvironment(QStringLiteral(":71"));
    SingleInstance first(QStringLiteral("Quantoria"), environment);
    QVERIFY(first.TryAcquire());
    BareRequestServer server(first.ServerName(), 2);
    QVERIFY(server.Start());

    SingleInstance second(QStringLiteral("Quantoria"), environment);
    QVERIFY(!second.TryAcquire());
    QVERIFY(second.RequestRestore({QStringLiteral("tok"), QStringLiteral("id_TIME9")},
                                  std::chrono::milliseconds(kWaitMs)));
    QVERIFY(server.wait(kWaitMs));
    QCOMPARE(
        server.Requests(),
        (QList<QByteArray>{"restore activation-token=tok startup-id=id_TIME9\n", "restore\n"}));
}

void tst_SingleInstance::secondStartRestoresFirst() {
    auto first = Start(QStringLiteral(":71"));
    QVERIFY(first->WaitFor(QStringLiteral("listening")));
    QVERIFY(QFileInfo::exists(m_runtime->filePath(QStringLiteral("Quantoria-_3a71.lock"))));
    QVERIFY(QFileInfo::exists(m_runtime->filePath(QStringLiteral("Quantoria-_3a71.socket"))));

    auto second = Start(QStringLiteral(":71"));
    QCOMPARE(second->ExitCode(), 1);
    QCOMPARE(second->Lines(), QStringList{QStringLiteral("restored")});
    QVERIFY(first->WaitFor(QStringLiteral("restore")));

    auto third = Start(QStringLiteral(":71"));
    QCOMPARE(third->ExitCode(), 1);
    QCOMPARE(third->Lines(), QStringList{QStringLiteral("restored")});
    QVERIFY(first->WaitFor(QStringLiteral("restore"), 2));
    QCOMPARE(first->process().state(), QProcess::Running);
}

void tst_SingleInstance::startBeforeListenRestoresNothing() {
    auto first = Start(QStringLiteral(":71"), {QStringLiteral("--listen-on-input")});
    QVERIFY(first->WaitFor(QStringLiteral("running")));

    auto second = Start(QStringLiteral(":71"));
    QCOMPARE(second->ExitCode(), 1);
    QCOMPARE(second->Lines(), QStringList{QStringLiteral("no answer")});

    // Listening later answers later copies only: the one restore below is the third copy's.
    first->process().write("listen\n");
    QVERIFY(first->WaitFor(QStringLiteral("listening")));
    auto third = Start(QStringLiteral(":71"));
    QCOMPARE(third->ExitCode(), 1);
    QCOMPARE(third->Lines(), QStringList{QStringLiteral("restored")});
    QVERIFY(first->WaitFor(QStringLiteral("restore")));
    QCOMPARE(first->Lines(), (QStringList{QStringLiteral("running"), QStringLiteral("listening"),
                                          QStringLiteral("restore")}));
}

void tst_SingleInstance::raceOfFive() {
    std::vector<std::unique_ptr<Probe>> probes;
    for (int i = 0; i < 5; ++i)
        probes.push_back(Start(QStringLiteral(":71")));

    // Each either runs (and listens) or ends; the ones that end do so by themselves.
    Probe* running = nullptr;
    int answered = 0;
    for (auto& probe : probes) {
        if (probe->WaitFor(QStringLiteral("listening"))) {
            QVERIFY2(!running, "two copies run");
            running = probe.get();
            continue;
        }
        QCOMPARE(probe->ExitCode(), 1);
        const QStringList lines = probe->Lines();
        QCOMPARE(lines.size(), 1);
        QVERIFY(lines[0] == QStringLiteral("restored") || lines[0] == QStringLiteral("no answer"));
        answered += lines[0] == QStringLiteral("restored");
    }
    QVERIFY2(running, "no copy runs");
    QCOMPARE(running->process().state(), QProcess::Running);

    // Every answered request was a restore in the running copy, and it still answers.
    auto late = Start(QStringLiteral(":71"));
    QCOMPARE(late->ExitCode(), 1);
    QCOMPARE(late->Lines(), QStringList{QStringLiteral("restored")});
    QVERIFY(running->WaitFor(QStringLiteral("restore"), answered + 1));
    QCOMPARE(running->Count(QStringLiteral("restore")), answered + 1);
}

void tst_SingleInstance::killedCopyDoesNotBlock() {
    auto first = Start(QStringLiteral(":71"));
    QVERIFY(first->WaitFor(QStringLiteral("listening")));
    first->Kill();
    QCOMPARE(first->process().exitStatus(), QProcess::CrashExit);
    const QString socket = m_runtime->filePath(QStringLiteral("Quantoria-_3a71.socket"));
    QVERIFY2(QFileInfo::exists(socket), "the killed copy leaves its socket behind");

    auto second = Start(QStringLiteral(":71"));
    QVERIFY(second->WaitFor(QStringLiteral("listening")));
    auto third = Start(QStringLiteral(":71"));
    QCOMPARE(third->ExitCode(), 1);
    QCOMPARE(third->Lines(), QStringList{QStringLiteral("restored")});
    QVERIFY(second->WaitFor(QStringLiteral("restore")));
}

void tst_SingleInstance::childProcessDoesNotKeepLock() {
    auto first = Start(QStringLiteral(":71"), {QStringLiteral("--spawn-child")});
    QVERIFY(first->WaitFor(QStringLiteral("listening")));
    pid_t child = 0;
    for (const QString& line : first->Lines())
        if (line.startsWith(QStringLiteral("child ")))
            child = pid_t(line.mid(6).toInt());
    QVERIFY(child > 0);
    m_strays.push_back(child);
    first->Kill();

    QCOMPARE(::kill(child, 0), 0); // the child still runs
    auto second = Start(QStringLiteral(":71"));
    QVERIFY(second->WaitFor(QStringLiteral("listening")));
}

void tst_SingleInstance::eachDisplayRunsOneCopy() {
    auto first = Start(QStringLiteral(":71"));
    auto second = Start(QStringLiteral(":72"));
    QVERIFY(first->WaitFor(QStringLiteral("listening")));
    QVERIFY(second->WaitFor(QStringLiteral("listening")));

    auto third = Start(QStringLiteral(":72"));
    QCOMPARE(third->ExitCode(), 1);
    QCOMPARE(third->Lines(), QStringList{QStringLiteral("restored")});
    QVERIFY(second->WaitFor(QStringLiteral("restore")));
}

void tst_SingleInstance::screenNumberIsSameSession() {
    auto first = Start(QStringLiteral(":7"));
    QVERIFY(first->WaitFor(QStringLiteral("listening")));
    auto second = Start(QStringLiteral(":7.0"));
    QCOMPARE(second->ExitCode(), 1);
    QCOMPARE(second->Lines(), QStringList{QStringLiteral("restored")});
    QVERIFY(first->WaitFor(QStringLiteral("restore")));
}

void tst_SingleInstance::secondStartPassesItsTokens_data() {
    QTest::addColumn<QString>("activationToken"); // in the second copy's environment; "-": unset
    QTest::addColumn<QString>("startupId");
    QTest::addColumn<QString>("line"); // what the first copy receives
    QTest::newRow("none") << "-"
                          << "-"
                          << "restore";
    QTest::newRow("wayland") << "4f2a9c"
                             << "-"
                             << "restore activation-token=4f2a9c";
    QTest::newRow("x11") << "-"
                         << "launcher-7-host_TIME31337"
                         << "restore startup-id=launcher-7-host_TIME31337";
    QTest::newRow("both") << "4f2a9c"
                          << "host;1;2_TIME5"
                          << "restore activation-token=4f2a9c startup-id=host;1;2_TIME5";
    QTest::newRow("empty values") << ""
                                  << ""
                                  << "restore";
    QTest::newRow("hostile values dropped")
        << "a b" << QString(kMaxLaunchTokenBytes + 1, u'x') << "restore";
}

void tst_SingleInstance::secondStartPassesItsTokens() {
    QFETCH(QString, activationToken);
    QFETCH(QString, startupId);
    QFETCH(QString, line);
    auto first = Start(QStringLiteral(":71"));
    QVERIFY(first->WaitFor(QStringLiteral("listening")));
    QProcessEnvironment extra;
    if (activationToken != QStringLiteral("-"))
        extra.insert(QStringLiteral("XDG_ACTIVATION_TOKEN"), activationToken);
    if (startupId != QStringLiteral("-"))
        extra.insert(QStringLiteral("DESKTOP_STARTUP_ID"), startupId);
    auto second = Start(QStringLiteral(":71"), {}, extra);
    QCOMPARE(second->ExitCode(), 1);
    QCOMPARE(second->Lines(), QStringList{QStringLiteral("restored")});
    QVERIFY(first->WaitFor(line));
    QCOMPARE(first->Lines(),
             (QStringList{QStringLiteral("running"), QStringLiteral("listening"), line}));
}

QTEST_GUILESS_MAIN(tst_SingleInstance)
#include "tst_SingleInstance.moc"
