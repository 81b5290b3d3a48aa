#include "ShellOpen.h"

#include <QDesktopServices>
#include <QUrl>

void DesktopShellOpen::Open(const QString& address, ShowState) {
    QDesktopServices::openUrl(QUrl(address, QUrl::StrictMode));
}
