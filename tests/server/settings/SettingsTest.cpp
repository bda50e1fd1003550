// The command line and the settings file: which one wins, what each accepts, and how a refusal
// names the line or the option.

#include "server/settings/CommandLine.h"

#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>

#include <unistd.h>

#include <gtest/gtest.h>

using namespace server;

namespace {

struct Outcome {
    std::optional<int> status;
    Settings settings;
    std::string out;
    std::string err;
};

// One file per process: CTest runs the cases of this program side by side.
std::string SettingsPath() {
    return testing::TempDir() + "vantro-settings-test-" + std::to_string(getpid()) + ".conf";
}

// Reads `arguments`, after "--config FILE" with `file` written to FILE when `file` is not empty.
Outcome Read(const std::string& file, std::vector<std::string> arguments) {
    if (!file.empty()) {
        std::ofstream(SettingsPath(), std::ios::trunc) << file;
        arguments.insert(arguments.begin(), {"--config", SettingsPath()});
    }
    Outcome outcome;
    std::ostringstream out;
    std::ostringstream err;
    outcome.status = readSettings(arguments, outcome.settings, out, err);
    if (!file.empty()) {
        std::remove(SettingsPath().c_str());
    }
    outcome.out = out.str();
    outcome.err = err.str();
    return outcome;
}

TEST(SettingsTest, FileAndCommandLine_together_theCommandLineWins) {
    struct Case {
        const char* name;
        const char* file;
        std::vector<std::string> arguments;
        std::function<void(const Settings&)> check;
    };
    const Case cases[] = {
        {"the command line over the file",
         "host = 10.0.0.1\nport = 9000\n",
         {"--port", "9100"},
         [](const Settings& s) {
             EXPECT_EQ(s.server.host, "10.0.0.1");
             EXPECT_EQ(s.server.port, 9100);
         }},
        {"comments, blank lines, tabs and CR LF",
         "# limits\r\n\r\n  sends-per-day\t=  5 \r\ndb = a b.db\n",
         {},
         [](const Settings& s) {
             EXPECT_EQ(s.server.store.sendsPerDay, 5);
             EXPECT_EQ(s.server.databasePath, "a b.db");
         }},
        {"a flag from the file",
         "smtp = smtp://127.0.0.1:2525\nsmtp-insecure = true\n",
         {},
         [](const Settings& s) { EXPECT_TRUE(s.smtp.insecure); }},
        {"a flag on the command line over false in the file",
         "smtp-insecure = false\n",
         {"--smtp", "smtp://127.0.0.1:2525", "--smtp-insecure"},
         [](const Settings& s) { EXPECT_TRUE(s.smtp.insecure); }},
        {"numbers are decimal, the last given counts",
         "",
         {"--listen-backlog", "010", "--port", "1", "--port", "2"},
         [](const Settings& s) {
             EXPECT_EQ(s.server.listenBacklog, 10U);
             EXPECT_EQ(s.server.port, 2);
         }},
        {"a key twice in the file, and a false flag",
         "port = 1\nsmtp-insecure = false\nport = 2\n",
         {},
         [](const Settings& s) {
             EXPECT_EQ(s.server.port, 2);
             EXPECT_FALSE(s.smtp.insecure);
         }},
        {"the SMS route from the file, its sender from the command line",
         "sms-gateway = http://127.0.0.1:13013/cgi-bin/sendsms\nsms-gateway-credentials = /etc/vantro/sms\n"
         "sms-from = +14125550100\n",
         {"--sms-from", "+14125550111"},
         [](const Settings& s) {
             EXPECT_EQ(s.sms.url, "http://127.0.0.1:13013/cgi-bin/sendsms");
             EXPECT_EQ(s.smsCredentials, "/etc/vantro/sms");
             EXPECT_EQ(s.sms.from, "+14125550111");
         }},
        {"days of idleness become seconds",
         "session-idle-days = 2\n",
         {},
         [](const Settings& s) { EXPECT_EQ(s.server.store.sessionIdleSeconds, 2 * 24 * 60 * 60); }},
        {"the advertisement's own defaults and the text kept 30 days",
         "",
         {},
         [](const Settings& s) {
             EXPECT_EQ(s.server.ad.text, "Track this message and your last ones");
             EXPECT_EQ(s.server.ad.link, "See delivery status");
             EXPECT_EQ(s.server.ad.url, std::nullopt);
             EXPECT_EQ(s.server.store.keepMessageDays, 30);
         }},
        {"a real advertisement, one without a link, and the days to keep texts",
         "ad-text = Pizza & more\nad-url = \nkeep-message-days = 7\n",
         {"--ad-link", "Order now"},
         [](const Settings& s) {
             EXPECT_EQ(s.server.ad.text, "Pizza & more");
             EXPECT_EQ(s.server.ad.link, "Order now");
             EXPECT_EQ(s.server.ad.url, std::string());
             EXPECT_EQ(s.server.store.keepMessageDays, 7);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome outcome = Read(c.file, c.arguments);
        ASSERT_EQ(outcome.status, std::nullopt) << outcome.err;
        c.check(outcome.settings);
    }
}

TEST(SettingsTest, Refusals_nameTheLineOrTheOption) {
    struct Case {
        const char* file;
        std::vector<std::string> arguments;
        std::string error; // the first line on standard error; {file} stands for the settings file
    };
    const Case cases[] = {
        {"# limits\n\nport = 1\nbogus = 2\n", {}, "{file}:4: unknown option \"bogus\""},
        {"config = other.conf\n", {}, "{file}:1: unknown option \"config\""},
        {"port 80\n", {}, "{file}:1: expected \"name = value\""},
        {"port = 70000\n", {}, "{file}:1: unacceptable value \"70000\" for port"},
        {"port = abc\n", {"--port", "80"}, "{file}:1: unacceptable value \"abc\" for port"},
        {"smtp = smtp://127.0.0.1\nsmtp-insecure = yes\n",
         {},
         "{file}:2: unacceptable value \"yes\" for smtp-insecure"},
        {"", {"--port", "0x10"}, "unacceptable value \"0x10\" for --port"},
        {"",
         {"--public-url", "https://sms.example.org/"},
         "unacceptable value \"https://sms.example.org/\" for --public-url"},
        {"", {"--ad-url", "javascript:alert(1)"}, "unacceptable value \"javascript:alert(1)\" for --ad-url"},
        {"keep-message-days = 0\n", {}, "{file}:1: unacceptable value \"0\" for keep-message-days"},
        {"", {"--bogus", "1"}, "unknown or incomplete option \"--bogus\""},
        {"", {"--host", "::1", "--port"}, "unknown or incomplete option \"--port\""},
        {"", {"--config", "/"}, "cannot read the configuration file /"},
        {"", {"--config", "/nonexistent/vantro.conf"}, "cannot read the configuration file /nonexistent/vantro.conf"},
        {"smtp-from = sms@example.org\n", {}, "--smtp-from, --smtp-credentials and --smtp-insecure need --smtp"},
        {"sms-from = +14125550100\n", {}, "--sms-from and --sms-gateway-credentials need --sms-gateway"},
    };
    for (const Case& c : cases) {
        std::string expected = "vantro-server: " + c.error;
        if (const auto at = expected.find("{file}"); at != std::string::npos) {
            expected.replace(at, 6, SettingsPath());
        }
        SCOPED_TRACE(expected);
        const Outcome outcome = Read(c.file, c.arguments);
        EXPECT_EQ(outcome.status, 2);
        EXPECT_EQ(outcome.err.substr(0, outcome.err.find('\n')), expected);
        EXPECT_EQ(outcome.out, "");
    }
}

TEST(SettingsTest, Help_listsTheOptionsOnStandardOutput_evenAfterABadValue) {
    const Outcome outcome = Read("", {"--port", "abc", "-h"});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "");
    EXPECT_TRUE(outcome.out.starts_with("Usage: vantro-server [options]\n"
                                        "  --config FILE                     read options from FILE"))
        << outcome.out;
    EXPECT_NE(outcome.out.find("\n  --port N                          port to listen on"), std::string::npos);
    EXPECT_NE(outcome.out.find("\n  --smtp-insecure                   allow a relay"), std::string::npos);
    EXPECT_TRUE(outcome.out.ends_with("\n  --help                            show this text\n"));
}

} // namespace
