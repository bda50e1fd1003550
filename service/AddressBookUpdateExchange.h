#pragma once

#include <string>

// Asks the service to apply one change to the user's address book and returns the service's
// outcome text, the first //update element's text; exactly "Update Successful." means the change
// was made. `name` and `carrier` are escaped here once more (the window has already turned each
// "&" into "&amp;"); the other values go out as given. A non-200 status gives the update failure
// text; a transport failure is a TransportError, an answer without //update a MissingNodeError.
std::string AddressBookUpdateExchange(const std::string& action, const std::string& userId, const std::string& friendId,
                                      const std::string& name, const std::string& number, const std::string& carrier);
