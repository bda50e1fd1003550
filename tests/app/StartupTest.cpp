#include "app/Global.h"
#include "app/Main.h"
#include "tests/support/VantroTest.h"
#include "ui/main/frm_quorvale.h"
#include "ui/shell/Layout.h"

#include <QTest>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QWidget>

namespace {

QWidgetList shownWindows() {
    QWidgetList shown;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->isVisible() && window->parentWidget() == nullptr) {
            shown << window;
        }
    }
    return shown;
}

using StartupTest = VantroTest;

// The user's settings file, in a configuration folder of the test's own.
class SettingsFileTest : public VantroTest {
protected:
    void SetUp() override {
        VantroTest::SetUp();
        ASSERT_TRUE(m_home.isValid());
        m_previous = qgetenv("XDG_CONFIG_HOME");
        m_previousCa = global::ServiceCaPem;
        qputenv("XDG_CONFIG_HOME", m_home.path().toUtf8());
        QDir(m_home.path()).mkpath(qs("vantro"));
    }
    void TearDown() override {
        qputenv("XDG_CONFIG_HOME", m_previous);
        global::ServiceCaPem = m_previousCa;
        VantroTest::TearDown();
    }

    QString path(const char* name) const { return m_home.filePath(qs(name)); }
    QString settingsPath() const { return path("vantro/vantro.conf"); }

    void write(const QString& file, const std::string& content) const {
        QFile out(file);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(content.data(), static_cast<qint64>(content.size()));
    }

private:
    QTemporaryDir m_home;
    QByteArray m_previous;
    std::string m_previousCa;
};

} // namespace

TEST_F(StartupTest, unreachableServiceShowsOneMessageBoxAndNoWindow) {
    global::ServiceUrl = LoopbackServer::closedPortUrl();
    QWidgetList shownWhileBoxOpen;
    recorder.onMessageBox = [&](const QString&) { shownWhileBoxOpen = shownWindows(); };

    global::Main();

    EXPECT_EQ(recorder.messages,
              QStringList{qs("The software could not detect a network connection.  Please check and try again.")});
    EXPECT_TRUE(shownWhileBoxOpen.isEmpty());
    EXPECT_TRUE(shownWindows().isEmpty());
    EXPECT_EQ(frm_quorvale::instance(), nullptr) << "a half-made window was left behind";
    EXPECT_TRUE(global::Carriers.empty());
    EXPECT_TRUE(global::CurrentUserId.empty());
    EXPECT_TRUE(global::Friends.empty());
}

TEST_F(StartupTest, refusedOrUnreadableCarrierListStillOpensTheMainWindow) {
    const std::pair<int, const char*> answers[] = {
        {404, "<carriers><carrier>A</carrier></carriers>"},
        {500, ""},
        {200, "not xml at all"},
        {200, ""},
    };
    for (const auto& [status, body] : answers) {
        closeAllWindows();
        global::Carriers = {"left over"};
        server.reply("/vantro_carriers.aspx", status, body);

        global::Main();

        EXPECT_TRUE(recorder.messages.isEmpty()) << status << " " << body;
        EXPECT_TRUE(global::Carriers.empty()) << status << " " << body;
        const QWidgetList shown = shownWindows();
        ASSERT_EQ(shown.size(), 1) << status << " " << body;
        EXPECT_EQ(shown[0]->objectName(), qs("frm_quorvale"));
        EXPECT_TRUE(shown[0]->windowFlags().testFlag(Qt::FramelessWindowHint));
        EXPECT_EQ(shown[0]->windowTitle(), qs("Vantro"));
    }
}

TEST_F(StartupTest, carriersArriveInServiceOrderWithDuplicates) {
    server.replyXml("/vantro_carriers.aspx",
                    "<carriers><carrier>Verizon</carrier><carrier>AT&amp;T</carrier><carrier>Verizon</carrier>"
                    "</carriers>");
    global::Main();
    EXPECT_EQ(global::Carriers, (std::vector<std::string>{"Verizon", "AT&T", "Verizon"}));
    EXPECT_EQ(shownWindows().size(), 1);
    EXPECT_EQ(server.requestsTo("/vantro_carriers.aspx").size(), 1u);
}

