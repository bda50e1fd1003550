// vantro-server-load: measures the service under load on this machine. It starts vantro-server
// on 127.0.0.1 with a store of its own and the send and login limits raised, then runs login and
// send at 1, 4 and 16 clients, each with a new connection per request (as the program connects)
// and with kept-alive connections. Every run is bounded in time and in requests. Any answer
// other than an acceptance counts as a failure; a request without an answer counts as lost.
// With --db postgresql://... it starts --processes N services on that (empty) database instead,
// the clients taking turns over them as a load balancer would hand them out.
//
//   vantro-server-load --server PATH [--seconds S] [--max-requests N] [--repeat R] [--only send|login]
//                      [--db URI --processes N]

#include "LoopbackService.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <curl/curl.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

struct Settings {
    std::string serverPath;
    double seconds = 2.0;
    std::size_t maxRequests = 50000;
    int repeat = 3;
    std::string only; // one exchange's name, or every exchange
    std::string postgres; // a PostgreSQL URI; empty: an SQLite file of our own
    int processes = 1;
};

struct RunResult {
    std::size_t done = 0;
    std::size_t failed = 0;
    std::size_t lost = 0;
    double perSecond = 0;
    double p50 = 0, p99 = 0, max = 0; // milliseconds
};

struct Client {
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    std::string answer;
    Clock::time_point started;
};

size_t Append(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

// A closed connection leaves no TIME_WAIT behind, so that tens of thousands of new connections
// do not run out of local ports.
int NoLinger(void*, curl_socket_t socket, curlsocktype) {
    linger off{1, 0};
    setsockopt(socket, SOL_SOCKET, SO_LINGER, &off, sizeof off);
    return CURL_SOCKOPT_OK;
}

bool Accepting(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

// One POST, synchronously: the answer's body, empty on failure.
std::string PostOnce(const std::string& url, const std::string& body) {
    CURL* easy = curl_easy_init();
    std::string answer;
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: text/xml");
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Append);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT, 30L);
    const bool ok = curl_easy_perform(easy) == CURLE_OK;
    curl_slist_free_all(headers);
    curl_easy_cleanup(easy);
    return ok ? answer : std::string();
}

double Percentile(std::vector<double>& sorted, double share) {
    if (sorted.empty()) {
        return 0;
    }
    const auto index = static_cast<std::size_t>(share * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(index, sorted.size() - 1)];
}

