#include "ui/shell/WebLinks.h"

#include "VantroConfig.h"
#include "app/Global.h"
#include "ui/shell/Platform.h"

#include <QUrl>

namespace WebLinks {

namespace {
QString underService(const char* path) { return QString::fromStdString(global::ServiceUrl) + QLatin1String(path); }
} // namespace

QString UpdatesPage() { return underService("/vantro_updates.aspx"); }
QString RegistrationPage() { return underService("/login.aspx?regstart=true"); }
QString PasswordPage() { return underService("/login.aspx?forgot=true"); }
QString ServiceHomePage() { return QString::fromStdString(global::ServiceUrl); }
QString MakerHomePage() { return QString::fromUtf8(config::MakerHomePage); }

bool IsWebPage(const QString& address) {
    // Parsed as the desktop will parse it, so that both see the same scheme.
    const QUrl url(address);
    const QString scheme = url.scheme();
    return url.isValid() &&
           (scheme.compare(QLatin1String("http"), Qt::CaseInsensitive) == 0 ||
            scheme.compare(QLatin1String("https"), Qt::CaseInsensitive) == 0) &&
           !url.host().isEmpty();
}

void Open(const QString& address) {
    if (!IsWebPage(address)) {
        platform().messageBox(QStringLiteral("This link does not lead to a web page:\n") + address);
        return;
    }
    if (!platform().openUrl(address)) {
        platform().messageBox(QStringLiteral("No web browser could be started for this page. Its address is:\n") +
                              address);
    }
}

} // namespace WebLinks
