#include "app/Main.h"

#include "app/Global.h"
#include "app/Settings.h"
#include "service/CarrierListExchange.h"
#include "ui/main/frm_quorvale.h"
#include "ui/shell/Navigation.h"
#include "ui/shell/Platform.h"

#include <algorithm>
#include <exception>
#include <memory>

namespace global {

void Main() {
    Carriers = {};
    Friends = {};
    try {
        ApplySettingsFiles(SettingsFiles());
    } catch (const SettingsError& error) {
        platform().messageBox(QString::fromUtf8(error.what()));
        return;
    }
    try {
        LoadCarrierList(Carriers);
        // Owned here until shown, so that a window half made when an error comes is discarded.
        auto window = std::make_unique<frm_quorvale>();
        Navigation::CentreOnScreen(window.get());
        window->show();
        window.release(); // deletes itself when closed
    } catch (const std::exception&) {
        platform().messageBox(
            QStringLiteral("The software could not detect a network connection.  Please check and try again."));
    }
}

int QtArgumentCount(int argc) { return std::min(argc, 1); }

} // namespace global
