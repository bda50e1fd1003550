#pragma once

// The paths the service answers, each with its methods and its handler.

#include "server/http/Answer.h"
#include "server/http/Method.h"
#include "server/http/Request.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace server::http {

using Handler = std::function<Answer(const Request&)>;

struct Route {
    std::string path;
    Method methods = Method::None;
    Handler handler;
    // Answered on the worker pool while the connection waits aside: for handlers that hold a core
    // for a long while (a password hash), so that the threads serving connections stay free.
    bool onPool = false;
    // A pool route's answer for requests still waiting when the service stops.
    Handler whenStopping{};
    // A pool route's answer, given at once, when too many of its requests are waiting already.
    Handler whenBusy{};
    // The methods whose answers report a change that the handler waits to be on disk (a send, a
    // new account). They are answered on the writers' pool while the connection waits aside, so
    // that many share one sync of the store and none holds a thread serving connections. Writes
    // still waiting when the service stops are made and answered all the same.
    Method waitsForDisk = Method::None;
};

class RouteTable {
public:
    void add(Route route) { m_routes.push_back(std::move(route)); }
    // The route of exactly that path; null when there is none.
    const Route* find(std::string_view path) const {
        for (const Route& route : m_routes) {
            if (route.path == path) {
                return &route;
            }
        }
        return nullptr;
    }

private:
    std::vector<Route> m_routes;
};

} // namespace server::http
