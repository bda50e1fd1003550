// The program against the service over HTTPS, with a CA and certificates made for the test: the
// real exchanges succeed when the certificate verifies, and take the usual error path when not.

#include "app/Global.h"
#include "app/Main.h"
#include "server/store/DemoData.h"
#include "server/app/Server.h"
#include "service/ServiceErrors.h"
#include "service/ServiceExchange.h"
#include "tests/support/VantroTest.h"
#include "ui/main/frm_quorvale.h"
#include "ui/shell/Controls.h"
#include "ui/shell/Layout.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>

namespace {

namespace fs = std::filesystem;

std::string ReadText(const fs::path& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return std::move(text).str();
}

// A CA, a certificate for localhost and one for another host, both signed by the CA, made with
// the openssl command in a temporary folder.
class TestCertificates {
public:
    TestCertificates() : m_dir(fs::temp_directory_path() / ("vantro-tls-" + std::to_string(::getpid()))) {
        fs::create_directories(m_dir);
        const std::string dir = m_dir.string();
        const std::string key = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
        std::string script = "cd '" + dir + "' && openssl req -x509 " + key +
                             " -keyout ca.key -out ca.pem -days 2 -subj '/CN=Vantro Test CA'"
                             " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign";
        for (const std::string host : {"localhost", "other.example"}) {
            script += " && openssl req " + key + " -keyout " + host + ".key -out " + host + ".csr -subj /CN=" + host +
                      " && printf 'subjectAltName=DNS:" + host + "\\n' > " + host + ".ext" +
                      " && openssl x509 -req -in " + host + ".csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2" +
                      " -extfile " + host + ".ext -out " + host + ".pem";
        }
        m_made = std::system(("{ " + script + "; } >/dev/null 2>&1").c_str()) == 0;
    }
    ~TestCertificates() {
        std::error_code ignored;
        fs::remove_all(m_dir, ignored);
    }
    bool made() const { return m_made; }
    std::string file(const std::string& name) const { return (m_dir / name).string(); }
    std::string caPem() const { return ReadText(m_dir / "ca.pem"); }

private:
    fs::path m_dir;
    bool m_made = false;
};

// An HTTPS server on 127.0.0.1 that redirects every request to `location`, except "/moved",
// which it answers with a small document.
class RedirectingTlsServer {
public:
    RedirectingTlsServer(const std::string& certificate, const std::string& key)
        : m_certificate(certificate), m_key(key) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_daemon = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_TLS, 0, nullptr, nullptr, &answer, this,
                                    MHD_OPTION_SOCK_ADDR, &address, MHD_OPTION_HTTPS_MEM_CERT, m_certificate.c_str(),
                                    MHD_OPTION_HTTPS_MEM_KEY, m_key.c_str(), MHD_OPTION_END);
    }
    ~RedirectingTlsServer() {
        if (m_daemon != nullptr) {
            MHD_stop_daemon(m_daemon);
        }
    }
    RedirectingTlsServer(const RedirectingTlsServer&) = delete;
    RedirectingTlsServer& operator=(const RedirectingTlsServer&) = delete;

    bool running() const { return m_daemon != nullptr; }
    int port() const { return MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_BIND_PORT)->port; }
    std::string location; // set before the first request

private:
    static MHD_Result answer(void* self, MHD_Connection* connection, const char* url, const char*, const char*,
                             const char*, size_t* uploadSize, void** state) {
        if (*state == nullptr) {
            *state = connection; // the head; the body follows
            return MHD_YES;
        }
        if (*uploadSize != 0) {
            *uploadSize = 0;
            return MHD_YES;
        }
        const bool moved = std::string_view(url) == "/moved";
        const std::string body = moved ? "<r><string>arrived</string></r>" : "";
        MHD_Response* response =
            MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
        if (moved) {
            MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/xml");
        } else {
            MHD_add_response_header(response, MHD_HTTP_HEADER_LOCATION,
                                    static_cast<RedirectingTlsServer*>(self)->location.c_str());
        }
        const MHD_Result queued = MHD_queue_response(connection, moved ? MHD_HTTP_OK : MHD_HTTP_FOUND, response);
        MHD_destroy_response(response);
        return queued;
    }

    std::string m_certificate;
    std::string m_key;
    MHD_Daemon* m_daemon = nullptr;
};

class HttpsEndToEndTest : public VantroTest {
protected:
    static void SetUpTestSuite() { certificates = std::make_unique<TestCertificates>(); }
    static void TearDownTestSuite() { certificates.reset(); }

    void SetUp() override {
        VantroTest::SetUp();
        ASSERT_TRUE(certificates->made()) << "the openssl command could not make the test certificates";
    }
    void TearDown() override {
        global::ServiceCaPem.clear();
        VantroTest::TearDown();
    }

    // The service over HTTPS at https://localhost:port with the certificate made for `host`.
    std::unique_ptr<server::Server> startService(const std::string& host) {
        server::ServerOptions options;
        options.host = "localhost";
        options.port = 0;
        options.databasePath = ":memory:";
        options.tlsCertFile = certificates->file(host + ".pem");
        options.tlsKeyFile = certificates->file(host + ".key");
        auto service = std::make_unique<server::Server>(options);
        service->start();
        global::ServiceUrl = service->baseUrl();
        return service;
    }

