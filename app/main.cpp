#include "ApplicationIcon.h"
#include "FormMain.h"
#include "Global.h"
#include "Integrity.h"
#include "MessageBoxErrorReporter.h"
#include "MessageBoxes.h"
#include "QtKeyboardInput.h"
#include "QtShellNotify.h"
#include "ScriptEngine.h"
#include "SingleInstance.h"
#include "SystemLocale.h"
#include "TerminationSignals.h"
#include "VersionInfo.h"
#include "WindowActivation.h"

#include <QApplication>
#include <QMessageBox>
#include <QSessionManager>
#include <QTimer>

int main(int argc, char* argv[]) {
    // One copy per graphical session: a second start hands over to the running copy and ends
    // before it opens any window.
    SingleInstance instance;
    if (!instance.TryAcquire()) {
        // The launcher's tokens let the running copy's window past focus-stealing prevention.
        instance.RequestRestore(LaunchTokens::FromEnvironment());
        return 1;
    }

    QApplication application(argc, argv);
    // Ending the program is the main window's decision, not a side effect of a box closing.
    application.setQuitOnLastWindowClosed(false);
    application.setWindowIcon(ApplicationIcon());
    QGuiApplication::setDesktopFileName(QStringLiteral("example.quantoria.Quantoria"));

    // Log-off, shutdown and termination end the program the way File > Exit does, so the
    // window's destruction saves the history and the settings. They can come while a box of the
    // window's creation is open, before the event loop runs: exit() then ends only the box's
    // loop, so `ending` keeps the program from going on into the event loop, and no further box
    // opens.
    MessageBoxErrorReporter reporter;
    bool ending = false;
    const auto end = [&] {
        ending = true;
        reporter.ProgramEnding();
        QCoreApplication::exit(0);
    };
    TerminationSignals termination;
    QObject::connect(&termination, &TerminationSignals::Received, &application, end);
    QObject::connect(&application, &QGuiApplication::commitDataRequest, &application,
                     [&](QSessionManager&) { end(); });

    QtKeyboardInput keyboard;
    SystemLocale locale;
    DesktopShellOpen shell;
    QtMessageBoxes boxes;
    QtShellNotify notify;
    Autostart autostart;
    DesktopWindowActivation activation;
    RunHandler(reporter, [&] {
        TfrmMain frmMain({reporter, keyboard, locale,
                          [](const QString& progId) {
                              ScriptLimits limits;
                              limits.wakeFd = TerminationSignals::WakeDescriptor();
                              return CreateOleObject(progId, limits);
                          },
                          shell, GetFileVersionText, boxes, notify, autostart,
                          AppPaths::Resolve(QCoreApplication::applicationDirPath()),
                          QCoreApplication::applicationFilePath(), &activation});
        if (ending)
            return; // the destruction of the window saves, as after File > Exit
        // The window's creation has set the title: from now on a second copy can find this one.
        instance.Listen();
        QObject::connect(&instance, &SingleInstance::RestoreRequested, &frmMain,
                         [&](const LaunchTokens& tokens) {
                             // Out of the socket's notification, on the next turn of the loop.
                             QTimer::singleShot(0, &frmMain, [&, tokens] {
                                 RunHandler(reporter, [&] { frmMain.BringToFront(tokens); });
                             });
                         });
        frmMain.show();
        // Hashing the program file waits until the first frame is out.
        QTimer::singleShot(0, &frmMain, [&] {
            if (!ending && IntegrityCheck() == IntegrityStatus::Damaged)
                QMessageBox::critical(
                    &frmMain, g_appTitle,
                    QStringLiteral("The program file of %1 is damaged. Please obtain %1 again.")
                        .arg(g_appTitle));
        });
        if (!ending)
            QApplication::exec();
    });
    return 0;
}
