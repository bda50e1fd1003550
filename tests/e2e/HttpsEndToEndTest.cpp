// The program against the service over HTTPS, with a CA and certificates made for the test: the
// real exchanges succeed when the certificate verifies, and take the usual error path when not.

#include "app/Global.h"
#include "app/Main.h"
#include "server/DemoData.h"
#include "server/Server.h"
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
        m_made = std::system((script + " >/dev/null 2>&1").c_str()) == 0;
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
    EXPECT_EQ(recorder.urls, QStringList{QString::fromStdString(service->baseUrl() + "/vantro_updates.aspx")});
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

} // namespace
