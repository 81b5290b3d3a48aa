#include <QProcess>
#include <QTest>

// quantoria-eval as a user runs it: arguments or standard input, the user's locale, options.
class tst_EvalCli : public QObject {
    Q_OBJECT
private slots:
    void evaluates_data();
    void evaluates();
    void readsStandardInput();
    void badOptionsShowUsage();

private:
    static QProcess* Run(const QStringList& args, const QString& locale);
};

QProcess* tst_EvalCli::Run(const QStringList& args, const QString& locale) {
    auto* process = new QProcess;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("LANGUAGE"));
    env.insert(QStringLiteral("LC_ALL"), locale);
    process->setProcessEnvironment(env);
    process->start(QStringLiteral(QUANTORIA_EVAL), args);
    return process;
}

void tst_EvalCli::evaluates_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("output");
    QTest::addColumn<int>("exitCode");
    const QString en = QStringLiteral("en_US.UTF-8"), de = QStringLiteral("de_DE.UTF-8");
    QTest::newRow("example") << QStringList{"(12+34)*3"} << en << "138.00\n" << 0;
    QTest::newRow("grouping en") << QStringList{"1234.5"} << en << "1,234.50\n" << 0;
    QTest::newRow("grouping de") << QStringList{"1234.5"} << de << "1.234,50\n" << 0;
    QTest::newRow("de reads its own separator") << QStringList{"0.00015"} << de << "0,00\n" << 0;
    QTest::newRow("precision") << QStringList{"--precision", "9", "1/3"} << en << "0.333300000\n"
                               << 0;
    QTest::newRow("no separators") << QStringList{"--no-separators", "1234.5"} << en << "1234.50\n"
                                   << 0;
    QTest::newRow("script error") << QStringList{"%5"} << en << "Exception occurred\n" << 1;
    QTest::newRow("conversion error")
        << QStringList{"1/0"} << en << "'INF' is not a valid floating point value.\n"
        << 1;
    QTest::newRow("several") << QStringList{"1+1", "2+2"} << en << "2.00\n4.00\n" << 0;
}

void tst_EvalCli::evaluates() {
    QFETCH(QStringList, args);
    QFETCH(QString, locale);
    QFETCH(QString, output);
    QFETCH(int, exitCode);
    std::unique_ptr<QProcess> p(Run(args, locale));
    QVERIFY(p->waitForFinished(30000));
    QCOMPARE(QString::fromUtf8(p->readAllStandardOutput()), output);
    QCOMPARE(p->exitCode(), exitCode);
}

void tst_EvalCli::readsStandardInput() {
    std::unique_ptr<QProcess> p(Run({}, QStringLiteral("en_US.UTF-8")));
    QVERIFY(p->waitForStarted(10000));
    p->write("50%\r\n200+10%\n\n7%3\n");
    p->closeWriteChannel();
    QVERIFY(p->waitForFinished(30000));
    QCOMPARE(QString::fromUtf8(p->readAllStandardOutput()),
             QStringLiteral("0.50\n200.10\n\n0.09\n"));
    QCOMPARE(p->exitCode(), 0);
}

void tst_EvalCli::badOptionsShowUsage() {
    std::unique_ptr<QProcess> p(
        Run({QStringLiteral("--precision"), QStringLiteral("10"), QStringLiteral("1")},
            QStringLiteral("C.UTF-8")));
    QVERIFY(p->waitForFinished(30000));
    QCOMPARE(p->exitCode(), 2);
    QVERIFY(p->readAllStandardOutput().isEmpty());
    QVERIFY(p->readAllStandardError().contains("usage"));
}

QTEST_GUILESS_MAIN(tst_EvalCli)
#include "tst_EvalCli.moc"
