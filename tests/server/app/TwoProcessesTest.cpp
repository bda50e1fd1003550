// Two service processes on one PostgreSQL store, as behind a load balancer: what one of them
// answers, the other acts on, and their delivery workers share the queue.

#include "FakeSmsc.h"
#include "KannelRig.h"
#include "PgTestDatabase.h"
#include "server/store/DemoData.h"
#include "support/ClientRequests.h"

#include <chrono>
#include <csignal>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

std::string ReadAll(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// vantro-server in a process of its own, its output in a file; stopped with SIGTERM at the end.
class ServiceProcess {
public:
    ServiceProcess(const std::string& log, std::vector<std::string> args) : m_log(log) {
        args.insert(args.begin(), {VANTRO_SERVER, "--port", "0"});
        m_pid = fork();
        if (m_pid == 0) {
            const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, 1);
            dup2(fd, 2);
            std::vector<char*> argv;
            for (auto& arg : args) {
                argv.push_back(arg.data());
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        const std::regex listening(R"(listening on http://127\.0\.0\.1:(\d+))");
        for (int i = 0; i < 300 && m_port == 0; ++i) {
            std::smatch match;
            const std::string text = ReadAll(log);
            if (std::regex_search(text, match, listening)) {
                m_port = std::stoi(match[1]);
            } else {
                std::this_thread::sleep_for(50ms);
            }
        }
    }
    ~ServiceProcess() { stop(SIGTERM); }
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    int port() const { return m_port; }
    std::string output() const { return ReadAll(m_log); }
    void stop(int signal) {
        if (m_pid > 0) {
            kill(m_pid, signal);
            waitpid(m_pid, nullptr, 0);
            m_pid = 0;
        }
    }
    std::string post(const char* path, const std::string& body) const {
        httplib::Client client("127.0.0.1", m_port);
        const auto res = client.Post(path, body, "text/xml");
        return res ? res->body : std::string("<no answer>");
    }

private:
    std::string m_log;
    pid_t m_pid = -1;
    int m_port = 0;
};

class TwoProcessesTest : public ::testing::Test {
protected:
    std::vector<std::string> storeArgs() const {
        return {"--db", db.uri(), "--code-key", codeKey, "--public-url", "http://127.0.0.1:1"};
    }
    std::vector<std::string> smsArgs(const std::string& url) const {
        return {"--sms-gateway",
                url,
                "--sms-gateway-credentials",
                rig().credentialsFile().string(),
                "--sms-from",
                "+14125550100",
                "--sends-per-minute",
                "0",
                "--sends-per-day",
                "0"};
    }
    static std::vector<std::string> joined(std::vector<std::string> a, const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }
    // Queues `count` texts to one number, their bodies `prefix` and a number, straight into the store.
    void queue(int count, const std::string& prefix) const {
        db.execute("INSERT INTO outbox(user_id, number, carrier, subject, body, sent_at, state, next_attempt) "
                   "SELECT 1, '4125550100', 'AT&T', '', '" +
                   prefix +
                   "' || g, '2026-01-01T00:00:00Z', 'queued', "
                   "'2026-01-01T00:00:00Z' FROM generate_series(1, " +
                   std::to_string(count) + ") g");
    }
    // The bodies with `prefix` the fake SMSC has received, each as often as it came.
    static std::multiset<std::string> received(const std::string& prefix) {
        std::multiset<std::string> bodies;
        for (const auto& submit : smsc().submits()) {
            if (submit.userData.starts_with(prefix)) {
                bodies.insert(submit.userData);
            }
        }
        return bodies;
    }
    static bool waitFor(const std::function<bool()>& done, std::chrono::seconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) {
                return false;
            }
            std::this_thread::sleep_for(100ms);
        }
        return true;
    }
    static fakesmsc::FakeSmsc& smsc() {
        static fakesmsc::FakeSmsc instance;
        return instance;
    }
    static fakesmsc::KannelRig& rig() {
        static fakesmsc::KannelRig instance{fakesmsc::KannelRigOptions{smsc().port(), 100}};
        return instance;
    }

    lstest::TempDir dir;
    lstest::PgTestDatabase db;
    std::string codeKey = [this] {
        const std::string path = dir.file("code-key");
        std::ofstream(path) << std::string(40, 'k') << "\n";
        return path;
    }();
};

