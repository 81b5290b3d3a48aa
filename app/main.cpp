#include "calc/FormMain.h"
#include "platform/MessageBoxErrorReporter.h"
#include "platform/QtKeyboardInput.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    // Ending the program is the main window's decision, not a side effect of a box closing.
    application.setQuitOnLastWindowClosed(false);

    MessageBoxErrorReporter reporter;
    QtKeyboardInput keyboard;
    SystemLocale locale;
    DesktopShellOpen shell;
    RunHandler(reporter, [&] {
        TfrmMain frmMain({reporter, keyboard, locale,
                          [](const QString& progId) { return CreateOleObject(progId); }, shell,
                          [](const QString&) { return QString(); }});
        frmMain.show();
        QApplication::exec();
    });
    return 0;
}
