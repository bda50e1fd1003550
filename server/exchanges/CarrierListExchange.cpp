// POST /vantro_carriers.aspx: the carriers the program offers, in the gateway table's order.

#include "server/exchanges/AnswerXml.h"
#include "server/exchanges/Exchanges.h"

namespace server {

std::string Exchanges::carriers() const {
    pugi::xml_document doc;
    pugi::xml_node root = doc.append_child("carriers");
    for (const Carrier& carrier : gateways().carriers()) {
        if (m_settings.deliveryOn && m_settings.byCarrierGateway && carrier.gateway.empty()) {
            continue; // the program would offer a carrier the service cannot reach
        }
        answer::AddText(root, "carrier", carrier.name);
    }
    return answer::Serialize(doc);
}

} // namespace server
