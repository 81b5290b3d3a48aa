#include "Errors.h"
#include "TrayIcon.h"
#include "support/RecordingShellNotify.h"

#include <QApplication>
#include <QDialog>
#include <QMenu>
#include <QMouseEvent>
#include <QPixmap>
#include <QScopeGuard>
#include <QStyleHints>
#include <QTest>

#include <map>
#include <memory>

Q_DECLARE_METATYPE(NotifyCommand)

char* toString(const std::vector<NotifyCommand>& commands) {
    static const char* const names[] = {"Add", "Modify", "Delete"};
    QByteArray text = "{";
    for (NotifyCommand command : commands)
        text += QByteArray(text.size() > 1 ? ", " : "") + names[int(command)];
    return qstrdup(text + "}");
}

namespace {

using Commands = std::vector<NotifyCommand>;
constexpr NotifyCommand Add = NotifyCommand::Add;
constexpr NotifyCommand Modify = NotifyCommand::Modify;
constexpr NotifyCommand Delete = NotifyCommand::Delete;

const char* const kTriggerNames[] = {"imClick",        "imDoubleClick",      "imMouseDown",
                                     "imMouseUp",      "imLeftClickUp",      "imLeftDoubleClick",
                                     "imRightClickUp", "imRightDoubleClick", "imNone"};

// The reminder the main window offers as hint: 65 characters.
const QString kReminder =
    QStringLiteral("You can double click this icon to restore calculator at any time.");

QIcon Solid(Qt::GlobalColor color) {
    QPixmap pixmap(16, 16);
    pixmap.fill(color);
    return QIcon(pixmap);
}

bool HasBalloon(const NotifyIconData& record, const QString& title, const QString& text,
                uint32_t timeout, uint32_t kind) {
    return (record.flags & NotifyFlag::Info) && record.infoTitle == title && record.info == text &&
           record.timeout == timeout && record.infoFlags == kind;
}

// What one button message does, in order, as the icon's owner sees it: "T<n>" is the trigger
// point of TTrayIconMessage n (Restore when RestoreOn is n, then ShowMenu when PopupMenuOn is n),
// any other text an event. A leading "?" marks what happens only while an OnClick handler is set.
struct ButtonRow {
    const char* name;
    uint32_t message;
    std::vector<const char*> steps;
};

const std::vector<ButtonRow>& ButtonTable() {
    using namespace WindowMessage;
    static const std::vector<ButtonRow> table = {
        {"MOUSEMOVE", MouseMove, {"?move"}},
        {"LBUTTONDOWN", LButtonDown, {"T2", "down L"}},
        {"LBUTTONUP", LButtonUp, {"?T0", "?click", "T3", "up L", "T4"}},
        {"LBUTTONDBLCLK", LButtonDblClk, {"T1", "dblclick", "T5"}},
        {"RBUTTONDOWN", RButtonDown, {"T2", "down R"}},
        {"RBUTTONUP", RButtonUp, {"T3", "up R", "T6"}},
        {"RBUTTONDBLCLK", RButtonDblClk, {"T1", "dblclick", "T7"}},
        {"MBUTTONDOWN", MButtonDown, {"T2", "down M"}},
        {"MBUTTONUP", MButtonUp, {"T3", "up M"}},
        {"MBUTTONDBLCLK", MButtonDblClk, {"T1", "dblclick"}},
        {"MOUSEWHEEL (other)", 0x020A, {}},
        {"zero (other)", 0, {}},
    };
    return table;
}

QStringList Expected(const ButtonRow& row, int restoreOn, int popupMenuOn, bool onClick) {
    QStringList log;
    for (const char* step : row.steps) {
        QString s = QString::fromLatin1(step);
        if (s.startsWith(QLatin1Char('?'))) {
            if (!onClick)
                continue;
            s.remove(0, 1);
        }
        if (s.startsWith(QLatin1Char('T')) && s.size() == 2) {
            const int trigger = s.at(1).digitValue();
            if (restoreOn == trigger)
                log << QStringLiteral("restore");
            if (popupMenuOn == trigger)
                log << QStringLiteral("menu");
        } else {
            log << s;
        }
    }
    return log;
}

// The offscreen platform says, for every pop-up menu and raise, what it cannot do.
QtMessageHandler g_testHandler = nullptr;
void DropPlatformNotes(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtWarningMsg && text.startsWith(QLatin1String("This plugin does not support")))
        return;
    g_testHandler(type, context, text);
}

QString ButtonName(TMouseButton button) {
    return button == mbLeft    ? QStringLiteral("L")
           : button == mbRight ? QStringLiteral("R")
                               : QStringLiteral("M");
}

} // namespace

