#pragma once

#include "AppPaths.h"
#include "Autostart.h"
#include "Controls.h"
#include "ErrorReporter.h"
#include "HistoryMemo.h"
#include "HistoryStore.h"
#include "KeyboardInput.h"
#include "KeypadPanel.h"
#include "Locale.h"
#include "MessageBoxes.h"
#include "ScriptControl.h"
#include "ShellNotify.h"
#include "ShellOpen.h"
#include "TrayIcon.h"
#include "WindowActivation.h"

#include <QMainWindow>
#include <QPointer>
#include <array>
#include <memory>

class QAbstractButton;
class QCheckBox;
class QAction;
class QLabel;
class QMenu;
class QPlainTextEdit;

// What the main window uses from the platform.
struct MainWindowServices {
    ErrorReporter& errors;
    KeyboardInput& keyboard;
    const Locale& locale;
    ScriptControlFactory createScriptControl;
    ShellOpen& shell;
    // The file version of an executable, "" when it has none.
    std::function<QString(const QString& path)> GetFileVersionText;
    MessageBoxes& boxes;
    ShellNotify& notify;
    Autostart& autostart;
    // Where the history and settings files are, decided once at start.
    AppPaths paths;
    // The running program's file, as the autostart entry starts it.
    QString executablePath;
    // Raises the window with a later start's launch tokens; none: the toolkit's raise only.
    WindowActivation* activation = nullptr;
};

// The reminder balloon on the notification icon.
inline const QString kReminderTitle = QStringLiteral("Quantoria");
inline const QString kReminderText =
    QStringLiteral("You can double click this icon to restore calculator at any time.");

// The calculator window: five expression rows, the settings controls and the history memo.
class TfrmMain : public QMainWindow {
    Q_OBJECT
public:
    explicit TfrmMain(MainWindowServices services, QWidget* parent = nullptr);
    ~TfrmMain() override;

    static constexpr int kRows = 5;

    // What no control shows: the pattern results are formatted with, the active row's boxes and
    // the caret position each row's expression box gets back when it is entered again.
    const QString& ResultFormat() const { return m_resultFormat; }
    const TEdit* ActiveExpression() const { return m_editActiveExp; }
    const TEdit* ActiveResult() const { return m_editActiveResult; }
    int RememberedCaret(int row) const { return m_expCaret[row]; }

    // Evaluates the active row; false when its expression box is empty.
    bool EvaluateActiveRow();

    // Brings the window back from the tray or the minimised state and to the front (a second
    // start of the program asks for this, with the tokens its launcher gave it).
    void BringToFront(const LaunchTokens& tokens = {});
    // Waits until the history handed to the writer thread is on disk (or failed); false when
    // `timeout` passed first.
    bool WaitHistoryWritten(std::chrono::milliseconds timeout) {
        return m_history.WaitWritten(timeout);
    }

    // The window's tab stops in tab order, as the arrow keys walk them.
    QList<QWidget*> TabStops() const;

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    // The handlers, named after the controls and events they serve; each runs inside RunHandler
    // (Bind, Handler, Run below).
    void FormCreate();
    void FormDestroy();
    void editExp1Enter(TEdit* sender);
    void editExp1Exit(TEdit* sender);
    void editExp1KeyUp(TEdit* sender, int key, Qt::KeyboardModifiers shift);
    void editExp1KeyPress(TEdit* sender, QChar& key);
    void editResult1Enter(TEdit* sender);
    void editResult1KeyUp(TEdit* sender, int key, Qt::KeyboardModifiers shift);
    void btnEqual1Click();
    void SpeedButton6Click(QAbstractButton* sender);
    void menuExitClick();
    void menuExample1Click();
    void menuHomePageClick();
    void menuAboutClick();
    void labelEraseHistoryClick();
    void LabelHideHistoryClick();
    void labelEraseHistoryMouseEnter(TLabel* sender);
    void labelEraseHistoryMouseLeave(TLabel* sender);
    void FormCloseQuery(bool& canClose);
    void trayIconMouseEnter();
    void checkCommaClick();
    void editPrecisionChange();
    void BuildResultFormat();

