#include "addressbook/AddressBookStore.h"

#include "app/Global.h"
#include "service/AddressBookRetrieval.h"
#include "ui/shell/Platform.h"

namespace global {

void LoadAddressBook(const std::string& userId) {
    // Replaced before the request, so that a failure never leaves the previous book in place.
    Friends = {};
    if (const auto refusal = RetrieveAddressBook(userId, Friends)) {
        platform().messageBox(QString::fromStdString(*refusal));
    }
}

} // namespace global
