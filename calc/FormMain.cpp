#include "FormMain.h"

#include "Evaluation.h"
#include "Example.h"
#include "FormAbout.h"
#include "Global.h"
#include "HistoryText.h"
#include "Keypad.h"
#include "MenuGlyphs.h"
#include "ResultFormat.h"
#include "SettingsFile.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDateTime>
#include <QFocusEvent>
#include <QFontDatabase>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTextCursor>
#include <QTextDocument>

namespace {

const QString kHideHistory = QStringLiteral("Hide History");
const QString kDisplayHistory = QStringLiteral("Display History");

const QColor kActiveRow(255, 255, 0);
const QColor kIdleRow(255, 255, 255);
const QColor kResultBox(192, 192, 192);
const QString kExpressionHint =
    QStringLiteral(" You can also use the keyboard to directly enter or edit the equation.");

constexpr int kClientWidth = 910;
constexpr int kClientHeight = 432;
constexpr int kPanelLeftWidth = 558;

// A box background of the window's own, with black text on it: the theme's text colour is made
// for the theme's background (white on a dark scheme's base would vanish on yellow or silver).
void SetBase(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Base, colour);
    palette.setColor(QPalette::Text, Qt::black);
    widget->setPalette(palette);
}

// Shrinks a label's font until its caption fits its width (desktop fonts run wider than the
// designed one).
void FitFont(QLabel* label) {
    QFont font = label->font();
    while (font.pixelSize() > 9 &&
           QFontMetrics(font).horizontalAdvance(label->text()) > label->width())
        font.setPixelSize(font.pixelSize() - 1);
    label->setFont(font);
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& caption, int x, int y) {
    auto* label = new QLabel(caption, parent);
    label->setObjectName(QLatin1String(name));
    label->move(x, y);
    label->adjustSize();
    return label;
}

// A check box, checked until the settings file says otherwise, widened where its caption needs it.
QCheckBox* MakeCheck(QWidget* parent, const char* name, const QString& caption, int x, int y) {
    auto* check = new QCheckBox(caption, parent);
    check->setObjectName(QLatin1String(name));
    check->setGeometry(x, y, std::max(97, check->sizeHint().width()), 17);
    check->setChecked(true);
    return check;
}

} // namespace

TfrmMain::TfrmMain(MainWindowServices services, QWidget* parent)
    : QMainWindow(parent), m_services(std::move(services)),
      m_history(m_services.paths.HistoryFile(), m_services.errors,
                {[this] { return m_memoHistory->Text(); }, [this] { return m_memoHistory->Rest(); },
                 [this](const HistoryRest& from, const HistoryRest& to) {
                     m_memoHistory->MoveRest(from, to);
                 }}) {
    setObjectName(QStringLiteral("frmMain"));
    CreateControls();
    FormCreate();
    connect(m_memoHistory->document(), &QTextDocument::contentsChanged, this, [this] {
        if (!m_memoHistory->TakingIn()) // taking in leaves the history itself as it was
            m_history.Changed();
    });
}

TfrmMain::~TfrmMain() {
    FormDestroy();
    // Qt's own destruction still moves the focus and sends events to the controls; by then the
    // window's handlers are gone.
    for (const auto& boxes : {editExp, editResult})
        for (TEdit* box : boxes) {
            box->OnFocusIn = nullptr;
            box->OnFocusOut = nullptr;
            box->OnKeyPress = nullptr;
            box->OnKeyUp = nullptr;
        }
    for (TLabel* link : {LabelHideHistory, labelEraseHistory})
        link->OnMouseEnter = link->OnMouseLeave = link->OnClick = nullptr;
    for (QObject* control :
         {static_cast<QObject*>(editPrecision), static_cast<QObject*>(checkComma),
          static_cast<QObject*>(checkStartup), static_cast<QObject*>(checkSingle)})
        disconnect(control, nullptr, this, nullptr);
    for (QObject* watched : findChildren<QWidget*>())
        watched->removeEventFilter(this);
    if (trayIcon)
        trayIcon->OnMouseEnter = nullptr;
}

