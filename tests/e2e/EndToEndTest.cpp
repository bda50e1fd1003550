// The program's real windows against the real local service, started in this process: what a
// user does on screen must arrive in the service's store and outbox, and what the service holds
// must come back to both windows.

#include "addressbook/frm_ab.h"
#include "app/Global.h"
#include "app/Main.h"
#include "server/delivery/GatewayTable.h"
#include "server/store/DemoData.h"
#include "server/app/Server.h"
#include "tests/support/FriendRows.h"
#include "tests/support/VantroTest.h"
#include "ui/main/frm_quorvale.h"
#include "ui/shell/Controls.h"
#include "ui/shell/Layout.h"

#include <QComboBox>
#include <QLineEdit>
#include <QListView>
#include <QRadioButton>
#include <QTest>

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

// Readable failure messages: the texts, not their bytes.
void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace {

const QString UpdateSuccessful = QStringLiteral("Update Successful.");

QString fromStd(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

class EndToEndTest : public VantroTest {
protected:
    void SetUp() override {
        VantroTest::SetUp();
        ASSERT_NO_THROW(service.start());
        global::ServiceUrl = service.baseUrl();
    }

    // Starts the program as main() does and logs in as the demo user.
    void startAndLogIn() {
        global::Main();
        mainWindow = frm_quorvale::instance();
        ASSERT_NE(mainWindow, nullptr) << "start-up showed: " << recorder.messages.join(qs(" | ")).toStdString();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(mainWindow));
        typeInto(mainControl<QLineEdit>("tb_login"), fromStd(server::kDemoLogin));
        typeInto(mainControl<QLineEdit>("tb_password"), fromStd(server::kDemoPassword));
        QTest::mouseClick(mainControl<QWidget>("btn_login"), Qt::LeftButton);
        ASSERT_TRUE(mainControl<QWidget>("frame_txt")->isVisible())
            << mainControl<QLabel>("lbl_msg_login")->text().toStdString();
    }

    frm_ab* openAddressBook() {
        QTest::mouseClick(mainControl<QWidget>("pic_ab"), Qt::LeftButton);
        frm_ab* book = frm_ab::instance();
        EXPECT_NE(book, nullptr);
        if (book != nullptr) {
            EXPECT_TRUE(QTest::qWaitForWindowExposed(book));
        }
        return book;
    }

    template <typename T> T* mainControl(const char* name) const { return Control<T>(mainWindow, name); }

    // Replaces what the box holds by typing over all of it, as a user would.
    static void typeInto(QLineEdit* box, const QString& text) {
        box->setFocus();
        box->selectAll();
        QTest::keyClicks(box, text);
    }

    // Picks an entry by its text; the entry must be offered.
    static void choose(QComboBox* list, const QString& text) {
        const int index = list->findText(text);
        ASSERT_GE(index, 0) << "no entry " << text.toStdString();
        list->setCurrentIndex(index);
    }

    static void clickRow(QListView* list, const QString& text) {
        const QModelIndex found = rowShowing(list, text);
        ASSERT_TRUE(found.isValid()) << text.toStdString();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(found).center());
    }

    // The demo user's address book as the service holds it, as the lists should show it.
    Rows serviceBook() {
        Rows rows;
        for (const server::Friend& entry : service.store().friends(demoUserId())) {
            rows.emplace_back(fromStd(entry.name), static_cast<qint32>(entry.id));
        }
        return rows;
    }

    static std::int64_t demoUserId() { return std::stoll(std::string(server::kDemoUserId)); }

    // Both friend lists show exactly what the service holds.
    void expectBothListsFollowTheService(frm_ab* book, const char* step) {
        const Rows expected = serviceBook();
        EXPECT_EQ(rowsOf(Control<QListView>(book, "lb_ab")), expected) << step;
        EXPECT_EQ(rowsOf(mainControl<QComboBox>("cbl_ab")), expected) << step;
    }

    server::Server service{[] {
        server::ServerOptions options;
        options.port = 0;
        options.databasePath = ":memory:";
        return options;
    }()};
    frm_quorvale* mainWindow = nullptr;
};

} // namespace

