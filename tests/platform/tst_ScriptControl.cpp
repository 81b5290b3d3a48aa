#include "Errors.h"
#include "ScriptEngine.h"

#include <QElapsedTimer>
#include <QTest>

#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

class tst_ScriptControl : public QObject {
    Q_OBJECT
private slots:
    void unknownProgIdIsInvalidClassString();
    void onlyJavaScriptIsALanguage_data();
    void onlyJavaScriptIsALanguage();
    void evalBeforeLanguageFails();
    void valueKinds_data();
    void valueKinds();
    void scriptErrorsAreExceptionOccurred_data();
    void scriptErrorsAreExceptionOccurred();
    void noExtensionsInstalled_data();
    void noExtensionsInstalled();
    void runawayScriptIsAbortedAndEngineRecovers_data();
    void runawayScriptIsAbortedAndEngineRecovers();
    void memoryGrowthIsStopped();
    void memoryKeptAcrossEvaluationsCounts();
    void queuedJobsRunBeforeTheAnswer_data();
    void queuedJobsRunBeforeTheAnswer();
    void crashRestartsTheEngineAndSaysSo_data();
    void crashRestartsTheEngineAndSaysSo();
    void wakeDescriptorGivesUpTheEvaluation();
    void statusMessages_data();
    void statusMessages();
    void errorBoxText_data();
    void errorBoxText();

private:
    static std::unique_ptr<ScriptControl> Engine(ScriptLimits limits = {}) {
        auto engine = CreateOleObject(kScriptControlProgId, limits);
        engine->SetLanguage(QStringLiteral("JavaScript"));
        return engine;
    }
    static uint32_t FailureOf(ScriptControl& engine, const QString& text) {
        try {
            engine.Eval(text);
        } catch (const EOleSysError& e) {
            return e.ErrorCode();
        }
        return 0;
    }
};

void tst_ScriptControl::unknownProgIdIsInvalidClassString() {
    try {
        CreateOleObject(QStringLiteral("No.Such.Control"));
        QFAIL("created an unknown class");
    } catch (const EOleSysError& e) {
        QCOMPARE(e.ErrorCode(), Status::InvalidClassString);
        QCOMPARE(e.Message(), QStringLiteral("Invalid class string"));
    }
    QVERIFY(CreateOleObject(QStringLiteral("msscriptcontrol.scriptcontrol")) != nullptr);
}

void tst_ScriptControl::onlyJavaScriptIsALanguage_data() {
    QTest::addColumn<QString>("language");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("JavaScript") << "JavaScript" << true;
    QTest::newRow("any case") << "javascript" << true;
    QTest::newRow("VBScript") << "VBScript" << false;
    QTest::newRow("empty") << "" << false;
}

void tst_ScriptControl::onlyJavaScriptIsALanguage() {
    QFETCH(QString, language);
    QFETCH(bool, accepted);
    auto engine = CreateOleObject(kScriptControlProgId);
    bool ok = true;
    try {
        engine->SetLanguage(language);
    } catch (const EOleSysError&) {
        ok = false;
    }
    QCOMPARE(ok, accepted);
    // A refused language leaves the engine without one: it evaluates nothing.
    QCOMPARE(FailureOf(*engine, QStringLiteral("1")), accepted ? 0u : Status::ExceptionOccurred);
}

void tst_ScriptControl::evalBeforeLanguageFails() {
    auto engine = CreateOleObject(kScriptControlProgId);
    QCOMPARE(FailureOf(*engine, QStringLiteral("1")), Status::ExceptionOccurred);
}

void tst_ScriptControl::valueKinds_data() {
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("text");
    using K = Variant::Kind;
    QTest::newRow("undefined") << "undefined" << int(K::Empty) << "";
    QTest::newRow("statement") << "var x = 1" << int(K::Empty) << "";
    QTest::newRow("null") << "null" << int(K::Null) << "";
    QTest::newRow("int") << "2+3" << int(K::Integer) << "";
    QTest::newRow("int32 max") << "2147483647" << int(K::Integer) << "";
    QTest::newRow("beyond int32") << "2147483648" << int(K::Double) << "";
    QTest::newRow("fraction") << "1/4" << int(K::Double) << "";
    QTest::newRow("negative zero") << "-0" << int(K::Double) << "";
    QTest::newRow("bool") << "true" << int(K::Boolean) << "";
    QTest::newRow("string") << "'abc'" << int(K::Text) << "abc";
    QTest::newRow("array") << "[1,[2,3]]" << int(K::Object) << "1,2,3";
    QTest::newRow("function") << "(function(){})" << int(K::Object)
                              << "function() { [native code] }";
    QTest::newRow("custom text") << "({toString:function(){return 'x'}})" << int(K::Object) << "x";
}