void TfrmMain::closeEvent(QCloseEvent* event) {
    bool canClose = true;
    Run(&TfrmMain::FormCloseQuery, canClose);
    if (canClose)
        event->accept();
    else
        event->ignore();
}

// A minimise command from the title bar or the window menu (the window turns minimised). The
// tray icon's watch has already taken it into the tray; a minimise that the icon makes itself
// (closing) shows no second balloon.
void TfrmMain::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !(windowState() & Qt::WindowMinimized))
        return;
    const auto* change = static_cast<QWindowStateChangeEvent*>(event);
    if (change->oldState() & Qt::WindowMinimized)
        return;
    // A window already hidden in the tray may still hear of its minimised state afterwards (the
    // window manager's answer to the minimise that hid it): that is no new minimise command.
    if (trayIcon && !trayIcon->Minimizing() && TrayShown() && !m_hiddenInTray)
        Run(&TfrmMain::ShowReminderBalloon);
    if (trayIcon && TrayShown())
        m_hiddenInTray = true;
}

void TfrmMain::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    m_hiddenInTray = false;
}

void TfrmMain::CreateControls() {
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFont(PixelFont(13));

    CreateMenu();
    CreateTrayIcon();

    auto* client = new QWidget(this);
    client->setFixedSize(kClientWidth, kClientHeight);
    setCentralWidget(client);
    // A fixed-size window: the window manager offers no maximise and no resizing.
    layout()->setSizeConstraint(QLayout::SetFixedSize);

    panelLeft = new QWidget(client);
    panelLeft->setObjectName(QStringLiteral("panelLeft"));
    panelLeft->setGeometry(0, 0, kPanelLeftWidth, kClientHeight);
    panelLeftTop = new QWidget(panelLeft);
    panelLeftTop->setObjectName(QStringLiteral("panelLeftTop"));
    panelLeftTop->setGeometry(1, 1, 556, 136);
    panelLeftDown = new QWidget(panelLeft);
    panelLeftDown->setObjectName(QStringLiteral("panelLeftDown"));
    panelLeftDown->setGeometry(1, 137, 556, kClientHeight - 138);
    splitterLeftRight = new QWidget(client);
    splitterLeftRight->setObjectName(QStringLiteral("splitterLeftRight"));
    splitterLeftRight->setGeometry(kPanelLeftWidth, 0, 0, kClientHeight);
    splitterLeftRight->hide();
    panelRight = new QWidget(client);
    panelRight->setObjectName(QStringLiteral("panelRight"));
    panelRight->setGeometry(kPanelLeftWidth, 0, kClientWidth - kPanelLeftWidth, kClientHeight);

    for (int row = 0; row < kRows; ++row)
        CreateExpressionRow(row);
    panelKeypad = new TKeypadPanel(panelLeftDown);
    panelKeypad->setObjectName(QStringLiteral("panelKeypad"));
    Bind(panelKeypad, &TKeypadPanel::KeyClicked, &TfrmMain::SpeedButton6Click);
    CreateSettingsPanel();
    CreateHistoryPanel();
    SetTabOrder();

    editExp[0]->setFocus(Qt::OtherFocusReason);

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        adjustSize();
        move(screen->availableGeometry().center() - rect().center());
    }
}

