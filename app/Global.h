#pragma once

#include "addressbook/ab_friend.h"

#include <string>
#include <vector>

// The state that the whole run shares. Everything runs on the one user-interface thread, so
// none of it needs locking.
namespace global {

// Empty until a login is accepted; never cleared afterwards.
extern std::string CurrentUserId;

// Filled once at start-up, in the service's order, duplicates kept.
extern std::vector<std::string> Carriers;

// Replaced whole by every address book retrieval, never edited in place.
extern std::vector<ab_friend> Friends;

// The address every exchange and web page lies under. Fixed when the program is built, unless a
// settings file gives another at start (Settings.h); tests point it at their own loopback server.
extern std::string ServiceUrl;

// The PEM of the only CA trusted when the address is https; empty: the system's CAs. Fixed when
// the program is built, unless a settings file names another; tests set their own, as they do
// the address.
extern std::string ServiceCaPem;

} // namespace global