    // The icon is really in the notification area: closing and minimising hide into it.
    bool TrayShown() const;
    // Focuses the next (or previous) tab stop after `from`, wrapping around.
    void SelectNextControl(QWidget* from, bool forward);

    // Menus.
    QMenu* File1;
    QAction* menuExit;
    QAction* menuExample1;
    QMenu* Help1;
    QAction* menuHomePage;
    QAction* menuAbout;

    // Components. Row N (1-based) is index N-1: editExp[0] is editExp1, and so on. Tests find
    // them by their object names, which are these names.
    QWidget* panelLeft;
    QWidget* panelLeftTop;
    QWidget* panelLeftDown;
    QWidget* splitterLeftRight;
    QWidget* panelRight;
    std::array<QLabel*, kRows> Label;
    std::array<TEdit*, kRows> editExp;
    std::array<TSpeedButton*, kRows> btnEqual;
    std::array<TEdit*, kRows> editResult;
    TKeypadPanel* panelKeypad;
    QCheckBox* checkComma;
    QLabel* labelPrecision;
    TCSpinEdit* editPrecision;
    QCheckBox* checkStartup;
    QCheckBox* checkSingle;
    TLabel* LabelHideHistory;
    TLabel* labelEraseHistory;
    QLabel* labelHistory;
    THistoryMemo* m_memoHistory;
    TTrayIcon* trayIcon = nullptr;
    QMenu* popupMenuTray = nullptr;
    QAction* popmenuExit = nullptr;

    // The window's own state.
    std::unique_ptr<ScriptControl> m_scriptControl;
    TEdit* m_editActiveExp = nullptr;
    TEdit* m_editActiveResult = nullptr;
    QString m_resultFormat;
    std::array<int32_t, kRows> m_expCaret{};

    void CreateControls();
    void CreateExpressionRow(int row);
    void CreateSettingsPanel();
    void CreateHistoryPanel();
    void SetTabOrder();
    void CreateMenu();
    void CreateTrayIcon();
    void ShowReminderBalloon();
    void TrayAreaChanged(bool available);
    void AddTrayIcon();
    void ControlFocusIn(QWidget* control);
    void ControlFocusOut(QWidget* control, Qt::FocusReason reason);
    bool eventFilter(QObject* watched, QEvent* event) override;
    QWidget* ControlOf(QWidget* widget) const;
    int RowOf(const TEdit* box) const;
    void SetExpColour(TEdit* box, const QColor& colour);
    void InsertHistoryEntry(const QString& expression, const QString& result);
    // Runs code of a handler; an error it raises goes to the error reporter and ends only that
    // code. False when it failed.
    template <class Code> bool Handle(Code&& code) {
        return RunHandler(m_services.errors, std::forward<Code>(code));
    }
    // Runs a handler with `args` through Handle.
    template <class... Params, class... Args>
    bool Run(void (TfrmMain::*handler)(Params...), Args&&... args) {
        return Handle([&] { (this->*handler)(std::forward<Args>(args)...); });
    }
    // A callable for a control's callback or a Qt signal that runs `handler` through Handle with
    // the first arguments it is given; the ones the handler does not take are left out.
    template <class... Params> auto Handler(void (TfrmMain::*handler)(Params...)) {
        return [this, handler](Params... args, auto&&...) { Run(handler, args...); };
    }
    // Connects a signal of `sender` to `handler`, run through Handle.
    template <class Sender, class Signal, class... Params>
    void Bind(Sender* sender, Signal signal, void (TfrmMain::*handler)(Params...)) {
        connect(sender, signal, this, Handler(handler));
    }

    MainWindowServices m_services;
    // The control whose enter handler ran last and whose exit handler has not run yet.
    QPointer<QWidget> m_enteredControl;
    // The last add of the notification icon succeeded and the area is still there.
    bool m_trayAdded = false;
    // The window went into the tray (a close or a minimise) and has not been shown since.
    bool m_hiddenInTray = false;
    // When and where the memo's history is written.
    HistoryStore m_history;
};
