#include "Global.h"

#include <QCoreApplication>

QString g_appTitle;
QString g_productId;
QString g_homePageUrl;
QString g_productPageUrl;
QString g_supportMail = QStringLiteral("support@quantoria.example");

void InitAppIdentity(QCoreApplication* application) {
    g_productId = QStringLiteral("Quantoria_V1");
    g_appTitle = QStringLiteral("Quantoria");
    g_homePageUrl =
        QStringLiteral("http://") + kMakerHost + QStringLiteral("/?come_from=") + g_productId;
    g_productPageUrl = QStringLiteral("http://") + kMakerHost +
                       QStringLiteral("/en/Quantoria_Detail.aspx?come_from=") + g_productId;
    if (application)
        application->setApplicationName(g_appTitle);
}
