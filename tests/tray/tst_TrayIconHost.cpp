#include "QtShellNotify.h"
#include "TrayBalloon.h"
#include "XEmbedTray.h"

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

// The notification-area host, as far as it runs without a desktop (offscreen, no session bus).
class tst_TrayIconHost : public QObject {
    Q_OBJECT
private slots:
    void statusNotifierCallsBecomeButtonMessages_data();
    void statusNotifierCallsBecomeButtonMessages();
    void xembedMouseEventsBecomeButtonMessages_data();
    void xembedMouseEventsBecomeButtonMessages();
    void balloonPointsAtTheIcon_data();
    void balloonPointsAtTheIcon();
    void withoutNotificationAreaNothingIsTaken();
};

void tst_TrayIconHost::balloonPointsAtTheIcon_data() {
    QTest::addColumn<QRect>("icon");
    QTest::addColumn<bool>("below");
    const int w = 1280, h = 1024;
    QTest::newRow("top right") << QRect(w - 24, 0, 24, 24) << true;
    QTest::newRow("top left") << QRect(0, 0, 24, 24) << true;
    QTest::newRow("bottom right") << QRect(w - 22, h - 22, 22, 22) << false;
    QTest::newRow("bottom left") << QRect(2, h - 30, 24, 24) << false;
    QTest::newRow("bottom middle") << QRect(w / 2, h - 24, 24, 24) << false;
    QTest::newRow("left edge, middle") << QRect(0, h / 2 - 40, 24, 24) << true;
}

void tst_TrayIconHost::balloonPointsAtTheIcon() {
    QFETCH(QRect, icon);
    QFETCH(bool, below);
    const QRect screen(0, 0, 1280, 1024);
    for (const QSize size : {QSize(300, 80), QSize(120, 40), QSize(1400, 60)}) {
        const auto p = TrayBalloon::Place(icon, screen, size);
        QCOMPARE(p.below, below);
        QCOMPARE(p.frame.height(), size.height() + TrayBalloon::kTail);
        if (size.width() <= screen.width())
            QVERIFY2(screen.contains(p.frame),
                     qPrintable(QStringLiteral("%1 %2").arg(p.frame.x()).arg(p.frame.y())));
        // The tail's tip touches the icon's edge facing the balloon, within the icon's width.
        const QPoint tip = p.frame.topLeft() + p.tip;
        QCOMPARE(tip.y(), below ? icon.bottom() + 1 : icon.top() - 1);
        if (size.width() <= screen.width())
            QVERIFY2(tip.x() >= icon.left() && tip.x() <= icon.right(),
                     qPrintable(QString::number(tip.x())));
        QVERIFY(p.box.height() == size.height() &&
                p.frame.contains(p.box.translated(p.frame.topLeft())));
    }
}

void tst_TrayIconHost::statusNotifierCallsBecomeButtonMessages_data() {
    QTest::addColumn<StatusNotifierItem::Action>("action");
    QTest::addColumn<Messages>("expected");
    using namespace WindowMessage;
    // "Activate" is the main action, the double click of the icon: it restores.
    QTest::newRow("Activate") << StatusNotifierItem::Action::Activate
                              << Messages{LButtonDblClk, LButtonUp};
    // The item's own menu is asked for: the right button's press, then its release.
    QTest::newRow("ContextMenu") << StatusNotifierItem::Action::ContextMenu
                                 << Messages{RButtonDown, RButtonUp};
    QTest::newRow("SecondaryActivate")
        << StatusNotifierItem::Action::SecondaryActivate << Messages{MButtonDown, MButtonUp};
}

void tst_TrayIconHost::statusNotifierCallsBecomeButtonMessages() {
    QFETCH(StatusNotifierItem::Action, action);
    QFETCH(Messages, expected);
    QCOMPARE(QtShellNotify::ButtonMessages(action), expected);
}

// One mouse event on the docked icon: its kind, button, time (ms) and place.
struct MouseStep {
    QEvent::Type type;
    Qt::MouseButton button;
    qint64 msecs;
    QPoint pos;
};
using MouseSteps = std::vector<MouseStep>;
Q_DECLARE_METATYPE(MouseSteps)