// Row `row` (0 for row 1) of the upper left panel: its label, expression box, "=" button and
// result box.
void TfrmMain::CreateExpressionRow(int row) {
    static constexpr int kLabelY[kRows] = {8, 34, 60, 86, 112};
    static constexpr int kBoxY[kRows] = {8, 32, 56, 80, 104};
    const QString n = QString::number(row + 1);
    Label[row] = new QLabel(QStringLiteral("Expression") + n, panelLeftTop);
    Label[row]->setObjectName(QStringLiteral("Label") + n);
    Label[row]->setGeometry(8, kLabelY[row], 78, 16);
    FitFont(Label[row]);

    TEdit* exp = editExp[row] = new TEdit(panelLeftTop);
    exp->setObjectName(QStringLiteral("editExp") + n);
    exp->setAccessibleName(QStringLiteral("Expression ") + n);
    exp->setGeometry(88, kBoxY[row], 305, 24);
    exp->setToolTip(kExpressionHint);
    exp->OnFocusIn = [this](TEdit* s, Qt::FocusReason) { ControlFocusIn(s); };
    exp->OnFocusOut = [this](TEdit* s, Qt::FocusReason r) { ControlFocusOut(s, r); };
    exp->OnKeyPress = [this](TEdit* s, QChar& key) {
        // A character whose handler failed is not typed either.
        if (!Run(&TfrmMain::editExp1KeyPress, s, key))
            key = QChar();
    };
    exp->OnKeyUp = Handler(&TfrmMain::editExp1KeyUp);

    btnEqual[row] = new TSpeedButton(panelLeftTop, QStringLiteral("="));
    btnEqual[row]->setObjectName(QStringLiteral("btnEqual") + n);
    btnEqual[row]->setAccessibleName(QStringLiteral("Evaluate ") + n);
    btnEqual[row]->setFont(PixelFont(16, true));
    btnEqual[row]->setGeometry(400, kBoxY[row], 23, 22);
    Bind(btnEqual[row], &QToolButton::clicked, &TfrmMain::btnEqual1Click);

    TEdit* result = editResult[row] = new TEdit(panelLeftTop);
    result->setObjectName(QStringLiteral("editResult") + n);
    result->setAccessibleName(QStringLiteral("Result ") + n);
    result->setGeometry(430, kBoxY[row], 121, 24);
    result->setReadOnly(true);
    SetBase(result, kResultBox);
    result->OnFocusIn = [this](TEdit* s, Qt::FocusReason) { ControlFocusIn(s); };
    result->OnFocusOut = [this](TEdit* s, Qt::FocusReason r) { ControlFocusOut(s, r); };
    result->OnKeyUp = Handler(&TfrmMain::editResult1KeyUp);
}

// The settings controls and the two history links, right of the keypad.
void TfrmMain::CreateSettingsPanel() {
    checkComma = MakeCheck(panelLeftDown, "checkComma", QStringLiteral("Comma"), 416, 24);
    labelPrecision =
        MakeLabel(panelLeftDown, "labelPrecision", QStringLiteral("Precision digits:"), 416, 64);
    editPrecision = new TCSpinEdit(panelLeftDown);
    editPrecision->setObjectName(QStringLiteral("editPrecision"));
    editPrecision->setAccessibleName(QStringLiteral("Precision digits"));
    editPrecision->setGeometry(520, 62, 33, 26);
    editPrecision->setRange(0, 9);
    editPrecision->SetValue(2);
    checkStartup =
        MakeCheck(panelLeftDown, "checkStartup", QStringLiteral("Auto startup"), 416, 104);
    checkSingle =
        MakeCheck(panelLeftDown, "checkSingle", QStringLiteral("Single instance"), 416, 144);
    checkSingle->hide();
    for (QCheckBox* check : {checkComma, checkStartup, checkSingle})
        Bind(check, &QCheckBox::toggled, &TfrmMain::checkCommaClick);
    Bind(editPrecision, &TCSpinEdit::TextChanged, &TfrmMain::editPrecisionChange);

    LabelHideHistory = new TLabel(panelLeftDown, QStringLiteral("Hide History"));
    LabelHideHistory->setObjectName(QStringLiteral("LabelHideHistory"));
    LabelHideHistory->move(416, 196);
    LabelHideHistory->setToolTip(
        QStringLiteral("Click there to hide or show the expression and result history."));
    LabelHideHistory->OnClick = Handler(&TfrmMain::LabelHideHistoryClick);
    labelEraseHistory = new TLabel(panelLeftDown, QStringLiteral("Erase History"));
    labelEraseHistory->setObjectName(QStringLiteral("labelEraseHistory"));
    labelEraseHistory->move(416, 232);
    labelEraseHistory->setToolTip(QStringLiteral("All equation history will be lost."));
    labelEraseHistory->OnClick = Handler(&TfrmMain::labelEraseHistoryClick);
    for (TLabel* link : {LabelHideHistory, labelEraseHistory}) {
        QFont font = link->font();
        font.setUnderline(true);
        link->setFont(font);
        // Wide enough for the longer caption the hide link switches to.
        link->resize(QFontMetrics(font).horizontalAdvance(kDisplayHistory) + 4,
                     link->sizeHint().height());
        link->OnMouseEnter = Handler(&TfrmMain::labelEraseHistoryMouseEnter);
        link->OnMouseLeave = Handler(&TfrmMain::labelEraseHistoryMouseLeave);
    }
}

