// Uses TerminationSignals the way the program does, for tst_TerminationSignals.
//
//   termination_probe ends|ignores|blocks
//
// Prints "ready" once the signals are taken over and waits for them. `ends` and `ignores` run the
// event loop, print "received N" for the first signal and then: `ends` quits the event loop (exit
// status 0); `ignores` goes on without ending. `blocks` never runs the event loop: it waits on the
// wake descriptor, as an evaluation does, prints "wake readable" when the signal makes it so, and
// then blocks for a minute, as a stuck save would. The last two are ended by the watch.
#include "TerminationSignals.h"

#include <QCoreApplication>

#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <unistd.h>

namespace {

void Say(const char* line) {
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    if (argc != 2)
        return 2;
    const QByteArray mode = argv[1];
    TerminationSignals termination;
    QObject::connect(&termination, &TerminationSignals::Received, &application, [&](int number) {
        std::printf("received %d\n", number);
        std::fflush(stdout);
        if (mode == "ends")
            application.quit();
    });
    Say("ready");
    if (mode == "blocks") {
        pollfd wake{TerminationSignals::WakeDescriptor(), POLLIN, 0};
        int ready = 0;
        do
            ready = ::poll(&wake, 1, 30000);
        while (ready < 0 && errno == EINTR);
        if (ready == 1)
            Say("wake readable");
        ::sleep(60);
    }
    return application.exec();
}