void tst_TrayIconHost::xembedMouseEventsBecomeButtonMessages_data() {
    QTest::addColumn<MouseSteps>("steps");
    QTest::addColumn<Messages>("expected");
    using namespace WindowMessage;
    constexpr auto Press = QEvent::MouseButtonPress;
    constexpr auto Release = QEvent::MouseButtonRelease;
    const QPoint at(100, 10);
    const struct {
        const char* name;
        Qt::MouseButton button;
        uint32_t down, up, dblclk;
    } buttons[] = {
        {"left", Qt::LeftButton, LButtonDown, LButtonUp, LButtonDblClk},
        {"right", Qt::RightButton, RButtonDown, RButtonUp, RButtonDblClk},
        {"middle", Qt::MiddleButton, MButtonDown, MButtonUp, MButtonDblClk},
    };
    for (const auto& b : buttons) {
        const Qt::MouseButton k = b.button;
        QTest::addRow("%s click", b.name)
            << MouseSteps{{Press, k, 0, at}, {Release, k, 50, at}} << Messages{b.down, b.up};
        // The second press within the interval and the distance is the double click.
        QTest::addRow("%s double click", b.name) << MouseSteps{{Press, k, 0, at},
                                                               {Release, k, 50, at},
                                                               {Press, k, 300, at + QPoint(3, -3)},
                                                               {Release, k, 350, at}}
                                                 << Messages{b.down, b.up, b.dblclk, b.up};
        // A third press starts over; a fourth pairs with it.
        QTest::addRow("%s triple click", b.name) << MouseSteps{{Press, k, 0, at},
                                                               {Press, k, 100, at},
                                                               {Press, k, 200, at},
                                                               {Press, k, 300, at}}
                                                 << Messages{b.down, b.dblclk, b.down, b.dblclk};
        QTest::addRow("%s presses too slow", b.name)
            << MouseSteps{{Press, k, 0, at}, {Press, k, 401, at}} << Messages{b.down, b.down};
        QTest::addRow("%s presses too far apart", b.name)
            << MouseSteps{{Press, k, 0, at}, {Press, k, 100, at + QPoint(6, 0)}}
            << Messages{b.down, b.down};
    }
    QTest::newRow("two buttons do not pair")
        << MouseSteps{{Press, Qt::LeftButton, 0, at}, {Press, Qt::RightButton, 100, at}}
        << Messages{LButtonDown, RButtonDown};
    QTest::newRow("a clock going back does not pair")
        << MouseSteps{{Press, Qt::LeftButton, 1000, at}, {Press, Qt::LeftButton, 900, at}}
        << Messages{LButtonDown, LButtonDown};
    QTest::newRow("move") << MouseSteps{{QEvent::MouseMove, Qt::NoButton, 0, at}}
                          << Messages{MouseMove};
    // Qt's double-click event stands for the second press, whether the press came too or not.
    constexpr auto DblClick = QEvent::MouseButtonDblClick;
    QTest::newRow("Qt double click without its press")
        << MouseSteps{{Press, Qt::LeftButton, 0, at},
                      {Release, Qt::LeftButton, 50, at},
                      {DblClick, Qt::LeftButton, 300, at},
                      {Release, Qt::LeftButton, 350, at}}
        << Messages{LButtonDown, LButtonUp, LButtonDblClk, LButtonUp};
    QTest::newRow("Qt double click after its press")
        << MouseSteps{{Press, Qt::RightButton, 0, at},
                      {Release, Qt::RightButton, 50, at},
                      {Press, Qt::RightButton, 300, at},
                      {DblClick, Qt::RightButton, 300, at},
                      {Release, Qt::RightButton, 350, at}}
        << Messages{RButtonDown, RButtonUp, RButtonDblClk, 0, RButtonUp};
    // Synthetic input may give all four events one time.
    QTest::newRow("Qt double click, all at one time")
        << MouseSteps{{Press, Qt::MiddleButton, 7, at},
                      {Release, Qt::MiddleButton, 7, at},
                      {DblClick, Qt::MiddleButton, 7, at},
                      {Release, Qt::MiddleButton, 7, at}}
        << Messages{MButtonDown, MButtonUp, MButtonDblClk, MButtonUp};
    QTest::newRow("others are nothing") << MouseSteps{{Press, Qt::BackButton, 0, at},
                                                      {QEvent::Wheel, Qt::NoButton, 0, at},
                                                      {QEvent::Enter, Qt::NoButton, 0, at}}
                                        << Messages{0, 0, 0};
}

void tst_TrayIconHost::xembedMouseEventsBecomeButtonMessages() {
    QFETCH(MouseSteps, steps);
    QFETCH(Messages, expected);
    XEmbedTray::ButtonReader reader(400, 5);
    Messages read;
    for (const MouseStep& step : steps)
        read.push_back(reader.Read(step.type, step.button, step.msecs, step.pos));
    QCOMPARE(read, expected);
}

void tst_TrayIconHost::withoutNotificationAreaNothingIsTaken() {
    // A bus that cannot be reached: no StatusNotifierItem host, whatever the machine runs.
    QtShellNotify host(QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent"),
                                                     QStringLiteral("unreachable")));
    QVERIFY(!host.AreaAvailable());
    QVERIFY(!XEmbedTray::Available());
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
