#pragma once

#include <string>
#include <vector>

// Asks the service which carriers it delivers to and appends their names to `carriers`, in the
// service's order. A non-200 status or an answer that is not XML appends nothing; a transport
// failure is a TransportError.
void LoadCarrierList(std::vector<std::string>& carriers);