class tst_TrayIcon : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { g_testHandler = qInstallMessageHandler(DropPlatformNotes); }
    void cleanupTestCase() { qInstallMessageHandler(g_testHandler); }
    void init();
    void cleanup();

    // The record and the host calls.
    void constructionValuesAndFirstAdd();
    void everySetVisibleCallsTheHost_data();
    void everySetVisibleCallsTheHost();
    void hostRefusals_data();
    void hostRefusals();
    void hintRules_data();
    void hintRules();
    void hintBeforeTheIconIsShown();
    void balloonIsPassedAgain_data();
    void balloonIsPassedAgain();
    void everyBalloonIsANewOne();
    void balloonRecord_data();
    void balloonRecord();

    // The host's button messages.
    void buttonTable_data();
    void buttonTable();
    void mouseEventArguments_data();
    void mouseEventArguments();
    void menuPopsUpAtTheCursor();
    void menuIsOfferedToHostsThatShowMenus();
    void secondPressOnTheOpenMenuIsADoubleClick_data();
    void secondPressOnTheOpenMenuIsADoubleClick();

    // Images.
    void animationStepsThroughTheImages();
    void animateNeedsIcons_data();
    void animateNeedsIcons();
    void goneComponentsAreForgotten_data();
    void goneComponentsAreForgotten();

    // The application window.
    void minimiseIntoTheIconAndRestore_data();
    void minimiseIntoTheIconAndRestore();
    void watchFollowsTheIcon_data();
    void watchFollowsTheIcon();
    void hookCommands_data();
    void hookCommands();

    // End of the session and of the component.
    void sessionMessages_data();
    void sessionMessages();
    void destructionRemovesTheIcon_data();
    void destructionRemovesTheIcon();

private:
    void Log(const QString& entry) { m_log << entry; }
    void LogEverything();
    bool WindowInTray() const { return !m_window->isVisible(); }

    std::unique_ptr<RecordingShellNotify> m_host;
    std::unique_ptr<QWidget> m_window;
    std::unique_ptr<TTrayIcon> m_tray;
    QStringList m_log;
    int m_minimized = 0;
    int m_restored = 0;
};

void tst_TrayIcon::init() {
    m_host = std::make_unique<RecordingShellNotify>();
    m_window = std::make_unique<QWidget>();
    m_window->resize(240, 120);
    m_window->show();
    m_tray = std::make_unique<TTrayIcon>(*m_host);
    m_tray->SetApplicationWindow(m_window.get());
    m_log.clear();
    m_minimized = m_restored = 0;
    m_tray->OnMinimize = [this](QObject*) { ++m_minimized; };
    m_tray->OnRestore = [this](QObject*) { ++m_restored; };
}

void tst_TrayIcon::cleanup() {
    m_tray.reset();
    m_window.reset();
    m_host.reset();
}

void tst_TrayIcon::LogEverything() {
    m_tray->OnRestore = [this](QObject*) { Log(QStringLiteral("restore")); };
    m_tray->OnDblClick = [this](QObject*) { Log(QStringLiteral("dblclick")); };
    m_tray->OnMouseMove = [this](QObject*, TShiftState, int, int) { Log(QStringLiteral("move")); };
    m_tray->OnMouseDown = [this](QObject*, TMouseButton b, TShiftState, int, int) {
        Log(QStringLiteral("down ") + ButtonName(b));
    };
    m_tray->OnMouseUp = [this](QObject*, TMouseButton b, TShiftState, int, int) {
        Log(QStringLiteral("up ") + ButtonName(b));
    };
}

void tst_TrayIcon::constructionValuesAndFirstAdd() {
    QCOMPARE(m_tray->Visible(), false);
    QCOMPARE(m_tray->Hint(), QString());
    QCOMPARE(m_tray->PopupMenu(), nullptr);
    QCOMPARE(m_tray->RestoreOn(), imDoubleClick);
    QCOMPARE(m_tray->PopupMenuOn(), imNone);
    QCOMPARE(m_tray->Icons(), nullptr);
    QCOMPARE(m_tray->IconIndex(), 0);
    QCOMPARE(m_tray->AnimateInterval(), 1000);
    QCOMPARE(m_tray->Animate(), false);
    QVERIFY(m_host->calls.empty());

    m_tray->SetVisible(true);
    QCOMPARE(m_host->Commands(), Commands{Add});
    const NotifyIconData added = m_host->Last();
    QCOMPARE(added.window, m_tray->Handle());
    QCOMPARE(added.flags, 0x13u);
    QCOMPARE(added.callbackMessage, 0x401u);
    QCOMPARE(added.tip, QString());
    QCOMPARE(added.info, QString());

    // The id is the instance's own, the same on every call.
    m_tray->SetHint(QStringLiteral("Quantoria"));
    m_tray->SetVisible(false);
    for (const auto& call : m_host->calls)
        QCOMPARE(call.record.id, added.id);
    RecordingShellNotify otherHost;
    TTrayIcon other(otherHost);
    other.SetVisible(true);
    QVERIFY(otherHost.Last().id != added.id);
    QVERIFY(otherHost.Last().window != added.window);
}

void tst_TrayIcon::everySetVisibleCallsTheHost_data() {
    QTest::addColumn<QList<bool>>("values");
    QTest::addColumn<Commands>("expected");
    QTest::newRow("true") << QList<bool>{true} << Commands{Add};
    QTest::newRow("true twice") << QList<bool>{true, true} << Commands{Add, Add};
    QTest::newRow("false before any add") << QList<bool>{false} << Commands{Delete};
    QTest::newRow("true, false, false")
        << QList<bool>{true, false, false} << Commands{Add, Delete, Delete};
}