TEST_F(EndToEndTest, startUpFetchesTheServicesCarriersAndTheDemoUserLogsIn) {
    global::Main();
    mainWindow = frm_quorvale::instance();
    ASSERT_NE(mainWindow, nullptr);
    EXPECT_TRUE(recorder.messages.isEmpty());

    QStringList expectedCarriers;
    for (const server::Carrier& carrier : server::KnownCarriers()) {
        expectedCarriers << fromStd(carrier.name);
    }
    QStringList offered;
    const auto* carriers = mainControl<QComboBox>("cbl_carrier");
    for (int i = 0; i < carriers->count(); ++i) {
        offered << carriers->itemText(i);
    }
    EXPECT_EQ(offered, expectedCarriers);
    EXPECT_TRUE(offered.contains(qs("AT&T"))) << "an ampersand in a carrier's name survives the carrier list";

    // The service's refusal reaches the login panel, and the user can try again.
    typeInto(mainControl<QLineEdit>("tb_login"), fromStd(server::kDemoLogin));
    typeInto(mainControl<QLineEdit>("tb_password"), qs("wrong"));
    QTest::mouseClick(mainControl<QWidget>("btn_login"), Qt::LeftButton);
    EXPECT_EQ(mainControl<QLabel>("lbl_msg_login")->text(), qs("Login Failed: Invalid login or password."));
    EXPECT_TRUE(mainControl<QWidget>("frame_login")->isVisible());
    EXPECT_TRUE(global::CurrentUserId.empty());

    typeInto(mainControl<QLineEdit>("tb_password"), fromStd(server::kDemoPassword));
    QTest::mouseClick(mainControl<QWidget>("btn_login"), Qt::LeftButton);
    EXPECT_TRUE(mainControl<QWidget>("frame_txt")->isVisible());
    EXPECT_FALSE(mainControl<QWidget>("frame_login")->isVisible());
    EXPECT_TRUE(mainControl<QWidget>("pic_ab")->isVisible());
    // The id the program keeps is a session token of the demo user.
    EXPECT_EQ(service.store().sessionUser(global::CurrentUserId).value_or(server::User{}).id, demoUserId());
    EXPECT_FALSE(recorder.waiting);

    Rows demoBook;
    for (const server::DemoFriend& demo : server::kDemoFriends) {
        demoBook.emplace_back(fromStd(demo.name), demo.id);
    }
    EXPECT_EQ(rowsOf(mainControl<QComboBox>("cbl_ab")), demoBook);
}

TEST_F(EndToEndTest, addChangeAndDeleteAFriendAndBothListsFollow) {
    ASSERT_NO_FATAL_FAILURE(startAndLogIn());
    frm_ab* book = openAddressBook();
    ASSERT_NE(book, nullptr);
    auto* list = Control<QListView>(book, "lb_ab");
    auto* name = Control<QLineEdit>(book, "tb_name");
    auto* phone = Control<QLineEdit>(book, "tb_phone");
    auto* carrier = Control<QComboBox>(book, "cbl_carrier");
    auto* id = Control<QLabel>(book, "lbl_id");
    auto* message = Control<QLabel>(book, "lbl_msg");
    expectBothListsFollowTheService(book, "on opening");
    const std::size_t demoCount = serviceBook().size();

    // Add: the name and the carrier hold ampersands, which the program escapes twice on the way.
    const QString added = qs("Bob & Sue <home>");
    QTest::mouseClick(Control<QWidget>(book, "btn_add"), Qt::LeftButton);
    typeInto(name, added);
    typeInto(phone, qs("4125550199"));
    ASSERT_NO_FATAL_FAILURE(choose(carrier, qs("AT&T")));
    QTest::mouseClick(Control<QWidget>(book, "btn_save"), Qt::LeftButton);
    EXPECT_EQ(message->text(), UpdateSuccessful);
    const std::vector<server::Friend> afterAdd = service.store().friends(demoUserId());
    ASSERT_EQ(afterAdd.size(), demoCount + 1);
    const server::Friend stored = afterAdd.back();
    EXPECT_EQ(stored.name, "Bob & Sue <home>");
    EXPECT_EQ(stored.number, "4125550199");
    EXPECT_EQ(stored.carrier, "AT&T");
    expectBothListsFollowTheService(book, "after the add");
    EXPECT_EQ(rowsOf(list).back(), std::make_pair(added, static_cast<qint32>(stored.id)));
    EXPECT_TRUE(id->text().isEmpty());
    EXPECT_TRUE(name->text().isEmpty());

    // Change: the entry comes back from the service exactly as typed.
    ASSERT_NO_FATAL_FAILURE(clickRow(list, added));
    EXPECT_EQ(id->text(), QString::number(stored.id));
    EXPECT_EQ(name->text(), added);
    EXPECT_EQ(phone->text(), qs("4125550199"));
    EXPECT_EQ(carrier->currentText(), qs("AT&T"));
    const QString changed = qs("Bob & Sue & Co");
    typeInto(name, changed);
    typeInto(phone, qs("7245550123"));
    QTest::mouseClick(Control<QWidget>(book, "btn_save"), Qt::LeftButton);
    EXPECT_EQ(message->text(), UpdateSuccessful);
    const auto afterChange = service.store().findFriend(demoUserId(), stored.id);
    ASSERT_TRUE(afterChange.has_value());
    EXPECT_EQ(afterChange->name, "Bob & Sue & Co");
    EXPECT_EQ(afterChange->number, "7245550123");
    EXPECT_EQ(afterChange->carrier, "AT&T");
    EXPECT_EQ(service.store().friends(demoUserId()).size(), demoCount + 1) << "a change adds no entry";
    expectBothListsFollowTheService(book, "after the change");
    EXPECT_EQ(rowsOf(list).back(), std::make_pair(changed, static_cast<qint32>(stored.id)));
    EXPECT_EQ(id->text(), QString::number(stored.id)) << "the changed entry stays loaded";

    // Delete the loaded entry.
    QTest::mouseClick(Control<QWidget>(book, "btn_delete"), Qt::LeftButton);
    EXPECT_EQ(message->text(), UpdateSuccessful);
    EXPECT_FALSE(service.store().findFriend(demoUserId(), stored.id).has_value());
    EXPECT_EQ(service.store().friends(demoUserId()).size(), demoCount);
    expectBothListsFollowTheService(book, "after the delete");
    EXPECT_FALSE(rowShowing(list, changed).isValid());
    EXPECT_TRUE(id->text().isEmpty());
    EXPECT_TRUE(name->text().isEmpty());
    EXPECT_TRUE(recorder.messages.isEmpty()) << recorder.messages.join(qs(" | ")).toStdString();
    EXPECT_FALSE(recorder.waiting);
}

