#include "ApplicationIcon.h"
#include "support/MainWindowFixture.h"

// A second start's launch tokens reach the activation seam once the window is back on the screen.
class tst_FormMainActivation : public QObject {
    Q_OBJECT
private slots:
    void init() {
        QApplication::setWindowIcon(ApplicationIcon());
        f.NewFolder();
    }
    void cleanup() { f.w.reset(); }

    void bringToFrontHandsOverTheTokens_data();
    void bringToFrontHandsOverTheTokens();

private:
    MainWindowFixture f;
};

void tst_FormMainActivation::bringToFrontHandsOverTheTokens_data() {
    QTest::addColumn<bool>("notificationArea"); // closing hides into the icon, else minimises
    QTest::addColumn<QString>("activationToken");
    QTest::addColumn<QString>("startupId");
    for (const bool area : {true, false}) {
        const char* where = area ? "from the tray" : "from the minimised state";
        QTest::addRow("%s, no tokens", where) << area << QString() << QString();
        QTest::addRow("%s, wayland token", where) << area << "6d2f0a" << QString();
        QTest::addRow("%s, startup id", where) << area << QString() << "launcher-9-host_TIME4711";
        QTest::addRow("%s, both", where) << area << "6d2f0a"
                                         << "launcher-9-host_TIME4711";
    }
}

void tst_FormMainActivation::bringToFrontHandsOverTheTokens() {
    QFETCH(bool, notificationArea);
    QFETCH(QString, activationToken);
    QFETCH(QString, startupId);
    f.notify.available = notificationArea;
    QVERIFY(f.Make());
    QVERIFY(!f.w->close());
    if (notificationArea)
        QTRY_VERIFY(!f.w->isVisible());
    else
        QTRY_VERIFY(f.w->windowState() & Qt::WindowMinimized);

    const LaunchTokens tokens{activationToken, startupId};
    f.w->BringToFront(tokens);
    QVERIFY(f.w->isVisible());
    QVERIFY(!(f.w->windowState() & Qt::WindowMinimized));
    if (tokens.IsEmpty()) {
        // No tokens: the toolkit's raise alone, as before.
        QCOMPARE(f.activation.calls.size(), size_t(0));
        return;
    }
    QCOMPARE(f.activation.calls.size(), size_t(1));
    const RecordingWindowActivation::Call& call = f.activation.calls.front();
    QCOMPARE(call.window.data(), f.w->windowHandle());
    QVERIFY2(call.visible, "the window was asked to activate before it was shown");
    QCOMPARE(call.tokens, tokens);
}

QTEST_MAIN(tst_FormMainActivation)
#include "tst_FormMainActivation.moc"