void tst_TrayIcon::everySetVisibleCallsTheHost() {
    QFETCH(QList<bool>, values);
    QFETCH(Commands, expected);
    for (bool value : values) {
        m_tray->SetVisible(value);
        QCOMPARE(m_tray->Visible(), value);
    }
    QCOMPARE(m_host->Commands(), expected);
}

void tst_TrayIcon::hostRefusals_data() {
    QTest::addColumn<bool>("value");
    QTest::addColumn<bool>("noArea");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("watching");
    const QString create = QStringLiteral("Cannot Create System Shell Notification Icon");
    const QString remove = QStringLiteral("Cannot Remove System Shell Notification Icon");
    QTest::newRow("add refused") << true << false << create << false;
    QTest::newRow("add without a notification area") << true << true << create << false;
    QTest::newRow("remove refused") << false << false << remove << true;
}

void tst_TrayIcon::hostRefusals() {
    QFETCH(bool, value);
    QFETCH(bool, noArea);
    QFETCH(QString, message);
    QFETCH(bool, watching);
    if (!value)
        m_tray->SetVisible(true);
    m_host->failNextAdd = value && !noArea;
    m_host->available = !noArea;
    m_host->failNextDelete = !value;

    QString raised;
    try {
        m_tray->SetVisible(value);
    } catch (const EOutOfResources& e) {
        raised = e.Message();
    }
    QCOMPARE(raised, message);
    QCOMPARE(m_tray->Visible(), value);

    // The watch on the application window is as it was before the refused call.
    m_window->setWindowState(m_window->windowState() | Qt::WindowMinimized);
    QCOMPARE(WindowInTray(), watching);
    QCOMPARE(m_minimized, watching ? 1 : 0);
}

void tst_TrayIcon::hintRules_data() {
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("taken");
    QTest::newRow("63 characters taken") << QString() << QString(63, QLatin1Char('a')) << true;
    QTest::newRow("64 characters refused") << QString() << QString(64, QLatin1Char('a')) << false;
    QTest::newRow("65-character reminder refused")
        << QStringLiteral("Quantoria") << kReminder << false;
    QTest::newRow("unchanged refused")
        << QStringLiteral("Quantoria") << QStringLiteral("Quantoria") << false;
    QTest::newRow("another hint taken")
        << QStringLiteral("Quantoria") << QStringLiteral("Busy") << true;
    QTest::newRow("empty taken") << QStringLiteral("Quantoria") << QString() << true;
}

void tst_TrayIcon::hintRules() {
    QFETCH(QString, before);
    QFETCH(QString, value);
    QFETCH(bool, taken);
    m_tray->SetVisible(true);
    m_tray->SetHint(before);
    m_host->calls.clear();

    m_tray->SetHint(value);
    QCOMPARE(m_tray->Hint(), taken ? value : before);
    if (!taken) {
        QVERIFY(m_host->calls.empty());
        return;
    }
    QCOMPARE(m_host->Commands(), Commands{Modify});
    QCOMPARE(m_host->Last().tip, value);
    QVERIFY(m_host->Last().flags & NotifyFlag::Tip);
}

void tst_TrayIcon::hintBeforeTheIconIsShown() {
    // Shown before any hint: no tooltip.
    m_tray->SetVisible(true);
    QCOMPARE(m_host->Last().flags, 0x13u);
    m_tray->SetHint(QStringLiteral("Quantoria"));
    QCOMPARE(m_host->Last().flags, 0x17u);
    QCOMPARE(m_host->Last().tip, QStringLiteral("Quantoria"));

    // A hint set while hidden is stored, and the next add carries it.
    m_tray->SetVisible(false);
    m_host->calls.clear();
    m_tray->SetHint(QStringLiteral("Busy"));
    QVERIFY(m_host->calls.empty());
    m_tray->SetVisible(true);
    QCOMPARE(m_host->Commands(), Commands{Add});
    QCOMPARE(m_host->Last().tip, QStringLiteral("Busy"));
    QCOMPARE(m_host->Last().flags, 0x17u);
}

void tst_TrayIcon::balloonIsPassedAgain_data() {
    QTest::addColumn<bool>("shown");
    QTest::addColumn<QString>("later");
    QTest::addColumn<Commands>("expected");
    QTest::newRow("SetHint") << true << QStringLiteral("hint") << Commands{Modify};
    QTest::newRow("SetIconIndex") << true << QStringLiteral("index") << Commands{Modify};
    QTest::newRow("SetDefaultIcon") << true << QStringLiteral("default") << Commands{Modify};
    QTest::newRow("next add") << true << QStringLiteral("readd") << Commands{Delete, Add};
    QTest::newRow("add after a balloon while hidden")
        << false << QStringLiteral("add") << Commands{Add};
}

