#pragma once

#include "calc/Controls.h"
#include "platform/ErrorReporter.h"
#include "platform/KeyboardInput.h"
#include "platform/Locale.h"
#include "platform/ScriptControl.h"
#include "platform/ShellOpen.h"

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
};

// The calculator window: five expression rows, the settings controls and the history memo.
class TfrmMain : public QMainWindow {
    Q_OBJECT
public:
    explicit TfrmMain(MainWindowServices services, QWidget* parent = nullptr);
    ~TfrmMain() override;

    static constexpr int kRows = 5;

    // Menus.
    QMenu* File1;
    QAction* menuExit;
    QAction* menuExample1;
    QMenu* Help1;
    QAction* menuHomePage;
    QAction* menuAbout;

    // Components. Row N (1-based) is index N-1: editExp[0] is editExp1, and so on.
    QWidget* panelLeft;
    QWidget* panelLeftTop;
    QWidget* panelLeftDown;
    QWidget* splitterLeftRight;
    QWidget* panelRight;
    std::array<QLabel*, kRows> Label;
    std::array<TEdit*, kRows> editExp;
    std::array<TSpeedButton*, kRows> btnEqual;
    std::array<TEdit*, kRows> editResult;
    QWidget* Label7; // the separator line between the keypad's fifth and sixth rows
    QCheckBox* checkComma;
    QLabel* labelPrecision;
    TCSpinEdit* editPrecision;
    QCheckBox* checkStartup;
    QCheckBox* checkSingle;
    QLabel* LabelHideHistory;
    QLabel* labelEraseHistory;
    QLabel* labelHistory;
    QPlainTextEdit* m_memoHistory;

    // The window's own state.
    std::unique_ptr<ScriptControl> m_scriptControl;
    TEdit* m_editActiveExp = nullptr;
    TEdit* m_editActiveResult = nullptr;
    QString m_resultFormat;
    std::array<int32_t, kRows> m_expCaret{};

    // Handlers.
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
    void checkCommaClick();
    void editPrecisionChange();
    void BuildResultFormat();
    // Evaluates the active row; false when its expression box is empty.
    bool EvaluateActiveRow();

    // The window's tab stops in tab order, as the arrow keys walk them.
    QList<QWidget*> TabStops() const;
    // Focuses the next (or previous) tab stop after `from`, wrapping around.
    void SelectNextControl(QWidget* from, bool forward);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void CreateControls();
    void CreateKeypad();
    void CreateMenu();
    void ControlFocusIn(QWidget* control);
    void ControlFocusOut(QWidget* control, Qt::FocusReason reason);
    bool eventFilter(QObject* watched, QEvent* event) override;
    QWidget* ControlOf(QWidget* widget) const;
    int RowOf(const TEdit* box) const;
    void SetExpColour(TEdit* box, const QColor& colour);
    void InsertHistoryEntry(const QString& expression, const QString& result);
    template <class Handler> void Handle(Handler&& handler) {
        RunHandler(m_services.errors, std::forward<Handler>(handler));
    }

    MainWindowServices m_services;
    // The control whose enter handler ran last and whose exit handler has not run yet.
    QPointer<QWidget> m_enteredControl;
};
