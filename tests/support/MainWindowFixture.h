#pragma once

#include "FormMain.h"
#include "QtKeyboardInput.h"
#include "support/Doubles.h"
#include "support/FixedLocale.h"
#include "support/RecordingShellNotify.h"
#include "support/RecordingWindowActivation.h"
#include "support/ScriptedMessageBoxes.h"

#include <QApplication>
#include <QTemporaryDir>
#include <QTest>

// A main window with the platform doubles, its files in a folder of its own.
struct MainWindowFixture {
    RecordingErrorReporter errors;
    QtKeyboardInput keyboard;
    FixedLocale locale{QStringLiteral("."), QStringLiteral(",")};
    RecordingShellOpen shell;
    ScriptedMessageBoxes boxes;
    RecordingShellNotify notify;
    RecordingWindowActivation activation;
    std::unique_ptr<QTemporaryDir> folder;
    std::unique_ptr<Autostart> autostart;
    FailingEngine engine;
    std::unique_ptr<TfrmMain> w;
    QString sharedFolder; // another fixture's folder, when set (two copies on one folder)

    MainWindowFixture() { NewFolder(); }

    void UseFolderOf(const MainWindowFixture& other) { sharedFolder = other.folder->path(); }

    // A fresh folder and fresh doubles, for the next test.
    void NewFolder() {
        w.reset();
        errors.messages.clear();
        shell.opened.clear();
        boxes = ScriptedMessageBoxes{};
        notify = RecordingShellNotify{};
        activation = RecordingWindowActivation{};
        engine = FailingEngine{};
        folder = std::make_unique<QTemporaryDir>();
        // A portable copy: the window's files stay in the folder.
        QFile(folder->filePath(QLatin1String(kPortableMarker))).open(QIODevice::WriteOnly);
        autostart = std::make_unique<Autostart>(folder->filePath(QStringLiteral("autostart")));
    }

    QString File(const QString& name) const { return folder->filePath(name); }
    QString HistoryFile() const { return File(QStringLiteral("calc_history.txt")); }
    QString SettingsFile() const { return File(QStringLiteral("calc_config.ini")); }

    // Creates the window, shows it and waits until it is active.
    bool Make() {
        w = std::make_unique<TfrmMain>(MainWindowServices{
            errors, keyboard, locale, engine.Factory(), shell,
            [](const QString&) { return QStringLiteral("1.8.6.66"); }, boxes, notify, *autostart,
            AppPaths::Resolve(sharedFolder.isEmpty() ? folder->path() : sharedFolder),
            File(QStringLiteral("quantoria")), &activation});
        w->show();
        QApplication::setActiveWindow(w.get());
        return QTest::qWaitForWindowActive(w.get());
    }

    // Ends the window the way File > Exit does: its destruction saves.
    void Destroy() { w.reset(); }

    // Types an expression into a row and presses Enter there.
    void Evaluate(int row, const QString& expression) {
        w->editExp[row]->setFocus(Qt::MouseFocusReason);
        w->editExp[row]->setText(expression);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    }
};