void tst_TrayIcon::balloonIsPassedAgain() {
    QFETCH(bool, shown);
    QFETCH(QString, later);
    QFETCH(Commands, expected);
    const QString title = QStringLiteral("Quantoria");
    if (shown)
        m_tray->SetVisible(true);
    m_host->calls.clear();

    QVERIFY(m_tray->ShowBalloonTip(title, kReminder, 5000, BalloonIcon::Info));
    QCOMPARE(m_host->Commands(), Commands{Modify});
    QVERIFY(HasBalloon(m_host->Last(), title, kReminder, 5000, 1));
    m_host->calls.clear();

    if (later == QLatin1String("hint")) {
        m_tray->SetHint(QStringLiteral("Quantoria"));
    } else if (later == QLatin1String("index")) {
        auto icons = std::make_unique<TImageList>();
        icons->Add(Solid(Qt::red));
        icons->Add(Solid(Qt::green));
        m_tray->SetIcons(icons.get());
        m_tray->SetIconIndex(1);
        QCOMPARE(m_host->Last().icon.cacheKey(), icons->GetIcon(1).cacheKey());
    } else if (later == QLatin1String("default")) {
        m_tray->SetDefaultIcon();
    } else if (later == QLatin1String("readd")) {
        m_tray->SetVisible(false);
        m_tray->SetVisible(true);
    } else {
        m_tray->SetVisible(true);
    }
    QCOMPARE(m_host->Commands(), expected);
    for (const auto& call : m_host->calls)
        QVERIFY(HasBalloon(call.record, title, kReminder, 5000, 1));
}

void tst_TrayIcon::balloonRecord_data() {
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("refuse");
    QTest::addColumn<QString>("storedTitle");
    QTest::addColumn<QString>("storedText");
    QTest::newRow("taken") << "T"
                           << "text" << false << "T"
                           << "text";
    QTest::newRow("refused by the host") << "T"
                                         << "text" << true << "T"
                                         << "text";
    const QString longTitle(70, QLatin1Char('t'));
    const QString longText(300, QLatin1Char('x'));
    QTest::newRow("cut to what the record holds")
        << longTitle << longText << false << longTitle.left(63) << longText.left(255);
}

void tst_TrayIcon::balloonRecord() {
    QFETCH(QString, title);
    QFETCH(QString, text);
    QFETCH(bool, refuse);
    QFETCH(QString, storedTitle);
    QFETCH(QString, storedText);
    m_tray->SetVisible(true);
    m_host->failNextModify = refuse;
    QCOMPARE(m_tray->ShowBalloonTip(title, text, 3000, BalloonIcon::Warning), !refuse);
    QVERIFY(HasBalloon(m_host->Last(), storedTitle, storedText, 3000, 2));
    // Refused or not, the balloon stays in the record.
    m_tray->Update();
    QVERIFY(HasBalloon(m_host->Last(), storedTitle, storedText, 3000, 2));
}

void tst_TrayIcon::buttonTable_data() {
    QTest::addColumn<uint32_t>("message");
    QTest::addColumn<int>("restoreOn");
    QTest::addColumn<int>("popupMenuOn");
    QTest::addColumn<bool>("onClick");
    QTest::addColumn<QStringList>("expected");
    for (const ButtonRow& row : ButtonTable())
        for (int restoreOn = imClick; restoreOn <= imNone; ++restoreOn)
            for (int popupMenuOn = imClick; popupMenuOn <= imNone; ++popupMenuOn)
                for (bool onClick : {false, true})
                    QTest::addRow("%s restore=%s menu=%s%s", row.name, kTriggerNames[restoreOn],
                                  kTriggerNames[popupMenuOn], onClick ? " OnClick" : "")
                        << row.message << restoreOn << popupMenuOn << onClick
                        << Expected(row, restoreOn, popupMenuOn, onClick);
}

void tst_TrayIcon::buttonTable() {
    QFETCH(uint32_t, message);
    QFETCH(int, restoreOn);
    QFETCH(int, popupMenuOn);
    QFETCH(bool, onClick);
    QFETCH(QStringList, expected);

    QMenu menu;
    menu.addAction(QStringLiteral("Exit"));
    connect(&menu, &QMenu::aboutToShow, this, [this] { Log(QStringLiteral("menu")); });
    m_tray->SetPopupMenu(&menu);
    m_tray->SetRestoreOn(TTrayIconMessage(restoreOn));
    m_tray->SetPopupMenuOn(TTrayIconMessage(popupMenuOn));
    LogEverything();
    if (onClick)
        m_tray->OnClick = [this](QObject*) { Log(QStringLiteral("click")); };
    m_tray->SetVisible(true);

    QCOMPARE(m_host->Button(message), intptr_t(0));
    QCOMPARE(m_log, expected);
    QCOMPARE(menu.isVisible(), expected.contains(QStringLiteral("menu")));
    menu.hide();
}

