// One login and one carrier list through the program's exchanges, and as bare libcurl POSTs of the
// same bytes, both against a loopback server that replays the service's own answers. The service
// itself would spend most of each round on its password hash, which is the same for both and would
// hide what the program adds.

#include "app/Global.h"
#include "bench/BenchService.h"
#include "server/store/DemoData.h"
#include "service/CarrierListExchange.h"
#include "service/LoginExchange.h"
#include "service/RequestDocument.h"
#include "tests/support/LoopbackServer.h"

#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <curl/curl.h>

namespace {

size_t keepAnswer(char* data, size_t size, size_t count, void* answer) {
    static_cast<std::string*>(answer)->append(data, size * count);
    return size * count;
}

// The smallest libcurl POST that puts the same request on the wire as the program does.
long barePost(const std::string& url, const std::string& body, std::string& answer) {
    CURL* curl = curl_easy_init();
    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, ("Content-Length: " + std::to_string(body.size())).c_str());
    headers = curl_slist_append(headers, "Content-Type: text/xml");
    headers = curl_slist_append(headers, "Expect:");
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &keepAnswer);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, static_cast<void*>(&answer));
    long status = 0;
    if (curl_easy_perform(curl) == CURLE_OK) {
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return status;
}

const std::string kLogin(server::kDemoLogin);
const std::string kPassword(server::kDemoPassword);

// The service's answers to the demo login and the carrier list, taken once from the real service
// and served from then on at no cost of their own.
LoopbackServer& replayServer() {
    static LoopbackServer* const server = [] {
        const std::string base = BenchService().baseUrl();
        std::string loginAnswer;
        std::string carrierAnswer;
        barePost(base + "/vantro_login.aspx", RequestDocument("QVRLogin", {{"Login", kLogin}, {"Password", kPassword}}),
                 loginAnswer);
        barePost(base + "/vantro_carriers.aspx", std::string(), carrierAnswer);
        auto* replay = new LoopbackServer;
        replay->replyXml("/vantro_login.aspx", loginAnswer);
        replay->replyXml("/vantro_carriers.aspx", carrierAnswer);
        return replay;
    }();
    return *server;
}

void ExchangeOurs(benchmark::State& state) {
    global::ServiceUrl = replayServer().url();
    for (auto _ : state) {
        const LoginResult login = LoginExchange(kLogin, kPassword);
        std::vector<std::string> carriers;
        LoadCarrierList(carriers);
        if (login.outcome != LoginOutcome::Accepted || carriers.empty()) {
            state.SkipWithError("the service did not accept the login or sent no carriers");
            break;
        }
    }
}

void ExchangeAnchor(benchmark::State& state) {
    const std::string base = replayServer().url();
    const std::string loginBody = RequestDocument("QVRLogin", {{"Login", kLogin}, {"Password", kPassword}});
    for (auto _ : state) {
        std::string loginAnswer;
        std::string carrierAnswer;
        const long loginStatus = barePost(base + "/vantro_login.aspx", loginBody, loginAnswer);
        const long carrierStatus = barePost(base + "/vantro_carriers.aspx", std::string(), carrierAnswer);
        if (loginStatus != 200 || carrierStatus != 200 || loginAnswer.find("TRUE") == std::string::npos) {
            state.SkipWithError("the service did not answer the bare requests");
            break;
        }
    }
}

} // namespace

BENCHMARK(ExchangeOurs)->Name("login and carrier list/ours")->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(ExchangeAnchor)->Name("login and carrier list/anchor")->Unit(benchmark::kMicrosecond)->UseRealTime();

int main(int argc, char** argv) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    const int result = RunBenchmarksThenStopService(argc, argv);
    curl_global_cleanup();
    return result;
}
