#pragma once

#include <QString>

// The web pages the program's link labels open, all fixed when the program is built.
namespace WebLinks {

QString UpdatesPage();
QString RegistrationPage();
QString PasswordPage();
QString ServiceHomePage();
QString MakerHomePage();

// Opens `address` in the user's browser; nothing is reported when that fails.
void Open(const QString& address);

} // namespace WebLinks
