#include "ApplicationIcon.h"
#include "WindowMessage.h"
#include "support/MainWindowFixture.h"

#include <QMenu>
#include <QPlainTextEdit>
#include <QTimer>
#include <QWindowStateChangeEvent>
#include <set>

// The main window in the notification area, against a recording host.
class tst_FormMainTray : public QObject {
    Q_OBJECT
private slots:
    void init() {
        QApplication::setWindowIcon(ApplicationIcon());
        f.NewFolder();
    }
    void cleanup() { f.w.reset(); }

    void startAddsIconWithTitleTipAndReminder();
    void closeAndMinimiseHideIntoTheIcon_data();
    void closeAndMinimiseHideIntoTheIcon();
    void doubleClickRestoresAsItWas();
    void singleClickDoesNothing();
    void rightButtonReleasePopsTheExitMenu();
    void withoutNotificationAreaTheWindowMinimises();
    void lateNotificationAreaGetsTheIcon();
    void secondStartBringsItBackFromTheTray();

private:
    int Balloons() const;
    MainWindowFixture f;
};

int tst_FormMainTray::Balloons() const {
    // Reminders asked for: later updates of the icon pass the stored balloon again, under the
    // same serial, and hosts do not show it again.
    std::set<uint32_t> serials;
    for (const auto& call : f.notify.calls)
        if (call.command != NotifyCommand::Delete && call.record.info == kReminderText)
            serials.insert(call.record.infoSerial);
    return int(serials.size());
}

void tst_FormMainTray::startAddsIconWithTitleTipAndReminder() {
    QVERIFY(f.Make());
    QCOMPARE(f.notify.calls.front().command, NotifyCommand::Add);
    const NotifyIconData& last = f.notify.Last();
    // The reminder is too long for a tooltip: the tooltip stays the title.
    QCOMPARE(last.tip, QStringLiteral("Quantoria"));
    QVERIFY(last.flags & NotifyFlag::Tip);
    QCOMPARE(last.infoTitle, QStringLiteral("Quantoria"));
    QCOMPARE(last.info,
             QStringLiteral("You can double click this icon to restore calculator at any time."));
    QCOMPARE(last.timeout, 5000u);
    QCOMPARE(last.infoFlags, uint32_t(BalloonIcon::Info));
    QVERIFY(!last.icon.isNull());
    QCOMPARE(Balloons(), 1);
    QVERIFY(f.errors.messages.isEmpty());
}

void tst_FormMainTray::closeAndMinimiseHideIntoTheIcon_data() {
    QTest::addColumn<bool>("minimise");
    QTest::newRow("close") << false;
    QTest::newRow("minimise") << true;
}

void tst_FormMainTray::closeAndMinimiseHideIntoTheIcon() {
    QFETCH(bool, minimise);
    QVERIFY(f.Make());
    const int before = Balloons();
    if (minimise)
        f.w->setWindowState(f.w->windowState() | Qt::WindowMinimized);
    else
        QVERIFY(!f.w->close());
    QTRY_VERIFY(!f.w->isVisible());
    QCOMPARE(Balloons(), before + 1);
    QCOMPARE(f.notify.Commands().back(), NotifyCommand::Modify); // the icon stays

    // The window manager's late word on the minimised state of the hidden window is no new
    // minimise: no second reminder.
    QWindowStateChangeEvent late(Qt::WindowNoState);
    QApplication::sendEvent(f.w.get(), &late);
    QCOMPARE(Balloons(), before + 1);

    // Shown again and minimised again: a reminder again.
    f.w->BringToFront();
    QTRY_VERIFY(f.w->isVisible());
    f.w->setWindowState(f.w->windowState() | Qt::WindowMinimized);
    QTRY_VERIFY(!f.w->isVisible());
    QCOMPARE(Balloons(), before + 2);
}

void tst_FormMainTray::doubleClickRestoresAsItWas() {
    QVERIFY(f.Make());
    f.Evaluate(2, QStringLiteral("6*7"));
    const QString history = f.w->m_memoHistory->toPlainText();
    QVERIFY(!f.w->close());
    QTRY_VERIFY(!f.w->isVisible());
    const int balloons = Balloons();
    f.notify.Button(WindowMessage::LButtonDown);
    f.notify.Button(WindowMessage::LButtonUp);
    f.notify.Button(WindowMessage::LButtonDblClk);
    f.notify.Button(WindowMessage::LButtonUp);
    QTRY_VERIFY(f.w->isVisible());
    QVERIFY(!(f.w->windowState() & Qt::WindowMinimized));
    QCOMPARE(f.w->editResult[2]->text(), QStringLiteral("42.00"));
    QCOMPARE(f.w->m_memoHistory->toPlainText(), history);
    QCOMPARE(Balloons(), balloons); // none on the way back
}

void tst_FormMainTray::singleClickDoesNothing() {
    QVERIFY(f.Make());
    QVERIFY(!f.w->close());
    QTRY_VERIFY(!f.w->isVisible());
    f.notify.Button(WindowMessage::LButtonDown);
    f.notify.Button(WindowMessage::LButtonUp);
    QCoreApplication::processEvents();
    QVERIFY(!f.w->isVisible());
}

void tst_FormMainTray::rightButtonReleasePopsTheExitMenu() {
    QVERIFY(f.Make());
    QStringList shown;
    connect(f.w->popupMenuTray, &QMenu::aboutToShow, this, [&] {
        for (QAction* a : f.w->popupMenuTray->actions())
            shown << a->text();
        QTimer::singleShot(0, f.w->popupMenuTray, &QMenu::close);
    });
    f.notify.Button(WindowMessage::RButtonDown);
    QVERIFY(shown.isEmpty()); // nothing on the press
    f.notify.Button(WindowMessage::RButtonUp);
    QTRY_COMPARE(shown, QStringList{QStringLiteral("Exit")});
    QCOMPARE(f.w->popmenuExit->text(), QStringLiteral("Exit"));
}

void tst_FormMainTray::withoutNotificationAreaTheWindowMinimises() {
    f.notify.available = false;
    QVERIFY(f.Make());
    QVERIFY(f.errors.messages.isEmpty()); // the program starts all the same
    const int balloons = Balloons();
    QVERIFY(!f.w->close());
    QTRY_VERIFY(f.w->windowState() & Qt::WindowMinimized);
    QVERIFY(f.w->isVisible()); // still on the taskbar
    QCOMPARE(Balloons(), balloons);
}

void tst_FormMainTray::lateNotificationAreaGetsTheIcon() {
    f.notify.available = false;
    QVERIFY(f.Make());
    f.notify.calls.clear();
    f.notify.SetArea(true);
    QCOMPARE(f.notify.calls.front().command, NotifyCommand::Add);
    QVERIFY(!f.w->close());
    QTRY_VERIFY(!f.w->isVisible());
    // The area goes away while the window is in it: the window comes back to the taskbar.
    f.notify.SetArea(false);
    QTRY_VERIFY(f.w->isVisible());
}

void tst_FormMainTray::secondStartBringsItBackFromTheTray() {
    QVERIFY(f.Make());
    QVERIFY(!f.w->close());
    QTRY_VERIFY(!f.w->isVisible());
    f.w->BringToFront();
    QTRY_VERIFY(f.w->isVisible());
    QVERIFY(!(f.w->windowState() & Qt::WindowMinimized));
    // The tray state is consistent: closing hides it again.
    QVERIFY(!f.w->close());
    QTRY_VERIFY(!f.w->isVisible());
}

QTEST_MAIN(tst_FormMainTray)
#include "tst_FormMainTray.moc"
