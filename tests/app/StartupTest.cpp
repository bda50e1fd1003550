#include "app/Global.h"
#include "app/Main.h"
#include "tests/support/VantroTest.h"
#include "ui/main/frm_quorvale.h"

#include <QApplication>
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

TEST(StartupArgumentsTest, qtIsGivenOnlyTheProgramsName) {
    const std::pair<int, int> counts[] = {{0, 0}, {1, 1}, {3, 1}}; // "vantro -platform nonsense"
    for (const auto& [argc, forQt] : counts) {
        EXPECT_EQ(global::QtArgumentCount(argc), forQt) << argc;
    }
}
