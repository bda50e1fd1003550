#include "ui/shell/WebLinks.h"

#include "VantroConfig.h"
#include "app/Global.h"
#include "ui/shell/Platform.h"

namespace WebLinks {

namespace {
QString underService(const char* path) { return QString::fromStdString(global::ServiceUrl) + QLatin1String(path); }
} // namespace

QString UpdatesPage() { return underService("/vantro_updates.aspx"); }
QString RegistrationPage() { return underService("/login.aspx?regstart=true"); }
QString PasswordPage() { return underService("/login.aspx?forgot=true"); }
QString ServiceHomePage() { return QString::fromStdString(global::ServiceUrl); }
QString MakerHomePage() { return QString::fromUtf8(config::MakerHomePage); }

void Open(const QString& address) { platform().openUrl(address); }

} // namespace WebLinks
