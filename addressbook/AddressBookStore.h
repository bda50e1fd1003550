#pragma once

#include <string>

namespace global {

// Replaces the address book with a new, empty one and fills it from the service. A refusal by the
// service is shown in a message box and leaves it empty. Errors are the caller's to handle; the
// entries read before one stay.
void LoadAddressBook(const std::string& userId);

} // namespace global