RunResult Run(const Settings& settings, const std::vector<std::string>& urls, const std::string& body,
              std::string_view accepted, int clients, bool keepAlive) {
    CURLM* multi = curl_multi_init();
    std::vector<Client> pool(static_cast<std::size_t>(clients));
    std::vector<double> latencies;
    latencies.reserve(settings.maxRequests);
    RunResult result;
    std::size_t started = 0;
    const Clock::time_point begin = Clock::now();
    const Clock::time_point end =
        begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(settings.seconds));
    const auto launch = [&](Client& client) {
        client.answer.clear();
        client.started = Clock::now();
        ++started;
        curl_multi_add_handle(multi, client.easy);
    };
    for (std::size_t i = 0; i < pool.size(); ++i) {
        Client& client = pool[i];
        const std::string& url = urls[i % urls.size()];
        client.easy = curl_easy_init();
        client.headers = curl_slist_append(nullptr, "Content-Type: text/xml");
        client.headers = curl_slist_append(client.headers, "Expect:");
        curl_easy_setopt(client.easy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(client.easy, CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(client.easy, CURLOPT_HTTPHEADER, client.headers);
        curl_easy_setopt(client.easy, CURLOPT_WRITEFUNCTION, &Append);
        curl_easy_setopt(client.easy, CURLOPT_WRITEDATA, &client.answer);
        curl_easy_setopt(client.easy, CURLOPT_PRIVATE, &client);
        curl_easy_setopt(client.easy, CURLOPT_TIMEOUT, 10L);
        curl_easy_setopt(client.easy, CURLOPT_NOSIGNAL, 1L);
        if (!keepAlive) {
            curl_easy_setopt(client.easy, CURLOPT_FRESH_CONNECT, 1L);
            curl_easy_setopt(client.easy, CURLOPT_FORBID_REUSE, 1L);
            curl_easy_setopt(client.easy, CURLOPT_SOCKOPTFUNCTION, &NoLinger);
        }
        launch(client);
    }
    int running = clients;
    while (running > 0) {
        curl_multi_perform(multi, &running);
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
            if (message->msg != CURLMSG_DONE) {
                continue;
            }
            Client* client = nullptr;
            curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &client);
            long status = 0;
            curl_easy_getinfo(message->easy_handle, CURLINFO_RESPONSE_CODE, &status);
            const Clock::time_point now = Clock::now();
            if (message->data.result == CURLE_OPERATION_TIMEDOUT) {
                ++result.lost;
            } else if (message->data.result != CURLE_OK || status != 200 ||
                       client->answer.find(accepted) == std::string::npos) {
                ++result.failed;
            }
            latencies.push_back(std::chrono::duration<double, std::milli>(now - client->started).count());
            curl_multi_remove_handle(multi, message->easy_handle);
            if (now < end && started < settings.maxRequests) {
                launch(*client);
                ++running;
            }
        }
        if (running > 0) {
            curl_multi_poll(multi, nullptr, 0, 100, nullptr);
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
    for (Client& client : pool) {
        curl_easy_cleanup(client.easy);
        curl_slist_free_all(client.headers);
    }
    curl_multi_cleanup(multi);
    result.done = latencies.size();
    result.perSecond = static_cast<double>(result.done) / elapsed;
    std::sort(latencies.begin(), latencies.end());
    result.p50 = Percentile(latencies, 0.50);
    result.p99 = Percentile(latencies, 0.99);
    result.max = latencies.empty() ? 0 : latencies.back();
    return result;
}

// "median [min-max]" of one figure over the repeated runs.
std::string Spread(std::vector<double> values, const char* format) {
    std::sort(values.begin(), values.end());
    char text[96];
    const double median = values.size() % 2 == 1 ? values[values.size() / 2]
                                                 : (values[values.size() / 2 - 1] + values[values.size() / 2]) / 2;
    char low[24], high[24], middle[24];
    std::snprintf(middle, sizeof middle, format, median);
    std::snprintf(low, sizeof low, format, values.front());
    std::snprintf(high, sizeof high, format, values.back());
    std::snprintf(text, sizeof text, "%s [%s-%s]", middle, low, high);
    return text;
}

std::string Query(const std::string& path, const char* sql) {
    if (path.starts_with("postgresql://")) {
        PGconn* conn = PQconnectdb(path.c_str());
        PGresult* result = PQexec(conn, sql);
        std::string value = PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) > 0
                                ? PQgetvalue(result, 0, 0)
                                : std::string("(") + PQerrorMessage(conn) + ")";
        PQclear(result);
        PQfinish(conn);
        return value;
    }
    sqlite3* db = nullptr;
    std::string value = "(cannot open)";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW) {
            value = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return value;
}

// The 1-minute load average, beside each figure: the machine is shared.
std::string LoadAverage() {
    std::FILE* file = std::fopen("/proc/loadavg", "r");
    double load = 0;
    if (file == nullptr || std::fscanf(file, "%lf", &load) != 1) {
        load = -1;
    }
    if (file != nullptr) {
        std::fclose(file);
    }
    char text[16];
    std::snprintf(text, sizeof text, "%.1f", load);
    return text;
}

} // namespace

