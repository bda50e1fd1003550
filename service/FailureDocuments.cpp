#include "service/FailureDocuments.h"

namespace FailureDocuments {

std::string Login(long status) {
    return "<login><result>FALSE</result><string>Login Failed: Could not connect to server:" + std::to_string(status) +
           "</string></login>";
}

std::string CarrierList(long) { return "<carriers></carriers>"; }

std::string AddressBookRetrieval(long status) {
    return "<address_book><result>FALSE</result><string>Retrieve Address Book Failed: Could not connect to server:" +
           std::to_string(status) + "</string></address_book>";
}

std::string AddressBookUpdate(long) { return "<update>Update Failed.  Could not connect to site:</update>"; }

std::string MessageSend(long) { return "<send>Send Failed.  Could not connect to site:</send>"; }

} // namespace FailureDocuments