// The right-hand panel: its caption and the history memo.
void TfrmMain::CreateHistoryPanel() {
    labelHistory = MakeLabel(panelRight, "labelHistory", QStringLiteral("History:"), 8, 8);
    m_memoHistory = new THistoryMemo(panelRight, m_services.errors);
    m_memoHistory->setObjectName(QStringLiteral("m_memoHistory"));
    m_memoHistory->setAccessibleName(QStringLiteral("History"));
    m_memoHistory->setGeometry(1, 32, 347, kClientHeight - 33);
    m_memoHistory->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    m_memoHistory->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_memoHistory->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_memoHistory->setTabChangesFocus(true);
}

// The tab order, which the arrow keys walk, and the focus watch on the controls that are not
// edit boxes of the rows (those report their focus themselves).
void TfrmMain::SetTabOrder() {
    QList<QWidget*> order(editExp.begin(), editExp.end());
    order.append(QList<QWidget*>(editResult.begin(), editResult.end()));
    order << checkComma << editPrecision << checkStartup << checkSingle << m_memoHistory;
    for (qsizetype i = 0; i + 1 < order.size(); ++i)
        setTabOrder(order[i], order[i + 1]);
    for (QWidget* w : {static_cast<QWidget*>(checkComma), static_cast<QWidget*>(editPrecision),
                       static_cast<QWidget*>(checkStartup), static_cast<QWidget*>(m_memoHistory)})
        w->installEventFilter(this);
    if (auto* inner = editPrecision->findChild<QLineEdit*>())
        inner->installEventFilter(this);
}

void TfrmMain::CreateMenu() {
    QMenuBar* MainMenu1 = menuBar();
    MainMenu1->setObjectName(QStringLiteral("MainMenu1"));
    const qreal ratio = devicePixelRatioF();
    auto* style =
        new MenuBarGlyphStyle({{QStringLiteral("File"), DrawGlyph(Glyph::File, ratio)},
                               {QStringLiteral("Example"), DrawGlyph(Glyph::Example, ratio)},
                               {QStringLiteral("Help"), DrawGlyph(Glyph::Help, ratio)}});
    style->setParent(MainMenu1);
    MainMenu1->setStyle(style);

    File1 = MainMenu1->addMenu(QStringLiteral("File"));
    File1->setObjectName(QStringLiteral("File1"));
    menuExit = File1->addAction(QStringLiteral("Exit"));
    menuExit->setObjectName(QStringLiteral("menuExit"));
    menuExample1 = MainMenu1->addAction(QStringLiteral("Example"));
    menuExample1->setObjectName(QStringLiteral("menuExample1"));
    menuExample1->setToolTip(QStringLiteral("Show example in  the idle expression edit box."));
    Help1 = MainMenu1->addMenu(QStringLiteral("Help"));
    Help1->setObjectName(QStringLiteral("Help1"));
    menuHomePage = Help1->addAction(QStringLiteral("Home Page"));
    menuHomePage->setObjectName(QStringLiteral("menuHomePage"));
    menuAbout = Help1->addAction(QStringLiteral("About"));
    menuAbout->setObjectName(QStringLiteral("menuAbout"));

    Bind(menuExit, &QAction::triggered, &TfrmMain::menuExitClick);
    Bind(menuExample1, &QAction::triggered, &TfrmMain::menuExample1Click);
    Bind(menuHomePage, &QAction::triggered, &TfrmMain::menuHomePageClick);
    Bind(menuAbout, &QAction::triggered, &TfrmMain::menuAboutClick);
}

