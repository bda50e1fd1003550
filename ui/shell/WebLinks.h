#pragma once

#include <QString>

// The web pages the program's link labels open, all fixed when the program is built.
namespace WebLinks {

QString UpdatesPage();
QString RegistrationPage();
QString PasswordPage();
QString ServiceHomePage();
QString MakerHomePage();

// Opens `address` in the user's browser, if it is a web page: http or https with a host. Any
// other address (file:, smb:, a handler's scheme) could start a program or open a local file, and
// the advertisement's address comes from the network, so the user is told instead and nothing is
// opened. When the desktop cannot open a page either, the user is given its address to copy.
void Open(const QString& address);

// Whether `address` is a web page the program may open.
bool IsWebPage(const QString& address);

} // namespace WebLinks
