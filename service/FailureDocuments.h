#pragma once

#include <string>

// What each exchange reads in place of the service's answer when the status is not 200: a refusal
// in the service's own answer format. Login and retrieval carry the status digits after the colon;
// update and send end with the colon.
namespace FailureDocuments {

std::string Login(long status);
std::string CarrierList(long status);
std::string AddressBookRetrieval(long status);
std::string AddressBookUpdate(long status);
std::string MessageSend(long status);

} // namespace FailureDocuments