void TfrmMain::FormCreate() {
    // Each step stands on its own: one that fails is reported and the next still runs.
    Handle([&] {
        InitAppIdentity(QCoreApplication::instance());
        setWindowTitle(g_appTitle);
    });
    Handle([&] {
        m_editActiveExp = editExp[0];
        m_editActiveResult = editResult[0];
        m_expCaret.fill(0);
    });
    Handle([&] {
        m_scriptControl = m_services.createScriptControl(kScriptControlProgId);
        m_scriptControl->SetLanguage(QStringLiteral("JavaScript"));
    });
    Handle([&] { BuildResultFormat(); });
    Handle([&] {
        LoadedHistory history = m_history.Load(g_appTitle);
        m_memoHistory->SetHistory(history.text, std::move(history.rest));
    });
    Handle([&] {
        const Settings settings = SettingsFile::Load(m_services.paths.SettingsFile());
        editPrecision->SetValue(settings.precision);
        checkComma->setChecked(settings.comma);
        checkStartup->setChecked(settings.startup);
        if (!settings.displayHistory)
            LabelHideHistoryClick();
    });
    Handle([&] {
        trayIcon->SetHint(kReminderText);
        ShowReminderBalloon();
    });
}

void TfrmMain::FormDestroy() {
    // Each step stands on its own: a history that cannot be saved does not cost the settings.
    Handle([&] { m_history.SaveAtExit(); });
    Handle([&] { m_scriptControl.reset(); });
    Handle([&] {
        SettingsFile::Save(m_services.paths.SettingsFile(),
                           {editPrecision->Value(), checkComma->isChecked(),
                            checkStartup->isChecked(), LabelHideHistory->text() == kHideHistory});
    });
    Handle([&] {
        if (checkStartup->isChecked())
            m_services.autostart.Set(m_services.executablePath);
        else
            m_services.autostart.Remove();
    });
}

void TfrmMain::labelEraseHistoryClick() {
    const int answer = m_services.boxes.Show(
        this, QStringLiteral("All historys of calculator will be lost, are you sure?"), g_appTitle,
        MessageBoxes::OkCancel | MessageBoxes::IconQuestion);
    if (answer != MessageBoxes::IdOk)
        return;
    m_memoHistory->ClearHistory();
    m_history.Erase();
}

// Hiding narrows the window to the left panel; showing widens it by the splitter and the right
// panel as they are. Widths are client widths, so the frame never eats into the panels.
void TfrmMain::LabelHideHistoryClick() {
    QWidget* client = centralWidget();
    if (panelLeft->width() < client->width()) {
        client->setFixedWidth(panelLeft->width());
        LabelHideHistory->setText(kDisplayHistory);
    } else {
        client->setFixedWidth(panelLeft->width() + splitterLeftRight->width() +
                              panelRight->width());
        LabelHideHistory->setText(kHideHistory);
    }
}

void TfrmMain::labelEraseHistoryMouseEnter(TLabel* sender) {
    sender->SetFontColor(QColor(255, 0, 0));
    sender->setCursor(Qt::PointingHandCursor);
}

void TfrmMain::labelEraseHistoryMouseLeave(TLabel* sender) {
    sender->SetIdleFontColor(QColor(0, 0, 0));
    sender->setCursor(Qt::ArrowCursor);
}