TEST_F(SettingsFileTest, movesEveryExchangeAndWebLinkToItsServiceAndTrustsItsCa) {
    const std::string pem = "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";
    write(path("ca.pem"), pem);
    server.replyXml("/vantro_carriers.aspx", "<carriers><carrier>Verizon</carrier></carriers>");
    global::ServiceUrl = LoopbackServer::closedPortUrl(); // the address built in
    write(settingsPath(), "\xEF\xBB\xBF# handed out by the operator\n\n  service-url = " + server.url() + "  \nca-file=" +
                              path("ca.pem").toStdString() + "\n");

    global::Main();

    EXPECT_TRUE(recorder.messages.isEmpty()) << recorder.messages.join(qs("|")).toStdString();
    EXPECT_EQ(global::ServiceUrl, server.url());
    EXPECT_EQ(global::ServiceCaPem, pem);
    EXPECT_EQ(server.requestsTo("/vantro_carriers.aspx").size(), 1u);
    ASSERT_EQ(shownWindows().size(), 1);
    QTest::mouseClick(Control<QWidget>(frm_quorvale::instance(), "Label4"), Qt::LeftButton);
    EXPECT_EQ(recorder.urls, QStringList{QString::fromStdString(server.url()) + qs("/login.aspx?regstart=true")});
}

TEST_F(SettingsFileTest, aBadSettingStopsTheStartWithWhereAndWhatIsWrong) {
    write(path("not-a-ca.pem"), "just text\n");
    struct Case {
        std::string content;
        std::string message; // after "The settings file <path>, "
    };
    const Case cases[] = {
        {"service_url = http://sms.example.org\n",
         "line 1: \"service_url\" is no setting; the settings are service-url and ca-file."},
        {"# mine\nservice-url = https://sms.example.org/\n",
         "line 2: service-url \"https://sms.example.org/\" is not a service address: it must not end with a slash."},
        {"service-url = file:///etc/passwd\n",
         "line 1: service-url \"file:///etc/passwd\" is not a service address: it must start with http:// or "
         "https://."},
        {"service-url = https://sms.example.org?x=1\n",
         "line 1: service-url \"https://sms.example.org?x=1\" is not a service address: it holds a character that "
         "has no place in a service address."},
        {"service-url https://sms.example.org\n", "line 1: this is no setting; a line reads key = value."},
        {"service-url = http://a.example\nservice-url = http://b.example\n",
         "line 2: service-url is set a second time in this file."},
        {"ca-file = " + path("not-a-ca.pem").toStdString() + "\n",
         "line 1: ca-file: " + path("not-a-ca.pem").toStdString() + " holds no PEM certificate."},
        {"ca-file = ca.pem\n", "line 1: ca-file: it must be an absolute path."},
    };
    for (const Case& c : cases) {
        closeAllWindows();
        recorder.messages.clear();
        global::ServiceUrl = server.url();
        write(settingsPath(), c.content);

        global::Main();

        EXPECT_EQ(recorder.messages, QStringList{qs("The settings file ") + settingsPath() + qs(", ") + QString::fromStdString(c.message)});
        EXPECT_TRUE(shownWindows().isEmpty()) << c.message;
        EXPECT_EQ(global::ServiceUrl, server.url()) << c.message;
    }
    EXPECT_TRUE(server.requests().empty()) << "nothing may be sent before the settings are sound";
}

TEST(StartupArgumentsTest, qtIsGivenOnlyTheProgramsName) {
    const std::pair<int, int> counts[] = {{0, 0}, {1, 1}, {3, 1}}; // "vantro -platform nonsense"
    for (const auto& [argc, forQt] : counts) {
        EXPECT_EQ(global::QtArgumentCount(argc), forQt) << argc;
    }
}
