#include <QProcess>
#include <QTest>

#include <csignal>

// The termination signals reach the event loop, and the watch ends a program that does not end
// by itself: each case runs termination_probe as a process of its own and signals it.
class tst_TerminationSignals : public QObject {
    Q_OBJECT
private slots:
    void eachSignalEndsTheProgram_data();
    void eachSignalEndsTheProgram();
};

void tst_TerminationSignals::eachSignalEndsTheProgram_data() {
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("watchEnded");
    for (const int number : {SIGTERM, SIGHUP, SIGINT}) {
        const QByteArray name = QByteArray::number(number);
        QTest::newRow("ends by itself, signal " + name) << "ends" << number << 0 << false;
        QTest::newRow("goes on running, signal " + name) << "ignores" << number << 1 << true;
        QTest::newRow("event loop blocked, signal " + name) << "blocks" << number << 1 << true;
    }
}

void tst_TerminationSignals::eachSignalEndsTheProgram() {
    QFETCH(QString, mode);
    QFETCH(int, signalNumber);
    QFETCH(int, status);
    QFETCH(bool, watchEnded);
    QProcess probe;
    probe.start(QStringLiteral(TERMINATION_PROBE), {mode});
    QVERIFY(probe.waitForStarted(10000));
    QVERIFY(probe.waitForReadyRead(10000));
    QCOMPARE(probe.readLine().trimmed(), QByteArray("ready"));
    ::kill(pid_t(probe.processId()), signalNumber);
    // The watch's time is 1.8 s; the bound is generous for a loaded machine. A probe that is
    // still running then is killed by the QProcess's destructor.
    QVERIFY2(probe.waitForFinished(30000), "the program did not end");
    QCOMPARE(probe.exitStatus(), QProcess::NormalExit);
    QCOMPARE(probe.exitCode(), status);
    const QByteArray out = probe.readAllStandardOutput();
    if (mode == QLatin1String("blocks"))
        QCOMPARE(out, QByteArray("wake readable\n"));
    else
        QCOMPARE(out, "received " + QByteArray::number(signalNumber) + '\n');
    const QByteArray err = probe.readAllStandardError();
    QCOMPARE(err.contains("did not end within 1.8 seconds of the termination request"), watchEnded);
}

QTEST_GUILESS_MAIN(tst_TerminationSignals)
#include "tst_TerminationSignals.moc"
