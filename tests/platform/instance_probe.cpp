// Uses SingleInstance the way the program's start does, for tst_SingleInstance.
//
//   instance_probe [--listen-on-input] [--spawn-child] [--lifetime MS]
//   instance_probe --idle MS
//
// Gets the lock: prints "running" (or "running unprotected"), starts listening (at once, or with
// --listen-on-input when the line "listen" arrives on standard input) and prints "listening",
// then prints "restore" for each restore request (followed by " activation-token=T" and
// " startup-id=I" for the tokens it came with), until SIGTERM or the lifetime (default 60 s) ends.
// --spawn-child first starts a copy of itself with --idle, prints "child PID" and leaves it
// running. Does not get the lock: asks the running copy to restore its window, passing on the
// launch tokens of its environment as the program does, prints "restored" or "no answer", and
// exits with code 1. --idle only waits.
#include "SingleInstance.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSocketNotifier>
#include <QTimer>

#include <unistd.h>

#include <cstdio>

namespace {

void Say(const QByteArray& line) {
    std::fputs((line + '\n').constData(), stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    QStringList args = application.arguments().mid(1);
    const auto option = [&](const QString& name) { return args.removeAll(name) > 0; };
    const auto value = [&](const QString& name, int fallback) {
        const qsizetype at = args.indexOf(name);
        if (at < 0 || at + 1 >= args.size())
            return fallback;
        const int result = args[at + 1].toInt();
        args.remove(at, 2);
        return result;
    };

    if (const int idle = value(QStringLiteral("--idle"), -1); idle >= 0) {
        QTimer::singleShot(idle, &application, &QCoreApplication::quit);
        return application.exec();
    }
    const bool listenOnInput = option(QStringLiteral("--listen-on-input"));
    const bool spawnChild = option(QStringLiteral("--spawn-child"));
    const int lifetime = value(QStringLiteral("--lifetime"), 60000);
    if (!args.isEmpty()) {
        std::fputs("usage: instance_probe [--listen-on-input] [--spawn-child] [--lifetime MS]\n",
                   stderr);
        return 2;
    }

    SingleInstance instance;
    if (!instance.TryAcquire()) {
        Say(instance.RequestRestore(LaunchTokens::FromEnvironment()) ? "restored" : "no answer");
        return 1;
    }
    Say(instance.Unprotected() ? "running unprotected" : "running");
    QObject::connect(&instance, &SingleInstance::RestoreRequested, [](const LaunchTokens& tokens) {
        QByteArray line = "restore";
        if (!tokens.activationToken.isEmpty())
            line += " activation-token=" + tokens.activationToken.toLatin1();
        if (!tokens.startupId.isEmpty())
            line += " startup-id=" + tokens.startupId.toLatin1();
        Say(line);
    });

    if (spawnChild) {
        qint64 pid = 0;
        if (!QProcess::startDetached(QCoreApplication::applicationFilePath(),
                                     {QStringLiteral("--idle"), QString::number(lifetime)}, {},
                                     &pid))
            return 3;
        Say("child " + QByteArray::number(pid));
    }

    const auto listen = [&] { Say(instance.Listen() ? "listening" : "not listening"); };
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    input.setEnabled(listenOnInput);
    QByteArray received;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[256];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            input.setEnabled(false);
            return;
        }
        received.append(buffer, n);
        if (received.contains("listen\n")) {
            input.setEnabled(false);
            listen();
        }
    });
    if (!listenOnInput)
        listen();

    QTimer::singleShot(lifetime, &application, &QCoreApplication::quit);
    return application.exec();
}
