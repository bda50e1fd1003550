#include "service/AddressBookUpdateExchange.h"

#include "service/FailureDocuments.h"
#include "service/RequestDocument.h"
#include "service/ServiceExchange.h"

std::string AddressBookUpdateExchange(const std::string& action, const std::string& userId, const std::string& friendId,
                                      const std::string& name, const std::string& number, const std::string& carrier) {
    const std::string escapedName = EscapeXmlText(name);
    const std::string escapedCarrier = EscapeXmlText(carrier);
    const std::string request = RequestDocument("QVRABUpdate", {{"Action", action},
                                                                {"Reguser", userId},
                                                                {"Friend", friendId},
                                                                {"Name", escapedName},
                                                                {"Number", number},
                                                                {"Carrier", escapedCarrier}});
    const ServiceAnswer answer =
        ServiceExchange("/vantro_ab_update.aspx", request, FailureDocuments::AddressBookUpdate);
    return answer.firstText("//update");
}
