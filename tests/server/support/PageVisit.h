#pragma once

// A browser's visit to "/messages.aspx" for the socket-level tests: keeps the cookies the service
// sets (the form token, the page's session) and posts forms with the form token, as a browser does.

#include <map>
#include <string>

#include <httplib.h>

namespace lstest {

class PageVisit {
public:
    static constexpr const char* kPath = "/messages.aspx";

    // Opens the page, which hands over the form token.
    explicit PageVisit(httplib::Client& client) : m_client(client) { get(); }

    httplib::Result get(const std::string& path = kPath) {
        auto res = m_client.Get(path, cookieHeader());
        keepCookies(res);
        return res;
    }
    // `withToken`: the form carries the form token (the cookie goes along all the same).
    httplib::Result post(httplib::Params fields, bool withToken = true) {
        if (withToken) {
            fields.emplace("form_token", formToken());
        }
        auto res = m_client.Post(kPath, cookieHeader(), fields);
        keepCookies(res);
        return res;
    }
    httplib::Result signIn(const std::string& number, const std::string& password) {
        return post({{"step", "signin"}, {"number", number}, {"password", password}});
    }

    // The token of the form cookie, under either of its names.
    std::string formToken() const { return cookie("vantro_form") + cookie("__Host-vantro_form"); }
    std::string cookie(const std::string& name) const {
        const auto it = m_cookies.find(name);
        return it == m_cookies.end() ? std::string() : it->second;
    }
    // The Set-Cookie headers of the last answer.
    std::vector<std::string> setCookies;

private:
    httplib::Headers cookieHeader() const {
        std::string header = "theme=dark";
        for (const auto& [name, value] : m_cookies) {
            header += "; " + name + "=" + value;
        }
        return {{"Cookie", header}};
    }
    void keepCookies(const httplib::Result& res) {
        setCookies.clear();
        if (!res) {
            return;
        }
        for (std::size_t i = 0; i < res->get_header_value_count("Set-Cookie"); ++i) {
            const std::string line = res->get_header_value("Set-Cookie", i);
            setCookies.push_back(line);
            const std::string pair = line.substr(0, line.find(';'));
            const std::string name = pair.substr(0, pair.find('='));
            if (line.find("Max-Age=0") != std::string::npos) {
                m_cookies.erase(name);
            } else {
                m_cookies[name] = pair.substr(pair.find('=') + 1);
            }
        }
    }

    httplib::Client& m_client;
    std::map<std::string, std::string> m_cookies;
};

} // namespace lstest