void TfrmMain::CreateTrayIcon() {
    popupMenuTray = new QMenu(this);
    popupMenuTray->setObjectName(QStringLiteral("popupMenuTray"));
    popmenuExit = popupMenuTray->addAction(QStringLiteral("Exit"));
    popmenuExit->setObjectName(QStringLiteral("popmenuExit"));
    Bind(popmenuExit, &QAction::triggered, &TfrmMain::menuExitClick);

    trayIcon = new TTrayIcon(m_services.notify, this);
    trayIcon->setObjectName(QStringLiteral("trayIcon"));
    trayIcon->SetApplicationWindow(this);
    AddTrayIcon();
    trayIcon->SetHint(QStringLiteral("Quantoria"));
    trayIcon->SetPopupMenu(popupMenuTray);
    trayIcon->SetRestoreOn(imDoubleClick);
    trayIcon->SetPopupMenuOn(imRightClickUp);
    trayIcon->OnMouseEnter = Handler(&TfrmMain::trayIconMouseEnter);
    trayIcon->Loaded();
    m_services.notify.WatchArea([this](bool available) { TrayAreaChanged(available); });
}

// The notification area appeared late or came back (a panel started after the program, or
// restarted): the icon goes in again. When it went away, a window hidden in it comes back.
void TfrmMain::TrayAreaChanged(bool available) {
    if (!available) {
        m_trayAdded = false;
        if (!isVisible()) {
            setWindowState(windowState() | Qt::WindowMinimized);
            show();
        }
        return;
    }
    AddTrayIcon();
}

// Without a notification area the program still runs; the icon is added once one appears.
void TfrmMain::AddTrayIcon() {
    try {
        trayIcon->SetVisible(true);
        m_trayAdded = true;
    } catch (const EOutOfResources&) {
        m_trayAdded = false;
    }
}

bool TfrmMain::TrayShown() const {
    return trayIcon->Visible() && m_trayAdded;
}

void TfrmMain::ShowReminderBalloon() {
    trayIcon->ShowBalloonTip(kReminderTitle, kReminderText, 5000, BalloonIcon::Info);
}

void TfrmMain::FormCloseQuery(bool& canClose) {
    canClose = false;
    if (!TrayShown()) {
        // No notification area to hide in: an ordinary minimise keeps the window reachable.
        setWindowState(windowState() | Qt::WindowMinimized);
        return;
    }
    ShowReminderBalloon();
    trayIcon->Minimize();
    m_hiddenInTray = true;
}

void TfrmMain::trayIconMouseEnter() {
    ShowReminderBalloon();
}

int TfrmMain::RowOf(const TEdit* box) const {
    for (int row = 0; row < kRows; ++row)
        if (editExp[row] == box || editResult[row] == box)
            return row;
    return -1;
}

void TfrmMain::SetExpColour(TEdit* box, const QColor& colour) {
    SetBase(box, colour);
}

// The control a focus widget stands for: the precision box for its inner editor, else itself.
QWidget* TfrmMain::ControlOf(QWidget* widget) const {
    if (widget && widget->parentWidget() == editPrecision)
        return editPrecision;
    return widget;
}

bool TfrmMain::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FocusIn)
        ControlFocusIn(ControlOf(static_cast<QWidget*>(watched)));
    else if (event->type() == QEvent::FocusOut)
        ControlFocusOut(ControlOf(static_cast<QWidget*>(watched)),
                        static_cast<QFocusEvent*>(event)->reason());
    return QMainWindow::eventFilter(watched, event);
}

// Qt also moves the focus when the window is activated or deactivated, around modal boxes and
// when a menu opens; those are not the user entering or leaving a control. A control counts as
// entered once, until a real focus change takes the focus away from it.
void TfrmMain::ControlFocusIn(QWidget* control) {
    if (control == m_enteredControl)
        return;
    if (m_enteredControl) // it lost the focus while the window was inactive
        ControlFocusOut(m_enteredControl, Qt::OtherFocusReason);
    m_enteredControl = control;
    for (int row = 0; row < kRows; ++row) {
        if (control == editExp[row])
            Run(&TfrmMain::editExp1Enter, editExp[row]);
        else if (control == editResult[row])
            Run(&TfrmMain::editResult1Enter, editResult[row]);
    }
}

