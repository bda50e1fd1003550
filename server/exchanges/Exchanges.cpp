#include "server/exchanges/Exchanges.h"

#include <utility>

namespace server {

Exchanges::Exchanges(Store& store, ExchangeSettings settings)
    : m_store(store), m_settings(std::move(settings)), m_throttle(store, m_settings.throttle) {}

const GatewayTable& Exchanges::gateways() const {
    return m_settings.gateways != nullptr ? *m_settings.gateways : GatewayTable::builtIn();
}

} // namespace server
