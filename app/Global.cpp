#include "app/Global.h"

#include "VantroConfig.h"

namespace global {

std::string CurrentUserId;
std::vector<std::string> Carriers;
std::vector<ab_friend> Friends;
std::string ServiceUrl = config::ServiceUrl;
std::string ServiceCaPem = config::ServiceCaPem;

} // namespace global