void tst_TrayIcon::mouseEventArguments_data() {
    QTest::addColumn<uint32_t>("message");
    QTest::addColumn<QList<int>>("keys");
    QTest::addColumn<QString>("event");
    QTest::addColumn<int>("shift");
    using namespace WindowMessage;
    using namespace ModifierKey;
    QTest::newRow("left press, Shift")
        << LButtonDown << QList<int>{Shift} << "down L" << int(ssShift | ssLeft);
    QTest::newRow("left release, nothing held")
        << LButtonUp << QList<int>{} << "up L" << int(ssLeft);
    QTest::newRow("right press, Ctrl and Alt")
        << RButtonDown << QList<int>{Control, Menu} << "down R" << int(ssCtrl | ssAlt | ssRight);
    QTest::newRow("right release, Alt")
        << RButtonUp << QList<int>{Menu} << "up R" << int(ssAlt | ssRight);
    QTest::newRow("middle press, all three")
        << MButtonDown << QList<int>{Shift, Control, Menu} << "down M"
        << int(ssShift | ssCtrl | ssAlt | ssMiddle);
    QTest::newRow("middle release, Ctrl")
        << MButtonUp << QList<int>{Control} << "up M" << int(ssCtrl | ssMiddle);
    QTest::newRow("movement, Shift: no button flag")
        << MouseMove << QList<int>{Shift} << "move" << int(ssShift);
}

void tst_TrayIcon::mouseEventArguments() {
    QFETCH(uint32_t, message);
    QFETCH(QList<int>, keys);
    QFETCH(QString, event);
    QFETCH(int, shift);
    m_host->cursor = QPoint(7, 301);
    m_host->keysHeld = std::set<int>(keys.begin(), keys.end());
    struct Seen {
        QString event;
        TShiftState shift;
        QPoint pos;
    };
    std::vector<Seen> seen;
    m_tray->OnClick = [](QObject*) {}; // movement is reported only while OnClick is set
    m_tray->OnMouseMove = [&](QObject* sender, TShiftState s, int x, int y) {
        QCOMPARE(sender, m_tray.get());
        seen.push_back({QStringLiteral("move"), s, QPoint(x, y)});
    };
    m_tray->OnMouseDown = [&](QObject* sender, TMouseButton b, TShiftState s, int x, int y) {
        QCOMPARE(sender, m_tray.get());
        seen.push_back({QStringLiteral("down ") + ButtonName(b), s, QPoint(x, y)});
    };
    m_tray->OnMouseUp = [&](QObject* sender, TMouseButton b, TShiftState s, int x, int y) {
        QCOMPARE(sender, m_tray.get());
        seen.push_back({QStringLiteral("up ") + ButtonName(b), s, QPoint(x, y)});
    };
    m_tray->SetVisible(true);
    m_host->Button(message);

    QCOMPARE(seen.size(), size_t(1));
    QCOMPARE(seen[0].event, event);
    QCOMPARE(int(seen[0].shift), shift);
    QCOMPARE(seen[0].pos, QPoint(7, 301));
    QCOMPARE(int(m_tray->ShiftState()), shift & int(ssShift | ssCtrl | ssAlt));
}

void tst_TrayIcon::menuPopsUpAtTheCursor() {
    QMenu menu;
    menu.addAction(QStringLiteral("Exit"));
    m_tray->SetPopupMenu(&menu);
    m_tray->SetPopupMenuOn(imRightClickUp);
    m_tray->SetVisible(true);
    m_host->cursor = QPoint(150, 120);

    m_host->Button(WindowMessage::RButtonDown);
    QVERIFY(!menu.isVisible());
    m_host->Button(WindowMessage::RButtonUp);
    QVERIFY(menu.isVisible());
    QCOMPARE(menu.pos(), QPoint(150, 120));
    menu.hide();

    // Without a menu there is nothing to pop up.
    m_tray->SetPopupMenu(nullptr);
    m_host->Button(WindowMessage::RButtonUp);
    QVERIFY(!menu.isVisible());
}

void tst_TrayIcon::everyBalloonIsANewOne() {
    m_tray->SetVisible(true);
    auto serial = [this] { return m_host->calls.back().record.infoSerial; };
    m_tray->ShowBalloonTip(QStringLiteral("T"), QStringLiteral("text"), 5000, BalloonIcon::Info);
    const uint32_t first = serial();
    // Updates bring the same balloon along: the host can tell it was shown already.
    m_tray->SetHint(QStringLiteral("hint"));
    QCOMPARE(serial(), first);
    // The same words asked for again are another balloon.
    m_tray->ShowBalloonTip(QStringLiteral("T"), QStringLiteral("text"), 5000, BalloonIcon::Info);
    QVERIFY(serial() != first);
}

void tst_TrayIcon::menuIsOfferedToHostsThatShowMenus() {
    auto menu = std::make_unique<QMenu>();
    menu->addAction(QStringLiteral("Exit"));
    auto offered = [this] {
        return m_host->calls.empty() ? nullptr : m_host->calls.back().record.menu.data();
    };

    // While the component is configured, the menu goes out with the next call that is made
    // anyway (Loaded sends the record); no call of its own.
    m_tray->SetVisible(true);
    m_tray->SetPopupMenu(menu.get());
    QCOMPARE(m_host->Commands(), Commands{Add});
    m_tray->SetPopupMenuOn(imRightClickUp);
    QCOMPARE(m_host->Commands(), Commands{Add});
    m_tray->Loaded();
    QCOMPARE(m_host->Commands(), (Commands{Add, Modify}));
    QCOMPARE(offered(), menu.get());

    // Afterwards a change is sent at once: no mouse action pops the menu up, so none is offered.
    m_tray->SetPopupMenuOn(imNone);
    QCOMPARE(m_host->Commands(), (Commands{Add, Modify, Modify}));
    QCOMPARE(offered(), nullptr);
    m_tray->SetPopupMenuOn(imRightDoubleClick);
    QCOMPARE(offered(), menu.get());

    // A menu that goes away is forgotten without a call of its own; the next call says so.
    m_host->calls.clear();
    menu.reset();
    QCOMPARE(m_tray->PopupMenu(), nullptr);
    QVERIFY(m_host->calls.empty());
    m_tray->Update();
    QCOMPARE(offered(), nullptr);
}