TEST_F(TwoProcessesTest, SessionsSendLimitsAndLoginPauses_holdThroughEitherProcess) {
    const auto args = joined(storeArgs(), {"--sends-per-minute", "3"});
    ServiceProcess first(dir.file("first.log"), args);
    ServiceProcess second(dir.file("second.log"), args);
    ASSERT_NE(first.port(), 0) << first.output();
    ASSERT_NE(second.port(), 0) << second.output();

    const std::string token =
        lstest::Answer(
            first.post("/vantro_login.aspx", lstest::LoginRequest(server::kDemoLogin, server::kDemoPassword)))
            .text("//string");
    const lstest::Answer book(second.post("/vantro_ab.aspx", lstest::AddressBookRequest(token)));
    EXPECT_EQ(book.text("//result"), "TRUE") << token;
    EXPECT_FALSE(lstest::Friends(book).empty());

    // The limit of 3 a minute counts the sends through both.
    const char* expected[] = {"Your message was sent to 7245550199.", "Your message was sent to 7245550199.",
                              "Your message was sent to 7245550199."};
    for (int i = 0; i < 4; ++i) {
        const ServiceProcess& through = i % 2 == 0 ? first : second;
        const lstest::Answer sent(
            through.post("/vantro_send.aspx", lstest::SendRequest(token, "0", "7245550199", "AT&T", "", "hi")));
        if (i < 3) {
            EXPECT_EQ(sent.text("//send"), expected[i]) << i;
        } else {
            EXPECT_NE(sent.text("//send").find("You may send 3 messages a minute."), std::string::npos)
                << sent.text("//send");
        }
    }

    // Five failed logins through one process pause the sixth, with the right password, through the other.
    for (int i = 0; i < 5; ++i) {
        first.post("/vantro_login.aspx", lstest::LoginRequest(server::kDemoLogin, "wrong"));
    }
    const lstest::Answer paused(
        second.post("/vantro_login.aspx", lstest::LoginRequest(server::kDemoLogin, server::kDemoPassword)));
    EXPECT_EQ(paused.text("//result"), "FALSE");
}

TEST_F(TwoProcessesTest, TenThousandQueuedTexts_areDeliveredByTheWorkersOfBoth_eachOnce) {
    constexpr int kTexts = 10000;
    const auto args = joined(storeArgs(), smsArgs(rig().sendsmsUrl()));
    ServiceProcess first(dir.file("first.log"), args);
    ServiceProcess second(dir.file("second.log"), args);
    ASSERT_NE(first.port(), 0) << first.output();
    ASSERT_NE(second.port(), 0) << second.output();
    queue(kTexts, "bulk ");
    EXPECT_TRUE(waitFor([] { return received("bulk ").size() >= kTexts; }, 600s)) << received("bulk ").size();
    std::this_thread::sleep_for(1s); // a text sent twice would come now
    const auto bodies = received("bulk ");
    EXPECT_EQ(bodies.size(), static_cast<std::size_t>(kTexts));
    EXPECT_EQ(std::set<std::string>(bodies.begin(), bodies.end()).size(), static_cast<std::size_t>(kTexts));
    for (const ServiceProcess* process : {&first, &second}) {
        EXPECT_NE(process->output().find("accepted by the SMS gateway"), std::string::npos);
    }
}

TEST_F(TwoProcessesTest, KilledProcess_itsClaimedTextsAreDeliveredByTheOther_afterTheClaim) {
    // A gateway that takes the connection and never answers: the first process's worker claims
    // texts and waits on them until it is killed.
    const int hole = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(hole, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(hole, 64), 0);
    socklen_t size = sizeof address;
    getsockname(hole, reinterpret_cast<sockaddr*>(&address), &size);
    const std::string holeUrl = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/cgi-bin/sendsms";

    ServiceProcess first(dir.file("first.log"),
                         joined(joined(storeArgs(), smsArgs(holeUrl)), {"--delivery-claim", "4"}));
    ASSERT_NE(first.port(), 0) << first.output();
    queue(20, "claimed ");
    std::this_thread::sleep_for(2s); // the worker looks at least once a second
    first.stop(SIGKILL);

    ServiceProcess second(dir.file("second.log"), joined(storeArgs(), smsArgs(rig().sendsmsUrl())));
    ASSERT_NE(second.port(), 0) << second.output();
    EXPECT_TRUE(waitFor([] { return received("claimed ").size() >= 20; }, 60s)) << received("claimed ").size();
    const auto bodies = received("claimed ");
    EXPECT_EQ(bodies.size(), 20U);
    EXPECT_EQ(std::set<std::string>(bodies.begin(), bodies.end()).size(), 20U);
    close(hole);
}

} // namespace
