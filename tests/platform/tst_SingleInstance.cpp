#include "platform/SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

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
    void lockIsHeldUntilDestroyed();

    // The probe started as the program is: one process per copy.
    void secondStartRestoresFirst();
    void startBeforeListenRestoresNothing();
    void raceOfFive();
    void killedCopyDoesNotBlock();
    void childProcessDoesNotKeepLock();
    void eachDisplayRunsOneCopy();
    void screenNumberIsSameSession();

private:
    std::unique_ptr<Probe> Start(const QString& display, const QStringList& args = {});
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

std::unique_ptr<Probe> tst_SingleInstance::Start(const QString& display, const QStringList& args) {
    const QString workDir = m_scratch->filePath(QStringLiteral("probe-%1").arg(++m_started));
    if (!QDir().mkpath(workDir))
        return nullptr;
    return std::make_unique<Probe>(workDir, Environment(display), args);
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

QTEST_GUILESS_MAIN(tst_SingleInstance)
#include "tst_SingleInstance.moc"