void tst_ScriptControl::valueKinds() {
    QFETCH(QString, script);
    QFETCH(int, kind);
    QFETCH(QString, text);
    auto engine = Engine();
    const Variant v = engine->Eval(script);
    QCOMPARE(int(v.kind), kind);
    if (v.kind == Variant::Kind::Text ||
        (v.kind == Variant::Kind::Object && !text.contains(QLatin1String("function"))))
        QCOMPARE(v.text, text);
}

void tst_ScriptControl::scriptErrorsAreExceptionOccurred_data() {
    QTest::addColumn<QString>("script");
    QTest::newRow("syntax") << "1+";
    QTest::newRow("unknown name") << "nosuchname";
    QTest::newRow("throw number") << "throw 5";
    QTest::newRow("throw undefined") << "throw undefined";
    QTest::newRow("recursion") << "function f(){return f()} f()";
    QTest::newRow("deep nesting") << QString(100000, QLatin1Char('(')) + QLatin1Char('1') +
                                         QString(100000, QLatin1Char(')'));
    QTest::newRow("deep unary") << QString(100000, QLatin1Char('-')) + QLatin1Char('1');
}

void tst_ScriptControl::scriptErrorsAreExceptionOccurred() {
    QFETCH(QString, script);
    auto engine = Engine();
    QCOMPARE(FailureOf(*engine, script), Status::ExceptionOccurred);
    QCOMPARE(engine->Eval(QStringLiteral("6*7")).integer, 42);
}

void tst_ScriptControl::noExtensionsInstalled_data() {
    QTest::addColumn<QString>("name");
    QTest::newRow("console") << "console";
    QTest::newRow("print") << "print";
    QTest::newRow("Qt") << "Qt";
    QTest::newRow("qsTr") << "qsTr";
    QTest::newRow("XMLHttpRequest") << "XMLHttpRequest";
}

void tst_ScriptControl::noExtensionsInstalled() {
    QFETCH(QString, name);
    auto engine = Engine();
    QCOMPARE(engine->Eval(QStringLiteral("typeof ") + name).text, QStringLiteral("undefined"));
}

void tst_ScriptControl::runawayScriptIsAbortedAndEngineRecovers_data() {
    QTest::addColumn<QString>("script");
    QTest::newRow("endless loop") << "while(1){}";
    QTest::newRow("catch cannot swallow") << "while(1){try{while(1){}}catch(e){}}";
    QTest::newRow("finally cannot swallow") << "for(;;){try{for(;;){}}finally{continue}}";
    QTest::newRow("endless text conversion") << "({toString:function(){for(;;){}}})";
}

void tst_ScriptControl::runawayScriptIsAbortedAndEngineRecovers() {
    QFETCH(QString, script);
    auto engine = Engine({300ms, int64_t(1) << 40});
    QCOMPARE(FailureOf(*engine, script), Status::Aborted);
    QCOMPARE(engine->Eval(QStringLiteral("1+1")).integer, 2);
}

void tst_ScriptControl::memoryGrowthIsStopped() {
    auto engine = Engine({60s, int64_t(64) << 20});
    QCOMPARE(FailureOf(*engine, QStringLiteral("var a=[];while(1)a.push([a,a,a,a])")),
             Status::OutOfMemory);
    QCOMPARE(engine->Eval(QStringLiteral("2+2")).integer, 4);
}

void tst_ScriptControl::memoryKeptAcrossEvaluationsCounts() {
    // Each evaluation keeps about 32 MiB; the limit is 100 MiB over all of them.
    auto engine = Engine({60s, int64_t(100) << 20});
    const QString keep = QStringLiteral(
        "(this.g||Object.defineProperty(this,'g',{value:[]}).g).push(Array(4e6).fill(0.5))");
    uint32_t failure = 0;
    int kept = 0;
    for (; kept < 20 && !failure; ++kept)
        failure = FailureOf(*engine, keep);
    QCOMPARE(failure, Status::OutOfMemory);
    QVERIFY2(kept > 1 && kept < 10, qPrintable(QString::number(kept)));
    QCOMPARE(engine->Eval(QStringLiteral("2+2")).integer, 4);
}

