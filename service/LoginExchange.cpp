#include "service/LoginExchange.h"

#include "app/Global.h"
#include "service/FailureDocuments.h"
#include "service/RequestDocument.h"
#include "service/ServiceExchange.h"

LoginResult LoginExchange(const std::string& login, const std::string& password) {
    const std::string request = RequestDocument("QVRLogin", {{"Login", login}, {"Password", password}});
    const ServiceAnswer answer = ServiceExchange("/vantro_login.aspx", request, FailureDocuments::Login);

    // The service answers in upper case only; any other spelling is not an answer we act on.
    const std::string result = answer.firstText("//result");
    if (result == "TRUE") {
        // firstText throws before the assignment, so an answer without the id keeps the previous one.
        global::CurrentUserId = answer.firstText("//string");
        return {global::CurrentUserId.empty() ? LoginOutcome::AcceptedWithoutId : LoginOutcome::Accepted, {}};
    }
    if (result == "FALSE") {
        return {LoginOutcome::Refused, answer.firstText("//string")};
    }
    return {LoginOutcome::Unrecognised, {}};
}