void TfrmMain::ControlFocusOut(QWidget* control, Qt::FocusReason reason) {
    if (reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason)
        return;
    if (control != m_enteredControl)
        return;
    m_enteredControl = nullptr;
    for (TEdit* exp : editExp)
        if (control == exp)
            Run(&TfrmMain::editExp1Exit, exp);
}

void TfrmMain::editExp1Enter(TEdit* sender) {
    for (TEdit* exp : editExp)
        SetExpColour(exp, kIdleRow);
    SetExpColour(sender, kActiveRow);
    m_editActiveExp = sender;
    m_editActiveResult = editResult[RowOf(sender)];
    sender->setCursorPosition(m_expCaret[RowOf(sender)]);
}

void TfrmMain::editExp1Exit(TEdit* sender) {
    SetExpColour(sender, kIdleRow);
    QWidget* focus = ControlOf(focusWidget());
    const bool inExpression =
        std::find(editExp.begin(), editExp.end(), focus) != editExp.end() && focus != sender;
    if (!inExpression && m_editActiveExp)
        SetExpColour(m_editActiveExp, kActiveRow);
    m_expCaret[RowOf(sender)] = sender->SelStart();
}

void TfrmMain::editExp1KeyUp(TEdit*, int key, Qt::KeyboardModifiers) {
    if (key == Qt::Key_Up)
        SelectNextControl(m_editActiveExp, false);
    else if (key == Qt::Key_Down)
        SelectNextControl(m_editActiveExp, true);
}

void TfrmMain::editResult1Enter(TEdit* sender) {
    m_editActiveResult = sender;
    m_editActiveExp = editExp[RowOf(sender)];
    for (TEdit* exp : editExp)
        SetExpColour(exp, kIdleRow);
    SetExpColour(m_editActiveExp, kActiveRow);
}

void TfrmMain::editResult1KeyUp(TEdit*, int key, Qt::KeyboardModifiers) {
    if (key == Qt::Key_Up)
        SelectNextControl(m_editActiveResult, false);
    else if (key == Qt::Key_Down)
        SelectNextControl(m_editActiveResult, true);
    else if (key == Qt::Key_Left)
        m_editActiveExp->setFocus(Qt::OtherFocusReason);
}

QList<QWidget*> TfrmMain::TabStops() const {
    QList<QWidget*> stops;
    for (QWidget* w = nextInFocusChain(); w && w != this; w = w->nextInFocusChain()) {
        QWidget* control = ControlOf(w);
        if (control->window() != this || !(control->focusPolicy() & Qt::TabFocus) ||
            !control->isVisibleTo(const_cast<TfrmMain*>(this)) || !control->isEnabled() ||
            stops.contains(control))
            continue;
        stops.append(control);
    }
    return stops;
}

void TfrmMain::SelectNextControl(QWidget* from, bool forward) {
    const QList<QWidget*> stops = TabStops();
    if (stops.isEmpty())
        return;
    qsizetype at = stops.indexOf(ControlOf(from));
    if (at < 0)
        at = forward ? stops.size() - 1 : 0;
    const qsizetype next = (at + (forward ? 1 : stops.size() - 1)) % stops.size();
    if (stops[next] != ControlOf(from))
        stops[next]->setFocus(Qt::TabFocusReason);
}

void TfrmMain::editExp1KeyPress(TEdit*, QChar& key) {
    if (key != QLatin1Char('=') && key != QLatin1Char('\r'))
        return;
    if (EvaluateActiveRow())
        key = QChar();
}

bool TfrmMain::EvaluateActiveRow() {
    const QString expression = m_editActiveExp->text();
    if (expression.isEmpty())
        return false;
    // The previous evaluation is on disk before this one runs.
    m_history.WaitWritten();
    QString result;
    try {
        result = EvaluateExpression(m_scriptControl.get(), expression, m_resultFormat,
                                    m_services.locale);
    } catch (const EOleSysError& e) {
        m_editActiveResult->SetText(e.Message());
        return true;
    }
    m_editActiveResult->SetText(result);
    InsertHistoryEntry(expression, m_editActiveResult->text());
    // Each evaluation's entry is handed to the writer at once, not a second later, so an
    // evaluation followed by a crash is not lost.
    m_history.SaveInBackground(false);
    return true;
}