void tst_ScriptControl::queuedJobsRunBeforeTheAnswer_data() {
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("then");
    QTest::addColumn<int>("value");
    QTest::newRow("then") << "var x=1; Promise.resolve().then(function(){x=9}); 2"
                          << "x" << 9;
    QTest::newRow("chain") << "var n=0; (function f(){if(++n<50)Promise.resolve().then(f)})(); 1"
                           << "n" << 50;
    QTest::newRow("rejection ignored") << "var y=3; Promise.reject(1).catch(function(){y=4}); 0"
                                       << "y" << 4;
}

void tst_ScriptControl::queuedJobsRunBeforeTheAnswer() {
    QFETCH(QString, script);
    QFETCH(QString, then);
    QFETCH(int, value);
    auto engine = Engine();
    engine->Eval(script);
    QCOMPARE(engine->Eval(then).integer, value);
}

void tst_ScriptControl::crashRestartsTheEngineAndSaysSo_data() {
    QTest::addColumn<QString>("script");
    QTest::addColumn<uint>("status");
    QTest::newRow("queued endless job")
        << "Promise.resolve().then(function(){while(1){}}); 2" << uint(Status::Aborted);
    QTest::newRow("nested array text")
        << "var a=[];for(var i=0;i<1e5;i++)a=[a];String(a).length" << uint(Status::ServerFault);
}

void tst_ScriptControl::crashRestartsTheEngineAndSaysSo() {
    QFETCH(QString, script);
    QFETCH(uint, status);
    auto engine = Engine({500ms, int64_t(256) << 20});
    engine->Eval(QStringLiteral("var kept = 5"));
    try {
        engine->Eval(script);
        QFAIL("the script did not fail");
    } catch (const EOleSysError& e) {
        QCOMPARE(e.ErrorCode(), status);
        if (status == Status::ServerFault)
            QCOMPARE(e.Message(), StatusMessage(status) + kEngineRestartedNote);
        else // stopped by the engine's own watchdog: the variables stay
            QCOMPARE(e.Message(), StatusMessage(status));
    }
    QCOMPARE(engine->Eval(QStringLiteral("typeof kept")).text, status == Status::ServerFault
                                                                   ? QStringLiteral("undefined")
                                                                   : QStringLiteral("number"));
    QCOMPARE(engine->Eval(QStringLiteral("6*7")).integer, 42);
}

void tst_ScriptControl::wakeDescriptorGivesUpTheEvaluation() {
    int wake[2];
    QCOMPARE(::pipe(wake), 0);
    ScriptLimits limits;
    limits.wakeFd = wake[0];
    auto engine = CreateOleObject(kScriptControlProgId, limits);
    engine->SetLanguage(QStringLiteral("JavaScript"));
    QCOMPARE(engine->Eval(QStringLiteral("1")).integer, 1);
    QElapsedTimer timer;
    timer.start();
    std::thread waker([&] {
        std::this_thread::sleep_for(300ms);
        [[maybe_unused]] const ssize_t n = ::write(wake[1], "x", 1);
    });
    QCOMPARE(FailureOf(*engine, QStringLiteral("while(1){}")), Status::Aborted);
    waker.join();
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
    ::close(wake[0]);
    ::close(wake[1]);
}

void tst_ScriptControl::statusMessages_data() {
    QTest::addColumn<uint>("status");
    QTest::addColumn<QString>("message");
    QTest::newRow("exception") << uint(Status::ExceptionOccurred) << "Exception occurred";
    QTest::newRow("aborted") << uint(Status::Aborted) << "Operation aborted";
    QTest::newRow("class") << uint(Status::ClassNotRegistered) << "Class not registered";
    QTest::newRow("server fault") << uint(Status::ServerFault) << "The server threw an exception";
    QTest::newRow("unknown code") << uint(0x800A1234) << "OLE error 800A1234";
    QTest::newRow("leading zeros") << uint(0x1234) << "OLE error 00001234";
}

void tst_ScriptControl::statusMessages() {
    QFETCH(uint, status);
    QFETCH(QString, message);
    QCOMPARE(EOleSysError(status).Message(), message);
}

void tst_ScriptControl::errorBoxText_data() {
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("text");
    QTest::newRow("letter") << "Invalid class string"
                            << "Invalid class string.";
    QTest::newRow("digit") << "OLE error 80004005"
                           << "OLE error 80004005.";
    QTest::newRow("full stop kept") << "Done."
                                    << "Done.";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("closing parenthesis") << "Failed (code 5)"
                                         << "Failed (code 5)";
}

void tst_ScriptControl::errorBoxText() {
    QFETCH(QString, message);
    QFETCH(QString, text);
    QCOMPARE(ErrorBoxText(message), text);
}

QTEST_GUILESS_MAIN(tst_ScriptControl)
#include "tst_ScriptControl.moc"
