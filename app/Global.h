#pragma once

#include <QString>

class QCoreApplication;

// The maker's web host, used by both web addresses and shown in the About window.
inline const QString kMakerHost = QStringLiteral("www.quantoria.example");

// The program's identity, set once at start and read everywhere else.
extern QString g_appTitle;
extern QString g_productId;
extern QString g_homePageUrl;
extern QString g_productPageUrl;
extern QString g_supportMail;

// Sets the identity values and the application title. Called once, as the first step of the
// main window's creation.
void InitAppIdentity(QCoreApplication* application);
