#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGHUP and SIGINT into a Qt signal delivered on the event loop, so the program
// can end the way File > Exit ends it (saving its files) instead of dying mid-way.
//
// Termination always wins: from the first signal on, the program has 1.8 seconds (kGraceMs) to
// end on its own; after that a thread of this object writes a line on standard error and ends the
// process. The files are written atomically, so a save cut short leaves the previous file.
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    static constexpr int kGraceMs = 1800;

    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

    // Readable from the first signal until the event loop has taken it: code that blocks the
    // event loop (an evaluation) watches it and gives up.
    static int WakeDescriptor();

signals:
    void Received(int signalNumber);

private:
    QSocketNotifier* m_notifier = nullptr;
};