    template <typename T> T* control(const char* name) const { return Control<T>(frm_quorvale::instance(), name); }
    void typeInto(const char* name, const QString& text) {
        auto* box = control<QLineEdit>(name);
        box->setFocus();
        box->selectAll();
        QTest::keyClicks(box, text);
    }

    static inline std::unique_ptr<TestCertificates> certificates;
};

TEST_F(HttpsEndToEndTest, LoginAndSend_overHttps_withTheBuiltInCa) {
    const auto service = startService("localhost");
    ASSERT_EQ(global::ServiceUrl.rfind("https://localhost:", 0), 0U) << global::ServiceUrl;
    global::ServiceCaPem = certificates->caPem();

    global::Main();
    ASSERT_NE(frm_quorvale::instance(), nullptr) << recorder.messages.join(qs(" | ")).toStdString();
    typeInto("tb_login", QString::fromLatin1(server::kDemoLogin.data(), server::kDemoLogin.size()));
    typeInto("tb_password", QString::fromLatin1(server::kDemoPassword.data(), server::kDemoPassword.size()));
    QTest::mouseClick(control<QWidget>("btn_login"), Qt::LeftButton);
    ASSERT_TRUE(control<QWidget>("frame_txt")->isVisible()) << control<QLabel>("lbl_msg_login")->text().toStdString();
    EXPECT_EQ(service->store().sessionUser(global::CurrentUserId).value_or(server::User{}).login, server::kDemoLogin);

    typeInto("tb_phone", qs("7245559876"));
    auto* carriers = control<QComboBox>("cbl_carrier");
    carriers->setCurrentIndex(carriers->findText(qs("Sprint")));
    control<QWidget>("tb_message")->setFocus();
    QTest::keyClicks(control<QWidget>("tb_message"), qs("Over TLS"));
    QTest::mouseClick(control<QWidget>("btn_send"), Qt::LeftButton);
    ASSERT_TRUE(control<QWidget>("frame_ty")->isVisible()) << control<QLabel>("lbl_msg")->text().toStdString();

    const auto outbox = service->store().outbox();
    ASSERT_EQ(outbox.size(), 1U);
    EXPECT_EQ(outbox[0].number, "7245559876");
    EXPECT_EQ(outbox[0].body, "Over TLS");
    // The advertisement's link follows the service's scheme.
    QTest::mouseClick(control<QWidget>("lbl_ty_link"), Qt::LeftButton);
    EXPECT_EQ(recorder.urls, QStringList{QString::fromStdString(service->baseUrl() + "/messages.aspx")});
}

TEST_F(HttpsEndToEndTest, CertificatesThatDoNotVerify_failLikeAnUnreachableService) {
    struct Case {
        const char* certifiedHost;
        bool builtInCa;
    };
    // A certificate for another host from the right CA, and the right host from a CA that the
    // system does not know.
    for (const Case& test : {Case{"other.example", true}, Case{"localhost", false}}) {
        SCOPED_TRACE(test.certifiedHost);
        const auto service = startService(test.certifiedHost);
        global::ServiceCaPem = test.builtInCa ? certificates->caPem() : std::string();
        recorder.messages.clear();

        global::Main();
        // The carrier list at start-up is the first exchange: one message box, and no window.
        EXPECT_EQ(frm_quorvale::instance(), nullptr);
        EXPECT_EQ(recorder.messages.size(), 1);
        closeAllWindows();
    }
}

// A redirect may keep https or go from http to https, but the password and the messages never
// fall back to plain http, even on the same host.
TEST_F(HttpsEndToEndTest, ARedirectFromHttpsToPlainHttpIsRefused) {
    struct Case {
        std::string location; // "PORT" stands for the HTTPS server's own port
        bool followed;
    };
    const std::string plain = "http://localhost:" + std::to_string(server.port()) + "/moved";
    server.replyXml("/moved", "<r><string>arrived</string></r>");
    const Case cases[] = {
        {"/moved", true},
        {"https://localhost:PORT/moved", true},
        {plain, false},
    };
    global::ServiceCaPem = certificates->caPem();
    for (const Case& test : cases) {
        SCOPED_TRACE(test.location);
        RedirectingTlsServer tls(ReadText(certificates->file("localhost.pem")),
                                 ReadText(certificates->file("localhost.key")));
        ASSERT_TRUE(tls.running());
        tls.location = test.location;
        if (const auto mark = tls.location.find("PORT"); mark != std::string::npos) {
            tls.location.replace(mark, 4, std::to_string(tls.port()));
        }
        global::ServiceUrl = "https://localhost:" + std::to_string(tls.port());
        const auto exchange = [] {
            return ServiceExchange("/x", std::string("<q/>"), [](long) { return std::string("<r/>"); });
        };
        if (test.followed) {
            EXPECT_EQ(exchange().firstText("//string"), "arrived");
        } else {
            EXPECT_THROW(exchange(), TransportError);
        }
    }
    EXPECT_TRUE(server.requests().empty()) << "nothing may travel in the clear";
}

} // namespace
