#include "platform/QtShellNotify.h"

#include <QApplication>
#include <QTest>

namespace {

using Messages = std::vector<uint32_t>;

class NoWindow final : public MessageWindow {
public:
    void Dispatch(TMessage&) override { ++received; }
    int received = 0;
};

} // namespace

char* toString(const std::vector<uint32_t>& messages) {
    QByteArray text = "{";
    for (uint32_t message : messages)
        text += QByteArray(text.size() > 1 ? ", 0x" : "0x") + QByteArray::number(message, 16);
    return qstrdup(text + "}");
}

// The QSystemTrayIcon host, as far as it can run without a notification area (offscreen).
class tst_TrayIconHost : public QObject {
    Q_OBJECT
private slots:
    void activationsBecomeButtonMessages_data();
    void activationsBecomeButtonMessages();
    void withoutNotificationAreaNothingIsTaken();
};

void tst_TrayIconHost::activationsBecomeButtonMessages_data() {
    QTest::addColumn<QSystemTrayIcon::ActivationReason>("reason");
    QTest::addColumn<bool>("hostReportsDoubleClicks");
    QTest::addColumn<Messages>("expected");
    using namespace WindowMessage;
    // XEmbed: one report per press, none per release; a double click is Trigger, DoubleClick.
    QTest::newRow("XEmbed Trigger")
        << QSystemTrayIcon::Trigger << true << Messages{LButtonDown, LButtonUp};
    QTest::newRow("XEmbed DoubleClick")
        << QSystemTrayIcon::DoubleClick << true << Messages{LButtonDblClk, LButtonUp};
    QTest::newRow("XEmbed Context")
        << QSystemTrayIcon::Context << true << Messages{RButtonDown, RButtonUp};
    QTest::newRow("XEmbed MiddleClick")
        << QSystemTrayIcon::MiddleClick << true << Messages{MButtonDown, MButtonUp};
    QTest::newRow("XEmbed Unknown") << QSystemTrayIcon::Unknown << true << Messages{};
    // StatusNotifierItem: "Activate" is the main action, the double click of the icon.
    QTest::newRow("SNI Activate (Trigger)")
        << QSystemTrayIcon::Trigger << false << Messages{LButtonDblClk, LButtonUp};
    QTest::newRow("SNI ContextMenu")
        << QSystemTrayIcon::Context << false << Messages{RButtonDown, RButtonUp};
    QTest::newRow("SNI SecondaryActivate")
        << QSystemTrayIcon::MiddleClick << false << Messages{MButtonDown, MButtonUp};
}

void tst_TrayIconHost::activationsBecomeButtonMessages() {
    QFETCH(QSystemTrayIcon::ActivationReason, reason);
    QFETCH(bool, hostReportsDoubleClicks);
    QFETCH(Messages, expected);
    QCOMPARE(QtShellNotify::ButtonMessages(reason, hostReportsDoubleClicks), expected);
}

void tst_TrayIconHost::withoutNotificationAreaNothingIsTaken() {
    QtShellNotify host;
    QVERIFY(!host.AreaAvailable());
    NoWindow window;
    NotifyIconData record;
    record.window = &window;
    record.id = 1;
    record.flags = NotifyFlag::Message | NotifyFlag::Icon | NotifyFlag::Info;
    record.callbackMessage = WindowMessage::User + 1;
    int changes = 0;
    host.WatchArea([&](bool) { ++changes; });
    QVERIFY(!host.NotifyIcon(NotifyCommand::Add, record));
    QVERIFY(!host.NotifyIcon(NotifyCommand::Modify, record));
    QVERIFY(!host.NotifyIcon(NotifyCommand::Delete, record));
    QCOMPARE(changes, 0);
    QCOMPARE(window.received, 0);
    host.WatchArea({});
}

QTEST_MAIN(tst_TrayIconHost)
#include "tst_TrayIconHost.moc"