int main(int argc, char** argv) {
    Settings settings;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view name = argv[i];
        if (name == "--server") {
            settings.serverPath = argv[i + 1];
        } else if (name == "--seconds") {
            settings.seconds = std::clamp(std::atof(argv[i + 1]), 0.1, 60.0);
        } else if (name == "--max-requests") {
            settings.maxRequests = std::clamp<std::size_t>(std::strtoull(argv[i + 1], nullptr, 10), 1, 1000000);
        } else if (name == "--repeat") {
            settings.repeat = std::clamp(std::atoi(argv[i + 1]), 1, 20);
        } else if (name == "--only") {
            settings.only = argv[i + 1];
        } else if (name == "--db") {
            settings.postgres = argv[i + 1];
        } else if (name == "--processes") {
            settings.processes = std::clamp(std::atoi(argv[i + 1]), 1, 8);
        }
    }
    if (settings.serverPath.empty()) {
        std::cerr << "Usage: vantro-server-load --server PATH [--seconds S] [--max-requests N] [--repeat R] [--only "
                     "send|login]\n";
        return 2;
    }

    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("vantro-load-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string database = settings.postgres.empty() ? (dir / "load.db").string() : settings.postgres;
    std::vector<pid_t> services;
    std::vector<std::string> bases;
    for (int i = 0; i < (settings.postgres.empty() ? 1 : settings.processes); ++i) {
        const int port = bench::FreeLoopbackPort();
        const std::string portText = std::to_string(port);
        const pid_t service = fork();
        if (service == 0) {
            freopen("/dev/null", "w", stdout);
            execl(settings.serverPath.c_str(), "vantro-server", "--host", "127.0.0.1", "--port", portText.c_str(),
                  "--db", database.c_str(), "--sends-per-minute", "0", "--sends-per-day", "0", "--login-failures",
                  "1000000", static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int wait = 0; wait < 100 && !Accepting(port); ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        services.push_back(service);
        bases.push_back("http://127.0.0.1:" + portText);
    }
    const auto stopServices = [&services] {
        for (const pid_t service : services) {
            kill(service, SIGTERM);
        }
        bool clean = true;
        for (const pid_t service : services) {
            int status = 0;
            waitpid(service, &status, 0);
            clean = clean && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        }
        return clean;
    };
    curl_global_init(CURL_GLOBAL_DEFAULT);
    const std::string& base = bases.front();
    const std::string login = "<QVRLogin>    <Login>4125551212</Login>    <Password>demo</Password></QVRLogin>";
    const std::string token = bench::Between(PostOnce(base + "/vantro_login.aspx", login), "<string>", "</string>");
    if (token.size() != 32) {
        std::cerr << "vantro-server-load: the service at " << base << " did not log the demo user in\n";
        stopServices();
        return 1;
    }
    const std::string send = bench::SendRequest(token, "Load", "One of many.");

    std::printf("%u cores; %zu service process(es) on %s; %.1f s or %zu requests per run; median [min-max] of %d "
                "runs\n",
                std::thread::hardware_concurrency(), bases.size(), settings.postgres.empty() ? "SQLite" : "PostgreSQL",
                settings.seconds, settings.maxRequests, settings.repeat);
    std::printf("| exchange | clients | connections | requests/s | p50 ms | p99 ms | max ms | failed | lost | load "
                "average |\n");
    std::printf("|---|---:|---|---:|---:|---:|---:|---:|---:|---|\n");
    std::size_t sendsAccepted = 0;
    bool anyFailed = false;
    struct Exchange {
        const char* name;
        std::string path;
        const std::string& body;
        const char* accepted;
    };
    for (const Exchange& exchange : {Exchange{"send", "/vantro_send.aspx", send, "<send>Your message was sent"},
                                     Exchange{"login", "/vantro_login.aspx", login, "<result>TRUE</result>"}}) {
        if (!settings.only.empty() && settings.only != exchange.name) {
            continue;
        }
        for (const bool keepAlive : {false, true}) {
            for (const int clients : {1, 4, 16}) {
                std::vector<double> rates, p50s, p99s, maxima;
                std::size_t failed = 0, lost = 0;
                const std::string loadBefore = LoadAverage();
                for (int run = 0; run < settings.repeat; ++run) {
                    std::vector<std::string> urls;
                    for (const std::string& service : bases) {
                        urls.push_back(service + exchange.path);
                    }
                    const RunResult result = Run(settings, urls, exchange.body, exchange.accepted, clients, keepAlive);
                    rates.push_back(result.perSecond);
                    p50s.push_back(result.p50);
                    p99s.push_back(result.p99);
                    maxima.push_back(result.max);
                    failed += result.failed;
                    lost += result.lost;
                    if (std::string_view(exchange.name) == "send") {
                        sendsAccepted += result.done - result.failed - result.lost;
                    }
                }
                anyFailed = anyFailed || failed + lost > 0;
                std::printf("| %s | %d | %s | %s | %s | %s | %s | %zu | %zu | %s to %s |\n", exchange.name, clients,
                            keepAlive ? "kept alive" : "new each", Spread(rates, "%.0f").c_str(),
                            Spread(p50s, "%.2f").c_str(), Spread(p99s, "%.2f").c_str(), Spread(maxima, "%.1f").c_str(),
                            failed, lost, loadBefore.c_str(), LoadAverage().c_str());
                std::fflush(stdout);
            }
        }
    }
    const bool clean = stopServices();
    const std::string integrity =
        settings.postgres.empty() ? Query(database, "PRAGMA integrity_check") : std::string("ok");
    const std::string stored = Query(database, "SELECT count(*) FROM outbox");
    std::printf("\nservice stopped %s; PRAGMA integrity_check: %s; messages stored %s of %zu accepted\n",
                clean ? "cleanly" : "with an error", settings.postgres.empty() ? integrity.c_str() : "(PostgreSQL)",
                stored.c_str(), sendsAccepted);
    std::filesystem::remove_all(dir);
    curl_global_cleanup();
    return anyFailed || integrity != "ok" || stored != std::to_string(sendsAccepted) ? 1 : 0;
}