// The menu takes the mouse once it is open, so the second press of a double click whose first
// release opened it lands on the menu, not on the icon.
void tst_TrayIcon::secondPressOnTheOpenMenuIsADoubleClick_data() {
    QTest::addColumn<Qt::MouseButton>("button");
    QTest::addColumn<QEvent::Type>("type");
    QTest::addColumn<QPoint>("offset"); // from where the menu opened
    QTest::addColumn<int>("waitMs");
    QTest::addColumn<bool>("restores");
    const QPoint outside(-2, -2); // just above and left of the menu's corner
    QTest::newRow("right press") << Qt::RightButton << QEvent::MouseButtonPress << outside << 0
                                 << true;
    QTest::newRow("right, Qt's double click")
        << Qt::RightButton << QEvent::MouseButtonDblClick << outside << 0 << true;
    QTest::newRow("left press") << Qt::LeftButton << QEvent::MouseButtonPress << outside << 0
                                << false;
    QTest::newRow("too far") << Qt::RightButton << QEvent::MouseButtonPress << QPoint(-40, -40) << 0
                             << false;
    QTest::newRow("on the menu") << Qt::RightButton << QEvent::MouseButtonPress << QPoint(4, 4) << 0
                                 << false;
    QTest::newRow("too late") << Qt::RightButton << QEvent::MouseButtonPress << outside
                              << QGuiApplication::styleHints()->mouseDoubleClickInterval() + 100
                              << false;
}

void tst_TrayIcon::secondPressOnTheOpenMenuIsADoubleClick() {
    QFETCH(Qt::MouseButton, button);
    QFETCH(QEvent::Type, type);
    QFETCH(QPoint, offset);
    QFETCH(int, waitMs);
    QFETCH(bool, restores);
    QMenu menu;
    menu.addAction(QStringLiteral("Exit"));
    m_tray->SetPopupMenu(&menu);
    m_tray->SetPopupMenuOn(imRightClickUp);
    m_tray->SetVisible(true);
    m_tray->Loaded();
    m_tray->Minimize();
    QVERIFY(WindowInTray());
    const QPoint openedAt(150, 120);
    m_host->cursor = openedAt;
    m_host->Button(WindowMessage::RButtonDown);
    m_host->Button(WindowMessage::RButtonUp);
    QVERIFY(menu.isVisible());
    if (waitMs)
        QTest::qWait(waitMs);

    const QPoint global = openedAt + offset;
    QMouseEvent press(type, menu.mapFromGlobal(global), global, button, button, Qt::NoModifier);
    QApplication::sendEvent(&menu, &press);
    QCOMPARE(m_restored, restores ? 1 : 0);
    QCOMPARE(WindowInTray(), !restores);
    if (restores)
        QVERIFY(!menu.isVisible());
    menu.hide();
}

void tst_TrayIcon::animationStepsThroughTheImages() {
    TImageList icons;
    icons.Add(Solid(Qt::red));
    icons.Add(Solid(Qt::green));
    icons.Add(Solid(Qt::blue));
    std::map<qint64, int> indexOf;
    for (int i = 0; i < icons.Count(); ++i)
        indexOf[icons.GetIcon(i).cacheKey()] = i;

    m_tray->SetIcons(&icons);
    m_tray->SetAnimateInterval(1);
    m_tray->SetVisible(true);
    m_tray->Loaded();
    QCOMPARE(indexOf.at(m_host->Last().icon.cacheKey()), 0);
    // Each change of IconIndex seen by the host, and whether the image sent is that index's.
    QList<int> indices;
    bool imagesMatch = true;
    const auto stopWatching = qScopeGuard([this] { m_host->onCall = nullptr; });
    m_host->onCall = [&](const RecordingShellNotify::Call& call) {
        const int index = m_tray->IconIndex();
        const auto found = indexOf.find(call.record.icon.cacheKey());
        imagesMatch = imagesMatch && call.command == Modify && found != indexOf.end() &&
                      found->second == index;
        if (indices.isEmpty() || indices.back() != index)
            indices << index;
    };
    m_tray->SetAnimate(true);
    QVERIFY(m_tray->Animate());
    QTRY_VERIFY_WITH_TIMEOUT(indices.size() >= 7, 10000);
    m_tray->SetAnimate(false);
    QVERIFY(!m_tray->Animate());
    QCOMPARE(indices.mid(0, 7), (QList<int>{1, 2, 0, 1, 2, 0, 1}));
    QVERIFY(imagesMatch);
}
void tst_TrayIcon::animateNeedsIcons_data() {
    QTest::addColumn<bool>("withIcons");
    QTest::addColumn<bool>("beforeLoaded");
    QTest::addColumn<bool>("afterSet");
    QTest::addColumn<bool>("afterLoaded");
    QTest::newRow("no icons, configured") << false << false << false << false;
    QTest::newRow("no icons, while configuring") << false << true << true << false;
    QTest::newRow("icons, configured") << true << false << true << true;
    QTest::newRow("icons, while configuring") << true << true << true << true;
}

