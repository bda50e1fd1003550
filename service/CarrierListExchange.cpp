#include "service/CarrierListExchange.h"

#include "service/FailureDocuments.h"
#include "service/ServiceExchange.h"

void LoadCarrierList(std::vector<std::string>& carriers) {
    const ServiceAnswer answer = ServiceExchange("/vantro_carriers.aspx", std::nullopt, FailureDocuments::CarrierList);
    if (!answer.parsed()) {
        return;
    }
    for (const pugi::xml_node& carrier : answer.all("//carriers/carrier")) {
        carriers.push_back(NodeText(carrier));
    }
}