void TfrmMain::InsertHistoryEntry(const QString& expression, const QString& result) {
    QTextDocument* document = m_memoHistory->document();
    QTextCursor cursor(document);
    cursor.movePosition(QTextCursor::Start);
    // The program's own lines stay out of the memo's undo history.
    document->setUndoRedoEnabled(false);
    cursor.insertText(HistoryEntryText(
        DateTimeToStr(QDateTime::currentDateTime(), m_services.locale), expression, result));
    document->setUndoRedoEnabled(true);
}

void TfrmMain::btnEqual1Click() {
    m_editActiveExp->setFocus(Qt::OtherFocusReason);
    QCoreApplication::processEvents();
    m_services.keyboard.Tap(VirtualKey::Return);
}

void TfrmMain::SpeedButton6Click(QAbstractButton* sender) {
    m_editActiveExp->setFocus(Qt::OtherFocusReason);
    QCoreApplication::processEvents();
    TEdit* exp = m_editActiveExp;
    switch (KeypadActionOf(sender->text())) {
    case KeypadAction::None:
        break;
    case KeypadAction::Insert: {
        const int start = exp->hasSelectedText() ? exp->selectionStart() : exp->cursorPosition();
        const EditState edit = KeypadInsert(exp->text(), start, sender->text());
        exp->setText(edit.text);
        exp->setCursorPosition(edit.caret);
        break;
    }
    case KeypadAction::Evaluate:
        m_services.keyboard.Tap(VirtualKey::Return);
        break;
    case KeypadAction::ToggleSign:
        if (const auto edit = ToggleSign(exp->text())) {
            exp->setText(edit->text);
            exp->setCursorPosition(edit->caret);
        }
        break;
    case KeypadAction::Clear:
        exp->clear();
        m_editActiveResult->clear();
        break;
    case KeypadAction::ClearAll:
        for (QObject* child : panelLeftTop->children())
            if (auto* box = qobject_cast<QLineEdit*>(child))
                box->clear();
        break;
    case KeypadAction::BackSpace:
        m_services.keyboard.Tap(VirtualKey::Back);
        break;
    }
}

void TfrmMain::BringToFront(const LaunchTokens& tokens) {
    if (TrayShown()) {
        trayIcon->Restore();
    } else {
        setWindowState(windowState() & ~Qt::WindowMinimized);
        show();
        raise();
        activateWindow();
    }
    // Where the desktop prevents focus stealing, only the launcher's tokens let the window in.
    if (m_services.activation && !tokens.IsEmpty())
        m_services.activation->Activate(windowHandle(), tokens);
}

// Ends the event loop directly: QCoreApplication::quit() would first ask the windows to close,
// and the main window refuses that (it goes into the tray instead).
void TfrmMain::menuExitClick() {
    QCoreApplication::exit(0);
}

void TfrmMain::menuExample1Click() {
    QStringList texts;
    for (const TEdit* exp : editExp)
        texts << exp->text();
    TEdit* target = editExp[ExampleRow(texts)];
    target->setText(kExampleExpression);
    target->setFocus(Qt::OtherFocusReason);
    QCoreApplication::processEvents();
    m_services.keyboard.Tap(VirtualKey::Return);
}

void TfrmMain::menuHomePageClick() {
    m_services.shell.Open(g_productPageUrl, ShowState::Maximized);
}

void TfrmMain::menuAboutClick() {
    TfrmAbout frmAbout(this, m_services.shell, m_services.GetFileVersionText);
    frmAbout.exec();
}

void TfrmMain::checkCommaClick() {
    BuildResultFormat();
}

void TfrmMain::editPrecisionChange() {
    BuildResultFormat();
}

void TfrmMain::BuildResultFormat() {
    m_resultFormat = BuildResultFormatText(checkComma->isChecked(), editPrecision->Value());
}