void tst_TrayIcon::animateNeedsIcons() {
    QFETCH(bool, withIcons);
    QFETCH(bool, beforeLoaded);
    QFETCH(bool, afterSet);
    QFETCH(bool, afterLoaded);
    TImageList icons;
    icons.Add(Solid(Qt::red));
    if (withIcons)
        m_tray->SetIcons(&icons);
    if (!beforeLoaded)
        m_tray->Loaded();
    m_tray->SetAnimate(true);
    QCOMPARE(m_tray->Animate(), afterSet);
    m_tray->Loaded();
    QCOMPARE(m_tray->Animate(), afterLoaded);
    m_tray->SetAnimate(false);
}

void tst_TrayIcon::goneComponentsAreForgotten_data() {
    QTest::addColumn<bool>("menuGoes");
    QTest::newRow("image list") << false;
    QTest::newRow("menu") << true;
}

void tst_TrayIcon::goneComponentsAreForgotten() {
    QFETCH(bool, menuGoes);
    auto menu = std::make_unique<QMenu>();
    auto icons = std::make_unique<TImageList>();
    icons->Add(Solid(Qt::red));
    icons->Add(Solid(Qt::green));
    m_tray->SetPopupMenu(menu.get());
    m_tray->SetIcons(icons.get());
    m_tray->SetPopupMenuOn(imLeftClickUp);
    m_tray->SetVisible(true);
    m_tray->Loaded();
    QCOMPARE(m_host->Last().icon.cacheKey(), icons->GetIcon(0).cacheKey());

    if (menuGoes)
        menu.reset();
    else
        icons.reset();
    QCOMPARE(m_tray->PopupMenu(), menuGoes ? nullptr : menu.get());
    QCOMPARE(m_tray->Icons(), menuGoes ? icons.get() : nullptr);

    // What is left goes on working; what went is not touched.
    const qint64 shownKey = m_host->Last().icon.cacheKey();
    m_host->Button(WindowMessage::LButtonUp);
    if (menu) {
        QVERIFY(menu->isVisible());
        menu->hide();
    }
    m_tray->SetIconIndex(1);
    QCOMPARE(m_tray->IconIndex(), 1);
    QCOMPARE(m_host->Last().icon.cacheKey(), icons ? icons->GetIcon(1).cacheKey() : shownKey);
}

void tst_TrayIcon::minimiseIntoTheIconAndRestore_data() {
    QTest::addColumn<bool>("byWindow");
    QTest::addColumn<bool>("withDialog");
    QTest::newRow("window minimised") << true << false;
    QTest::newRow("Minimize called") << false << false;
    QTest::newRow("window minimised, dialog open") << true << true;
    QTest::newRow("Minimize called, dialog open") << false << true;
}

void tst_TrayIcon::minimiseIntoTheIconAndRestore() {
    QFETCH(bool, byWindow);
    QFETCH(bool, withDialog);
    QDialog dialog(m_window.get());
    if (withDialog)
        dialog.show();
    m_tray->SetVisible(true);

    if (byWindow)
        m_window->setWindowState(m_window->windowState() | Qt::WindowMinimized);
    else
        m_tray->Minimize();
    QVERIFY(WindowInTray());
    QCOMPARE(m_minimized, 1);
    QCOMPARE(m_restored, 0);
    if (withDialog) {
        QVERIFY(dialog.isVisible());
        QVERIFY(dialog.windowState() & Qt::WindowMinimized);
    }

    // A left double click on the icon (RestoreOn imDoubleClick) brings it back once.
    m_host->Button(WindowMessage::LButtonDblClk);
    m_host->Button(WindowMessage::LButtonUp);
    QVERIFY(m_window->isVisible());
    QVERIFY(!(m_window->windowState() & Qt::WindowMinimized));
    QCOMPARE(m_restored, 1);
    QCOMPARE(m_minimized, 1);
    if (withDialog)
        QVERIFY(!(dialog.windowState() & Qt::WindowMinimized));

    // And the next minimise goes to the tray again.
    m_window->setWindowState(m_window->windowState() | Qt::WindowMinimized);
    QVERIFY(WindowInTray());
    QCOMPARE(m_minimized, 2);
}

void tst_TrayIcon::watchFollowsTheIcon_data() {
    QTest::addColumn<QString>("steps");
    QTest::addColumn<bool>("watching");
    QTest::newRow("never shown") << "" << false;
    QTest::newRow("shown") << "+" << true;
    QTest::newRow("shown twice") << "++" << true;
    QTest::newRow("shown, then hidden") << "+-" << false;
    QTest::newRow("add refused") << "x" << false;
    QTest::newRow("shown, remove refused") << "+y" << true;
    QTest::newRow("shown, session ended") << "+e" << true;
    QTest::newRow("shown, then destroyed") << "+d" << false;
    QTest::newRow("shown, window set again") << "+w" << true;
}

