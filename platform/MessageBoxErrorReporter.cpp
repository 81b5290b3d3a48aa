#include "platform/MessageBoxErrorReporter.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>

void MessageBoxErrorReporter::ShowException(const QString& message) {
    if (m_ending) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()),
                     qPrintable(ErrorBoxText(message)));
        return;
    }
    QMessageBox box(QMessageBox::Critical, QCoreApplication::applicationName(),
                    ErrorBoxText(message), QMessageBox::Ok, QApplication::activeWindow());
    box.setAccessibleName(QCoreApplication::applicationName());
    box.exec();
}
