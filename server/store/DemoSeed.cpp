// The demo user and its friends (DemoData.h), given to a new store once its schema is made, so
// that the service can be tried at once.

#include "server/store/DemoData.h"
#include "server/store/Passwords.h"
#include "server/store/Store.h"

namespace server {

void Store::seedDemoData() {
    const std::int64_t demoUser = insertUser(kDemoLogin, HashPassword(kDemoPassword)).value_or(0);
    for (const DemoFriend& demo : kDemoFriends) {
        insertFriend(demoUser, Friend{0, std::string(demo.name), std::string(demo.number), std::string(demo.carrier)});
    }
}

} // namespace server