void tst_TrayIcon::watchFollowsTheIcon() {
    QFETCH(QString, steps);
    QFETCH(bool, watching);
    for (QChar step : steps) {
        switch (step.toLatin1()) {
        case '+':
            m_tray->SetVisible(true);
            break;
        case '-':
            m_tray->SetVisible(false);
            break;
        case 'x':
            m_host->failNextAdd = true;
            QVERIFY_THROWS_EXCEPTION(EOutOfResources, m_tray->SetVisible(true));
            break;
        case 'y':
            m_host->failNextDelete = true;
            QVERIFY_THROWS_EXCEPTION(EOutOfResources, m_tray->SetVisible(false));
            break;
        case 'e':
            m_tray->Handle()->Send(WindowMessage::EndSession, 0);
            break;
        case 'd':
            m_tray.reset();
            break;
        case 'w':
            m_tray->SetApplicationWindow(m_window.get());
            break;
        }
    }
    m_window->setWindowState(m_window->windowState() | Qt::WindowMinimized);
    QCOMPARE(WindowInTray(), watching);
    QCOMPARE(m_minimized, watching ? 1 : 0);
}

void tst_TrayIcon::hookCommands_data() {
    QTest::addColumn<uint32_t>("message");
    QTest::addColumn<quintptr>("wParam");
    QTest::addColumn<bool>("startInTray");
    QTest::addColumn<int>("minimized");
    QTest::addColumn<int>("restored");
    using WindowMessage::SysCommand;
    QTest::newRow("minimise, exact") << SysCommand << quintptr(0xF020) << false << 1 << 0;
    QTest::newRow("minimise, low bits set") << SysCommand << quintptr(0xF022) << false << 0 << 0;
    QTest::newRow("minimise, all low bits") << SysCommand << quintptr(0xF02F) << false << 0 << 0;
    QTest::newRow("restore, exact") << SysCommand << quintptr(0xF120) << true << 0 << 1;
    QTest::newRow("restore, low bits set") << SysCommand << quintptr(0xF122) << true << 0 << 0;
    QTest::newRow("not a command") << uint32_t(0x0111) << quintptr(0xF020) << false << 0 << 0;
}

void tst_TrayIcon::hookCommands() {
    QFETCH(uint32_t, message);
    QFETCH(quintptr, wParam);
    QFETCH(bool, startInTray);
    QFETCH(int, minimized);
    QFETCH(int, restored);
    m_tray->SetVisible(true);
    if (startInTray) {
        m_tray->Minimize();
        m_minimized = 0;
    }
    TMessage command{message, wParam, 0, 0};
    QCOMPARE(m_tray->ApplicationHookProc(command), false);
    QCOMPARE(m_minimized, minimized);
    QCOMPARE(m_restored, restored);
    QCOMPARE(WindowInTray(), startInTray ? restored == 0 : minimized == 1);
}

void tst_TrayIcon::sessionMessages_data() {
    QTest::addColumn<uint32_t>("message");
    QTest::addColumn<quintptr>("wParam");
    QTest::addColumn<intptr_t>("result");
    QTest::addColumn<Commands>("expected");
    QTest::newRow("query end session")
        << WindowMessage::QueryEndSession << quintptr(0) << intptr_t(1) << Commands{};
    QTest::newRow("session ends") << WindowMessage::EndSession << quintptr(1) << intptr_t(0)
                                  << Commands{Delete};
    QTest::newRow("session goes on (wParam false)")
        << WindowMessage::EndSession << quintptr(0) << intptr_t(0) << Commands{Delete};
    QTest::newRow("other message") << uint32_t(0x0402) << quintptr(0) << intptr_t(0) << Commands{};
}

void tst_TrayIcon::sessionMessages() {
    QFETCH(uint32_t, message);
    QFETCH(quintptr, wParam);
    QFETCH(intptr_t, result);
    QFETCH(Commands, expected);
    m_tray->SetVisible(true);
    const quintptr id = m_host->Last().id;
    m_host->calls.clear();

    QCOMPARE(m_tray->Handle()->Send(message, wParam, 0), result);
    QCOMPARE(m_host->Commands(), expected);
    for (const auto& call : m_host->calls)
        QCOMPARE(call.record.id, id);
    QVERIFY(m_tray->Visible());
}

void tst_TrayIcon::destructionRemovesTheIcon_data() {
    QTest::addColumn<bool>("shown");
    QTest::newRow("shown") << true;
    QTest::newRow("never shown") << false;
}

void tst_TrayIcon::destructionRemovesTheIcon() {
    QFETCH(bool, shown);
    if (shown)
        m_tray->SetVisible(true);
    const quintptr id = m_tray->NotifyRecord().id;
    m_host->calls.clear();
    m_tray.reset();
    QCOMPARE(m_host->Commands(), Commands{Delete});
    QCOMPARE(m_host->Last().id, id);
}

QTEST_MAIN(tst_TrayIcon)
#include "tst_TrayIcon.moc"
