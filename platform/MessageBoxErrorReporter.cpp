#include "platform/MessageBoxErrorReporter.h"

#include <QApplication>
#include <QMessageBox>

void MessageBoxErrorReporter::ShowException(const QString& message) {
    QMessageBox box(QMessageBox::Critical, QCoreApplication::applicationName(),
                    ErrorBoxText(message), QMessageBox::Ok, QApplication::activeWindow());
    box.setAccessibleName(QCoreApplication::applicationName());
    box.exec();
}