TEST_F(EndToEndTest, messagesToATypedNumberAndToAFriendReachTheOutboxAsTyped) {
    ASSERT_NO_FATAL_FAILURE(startAndLogIn());
    auto* messageBox = mainControl<MultiLineTextBox>("tb_message");
    auto* send = mainControl<QWidget>("btn_send");

    // A typed number and carrier, a subject and a two-line body with characters XML must escape.
    typeInto(mainControl<QLineEdit>("tb_phone"), qs("7245559876"));
    ASSERT_NO_FATAL_FAILURE(choose(mainControl<QComboBox>("cbl_carrier"), qs("AT&T")));
    typeInto(mainControl<QLineEdit>("tb_subject"), qs("Dinner & drinks <8pm>"));
    messageBox->setFocus();
    QTest::keyClicks(messageBox, qs("Meet at Joe's & Co."));
    QTest::keyClick(messageBox, Qt::Key_Return);
    QTest::keyClicks(messageBox, qs("Bring <cash> & \"ID\""));
    QTest::mouseClick(send, Qt::LeftButton);

    ASSERT_TRUE(mainControl<QWidget>("frame_ty")->isVisible()) << mainControl<QLabel>("lbl_msg")->text().toStdString();
    EXPECT_FALSE(mainControl<QWidget>("frame_txt")->isVisible());
    EXPECT_TRUE(mainControl<QLabel>("lbl_ty")->text().startsWith(qs("Your message was sent")));
    EXPECT_TRUE(mainControl<QLabel>("lbl_ty")->text().contains(qs("7245559876")));
    EXPECT_EQ(mainControl<QLabel>("lbl_ty_ad")->text(), qs("Track this message and your last ones"));
    ASSERT_TRUE(mainControl<QWidget>("lbl_ty_link")->isVisible());
    QTest::mouseClick(mainControl<QWidget>("lbl_ty_link"), Qt::LeftButton);
    EXPECT_EQ(recorder.urls, QStringList{fromStd(service.baseUrl() + "/messages.aspx")});

    std::vector<server::OutboxMessage> outbox = service.store().outbox();
    ASSERT_EQ(outbox.size(), 1u);
    EXPECT_EQ(outbox[0].userId, demoUserId());
    EXPECT_EQ(outbox[0].friendId, 0);
    EXPECT_EQ(outbox[0].number, "7245559876");
    EXPECT_EQ(outbox[0].carrier, "AT&T");
    EXPECT_EQ(outbox[0].subject, "Dinner & drinks <8pm>");
    EXPECT_EQ(outbox[0].body, "Meet at Joe's & Co.\r\nBring <cash> & \"ID\"");

    // Back to the compose panel, and to a friend from the address book.
    QTest::mouseClick(mainControl<QWidget>("btn_again"), Qt::LeftButton);
    ASSERT_TRUE(mainControl<QWidget>("frame_txt")->isVisible());
    QTest::mouseClick(mainControl<QRadioButton>("option_ab"), Qt::LeftButton, {}, QPoint(5, 5));
    const server::DemoFriend& tom = server::kDemoFriends[0];
    ASSERT_NO_FATAL_FAILURE(choose(mainControl<QComboBox>("cbl_ab"), fromStd(tom.name)));
    messageBox->setFocus();
    QTest::keyClicks(messageBox, qs("See you & the cat"));
    QTest::keyClick(messageBox, Qt::Key_Return);
    QTest::keyClicks(messageBox, qs("at 5 < 6"));
    QTest::mouseClick(send, Qt::LeftButton);

    ASSERT_TRUE(mainControl<QWidget>("frame_ty")->isVisible()) << mainControl<QLabel>("lbl_msg")->text().toStdString();
    outbox = service.store().outbox();
    ASSERT_EQ(outbox.size(), 2u);
    EXPECT_EQ(outbox[1].friendId, tom.id);
    EXPECT_EQ(outbox[1].number, tom.number);
    EXPECT_EQ(outbox[1].carrier, tom.carrier);
    EXPECT_EQ(outbox[1].subject, "");
    EXPECT_EQ(outbox[1].body, "See you & the cat\r\nat 5 < 6");
    EXPECT_TRUE(recorder.messages.isEmpty()) << recorder.messages.join(qs(" | ")).toStdString();
    EXPECT_FALSE(recorder.waiting);
}
