#include "addressbook/frm_ab.h"
#include "app/Global.h"
#include "service/AddressBookRetrieval.h"
#include "tests/support/FriendRows.h"
#include "tests/support/VantroTest.h"
#include "ui/main/frm_quorvale.h"
#include "ui/shell/Controls.h"
#include "ui/shell/Layout.h"
#include "ui/shell/Navigation.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QAccessible>
#include <QListView>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

#include <functional>
#include <limits>
#include <utility>
#include <vector>

namespace {

constexpr const char* UpdatePath = "/vantro_ab_update.aspx";
constexpr const char* BookPath = "/vantro_ab.aspx";
const QString Success = QStringLiteral("Update Successful.");
const QString SystemError =
    QStringLiteral("There was a system error.  Please check your internet connection and try again.");

std::string friendXml(const std::string& id, const std::string& name, const std::string& number,
                      const std::string& carrier) {
    return "<friend><id>" + id + "</id><name>" + name + "</name><number>" + number + "</number><carrier>" + carrier +
           "</carrier></friend>";
}

std::string bookAnswer(const std::string& friends) {
    return "<address_book><result>TRUE</result><ab>" + friends + "</ab></address_book>";
}

ScriptedReply answer(int status, std::string body) {
    ScriptedReply reply;
    reply.status = status;
    reply.body = std::move(body);
    return reply;
}

class AddressBookWindowTest : public VantroTest {
protected:
    void SetUp() override {
        VantroTest::SetUp();
        global::CurrentUserId = "42";
        global::Carriers = {"Verizon", "AT&T", "Sprint"};
        global::Friends = {{17, "Ann", "4125550017", "Verizon"}, {-3, "Neg", "4125550003", "AT&T"}};
        // By default the service takes every change and answers the reload with the same book.
        server.replyXml(UpdatePath, "<update>Update Successful.</update>");
        server.replyXml(BookPath, bookAnswer(friendXml("17", "Ann", "4125550017", "Verizon") +
                                             friendXml("-3", "Neg", "4125550003", "AT&amp;T")));
    }

    static frm_ab* openBook() {
        Navigation::ShowAddressBookWindow();
        frm_ab* book = frm_ab::instance();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(book));
        return book;
    }

    static void closeBook() {
        QTest::mouseClick(Control<QWidget>(frm_ab::instance(), "pic_close"), Qt::LeftButton);
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    static frm_quorvale* openMain() {
        auto* main = new frm_quorvale;
        main->show();
        return main;
    }

    template <typename T = QWidget> static T* in(const QWidget* window, const char* name) {
        return Control<T>(window, name);
    }

    static void pickRow(frm_ab* book, int row) {
        auto* list = in<QListView>(book, "lb_ab");
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(list->model()->index(row, 0)).center());
    }

    static void click(frm_ab* book, const char* button) { QTest::mouseClick(in(book, button), Qt::LeftButton); }

    static void type(frm_ab* book, const char* box, const QString& text) {
        auto* edit = in<QLineEdit>(book, box);
        edit->clear();
        QTest::keyClicks(edit, text);
    }

    static void chooseCarrier(frm_ab* book, const QString& carrier) {
        auto* carriers = in<QComboBox>(book, "cbl_carrier");
        carriers->setCurrentIndex(carriers->findText(carrier));
    }

    static QString text(frm_ab* book, const char* name) {
        if (auto* edit = qobject_cast<QLineEdit*>(in(book, name))) {
            return edit->text();
        }
        if (auto* list = qobject_cast<QComboBox*>(in(book, name))) {
            return list->currentText();
        }
        return in<QLabel>(book, name)->text();
    }

    // The id, name, number and carrier the window shows.
    static QStringList entry(frm_ab* book) {
        return {text(book, "lbl_id"), text(book, "tb_name"), text(book, "tb_phone"), text(book, "cbl_carrier")};
    }

    std::vector<std::string> updateBodies() const {
        std::vector<std::string> bodies;
        for (const RecordedRequest& request : server.requestsTo(UpdatePath)) {
            bodies.push_back(request.body);
        }
        return bodies;
    }

    const QStringList hourglassOnly{qs("cursor: wait"), qs("cursor: default")};
};

} // namespace

TEST_F(AddressBookWindowTest, saveAndDeleteSendTheirDocumentsByteForByte) {
    struct Case {
        const char* what;
        std::function<void(frm_ab*)> act;
        std::string body;
    };
    const Case cases[] = {
        {"add: trimmed name, '&' escaped twice, '<' once",
         [](frm_ab* book) {
             click(book, "btn_add");
             type(book, "tb_name", qs("  Tom & Jerry <3> "));
             type(book, "tb_phone", qs("4125551212"));
             chooseCarrier(book, qs("AT&T"));
             click(book, "btn_save");
         },
         "<QVRABUpdate>    <Action>add</Action>    <Reguser>42</Reguser>    <Friend>0</Friend>"
         "    <Name>Tom &amp;amp; Jerry &lt;3&gt;</Name>    <Number>4125551212</Number>"
         "    <Carrier>AT&amp;amp;T</Carrier></QVRABUpdate>"},
        {"add with an empty name",
         [](frm_ab* book) {
             click(book, "btn_add");
             type(book, "tb_phone", qs("4125551212"));
             chooseCarrier(book, qs("Sprint"));
             click(book, "btn_save");
         },
         "<QVRABUpdate>    <Action>add</Action>    <Reguser>42</Reguser>    <Friend>0</Friend>"
         "    <Name></Name>    <Number>4125551212</Number>    <Carrier>Sprint</Carrier></QVRABUpdate>"},
        {"update of the picked entry",
         [](frm_ab* book) {
             pickRow(book, 0);
             type(book, "tb_phone", qs("7245550017"));
             click(book, "btn_save");
         },
         "<QVRABUpdate>    <Action>update</Action>    <Reguser>42</Reguser>    <Friend>17</Friend>"
         "    <Name>Ann</Name>    <Number>7245550017</Number>    <Carrier>Verizon</Carrier></QVRABUpdate>"},
        {"update of a negative id; a minus sign and nine digits go out unchanged",
         [](frm_ab* book) {
             pickRow(book, 1);
             type(book, "tb_phone", qs("-412555121"));
             click(book, "btn_save");
         },
         "<QVRABUpdate>    <Action>update</Action>    <Reguser>42</Reguser>    <Friend>-3</Friend>"
         "    <Name>Neg</Name>    <Number>-412555121</Number>    <Carrier>AT&amp;amp;T</Carrier></QVRABUpdate>"},
        {"a leading blank and nine digits go out as the nine digits",
         [](frm_ab* book) {
             pickRow(book, 0);
             type(book, "tb_phone", qs(" 412555121"));
             click(book, "btn_save");
         },
         "<QVRABUpdate>    <Action>update</Action>    <Reguser>42</Reguser>    <Friend>17</Friend>"
         "    <Name>Ann</Name>    <Number>412555121</Number>    <Carrier>Verizon</Carrier></QVRABUpdate>"},
        {"delete sends empty name, number and carrier",
         [](frm_ab* book) {
             pickRow(book, 0);
             click(book, "btn_delete");
         },
         "<QVRABUpdate>    <Action>delete</Action>    <Reguser>42</Reguser>    <Friend>17</Friend>"
         "    <Name></Name>    <Number></Number>    <Carrier></Carrier></QVRABUpdate>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        frm_ab* book = openBook();
        const std::size_t before = updateBodies().size();
        recorder.events.clear();

        c.act(book);

        const auto bodies = updateBodies();
        ASSERT_EQ(bodies.size(), before + 1);
        EXPECT_EQ(bodies.back(), c.body);
        EXPECT_EQ(text(book, "lbl_msg"), Success);
        EXPECT_EQ(recorder.events, hourglassOnly);
        closeBook();
    }
}

TEST_F(AddressBookWindowTest, saveRefusesWithTheFirstFailingCheckAndSendsNothing) {
    const QString tenDigits = qs("Phone number must be 10 digit numeric.");
    const QString usOnly = qs("We do not support those types of numbers.  United States Only.");
    const QString noCarrier = qs("Please select a carrier.");
    struct Case {
        QString phone;
        bool carrierChosen;
        QString message;
    };
    const Case cases[] = {
        {qs("412555121"), true, tenDigits}, {qs("41255512x2"), true, tenDigits},  {qs("412555121"), false, tenDigits},
        {qs("0125551212"), true, usOnly},   {qs("1125551212"), true, usOnly},     {qs("+412555121"), true, usOnly},
        {qs("1125551212"), false, usOnly},  {qs("4125551212"), false, noCarrier},
    };
    frm_ab* book = openBook();
    pickRow(book, 0);
    recorder.events.clear();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.phone.toStdString() + (c.carrierChosen ? " with a carrier" : " without a carrier"));
        type(book, "tb_phone", c.phone);
        chooseCarrier(book, c.carrierChosen ? qs("Verizon") : QString());
        click(book, "btn_save");

        EXPECT_EQ(text(book, "lbl_msg"), c.message);
        EXPECT_EQ(entry(book),
                  QStringList({qs("17"), qs("Ann"), c.phone, c.carrierChosen ? qs("Verizon") : QString()}));
    }
    EXPECT_TRUE(server.requests().empty());
    EXPECT_TRUE(recorder.events.isEmpty()) << "no hourglass before the checks pass";

    // With no carriers at all, a valid number always meets the carrier check.
    closeBook();
    global::Carriers.clear();
    book = openBook();
    click(book, "btn_add");
    type(book, "tb_phone", qs("4125551212"));
    click(book, "btn_save");
    EXPECT_EQ(text(book, "lbl_msg"), noCarrier);
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(AddressBookWindowTest, anyOutcomeButTheExactSuccessIsShownAndNothingIsReloaded) {
    struct Case {
        const char* what;
        const char* button;
        ScriptedReply reply;
        bool unreachable;
        QString shown;
    };
    const Case cases[] = {
        {"letter case differs", "btn_save", answer(200, "<update>Update successful.</update>"), false,
         qs("Update successful.")},
        {"blank after the text", "btn_save", answer(200, "<update>Update Successful. </update>"), false,
         qs("Update Successful. ")},
        {"the first of two updates counts", "btn_save",
         answer(200, "<r><update>Name already used.</update><update>Update Successful.</update></r>"), false,
         qs("Name already used.")},
        {"404, whatever its body", "btn_save", answer(404, "<update>Update Successful.</update>"), false,
         qs("Update Failed.  Could not connect to site:")},
        {"500 on delete", "btn_delete", answer(500, ""), false, qs("Update Failed.  Could not connect to site:")},
        {"no update element", "btn_save", answer(200, "<html>Service Unavailable</html>"), false, SystemError},
        {"not XML", "btn_delete", answer(200, "Service Unavailable"), false, SystemError},
        {"nothing listening", "btn_save", {}, true, SystemError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        server.reply(UpdatePath, c.reply);
        global::ServiceUrl = c.unreachable ? LoopbackServer::closedPortUrl() : server.url();
        frm_ab* book = openBook();
        pickRow(book, 0);
        type(book, "tb_phone", qs("7245550017"));
        recorder.events.clear();

        click(book, c.button);

        EXPECT_EQ(text(book, "lbl_msg"), c.shown);
        EXPECT_EQ(entry(book), QStringList({qs("17"), qs("Ann"), qs("7245550017"), qs("Verizon")}));
        EXPECT_EQ(recorder.events, hourglassOnly);
        EXPECT_EQ(global::Friends.size(), 2U);
        closeBook();
    }
    EXPECT_TRUE(server.requestsTo(BookPath).empty());
    EXPECT_EQ(server.requestsTo(UpdatePath).size(), std::size(cases) - 1);
}

TEST_F(AddressBookWindowTest, bothFriendListsShowTheBookInItsOrderWithSignedIdsAndNothingChosen) {
    frm_quorvale* main = openMain();
    frm_ab* book = openBook();
    constexpr qint32 kMinId = std::numeric_limits<qint32>::min();
    constexpr qint32 kMaxId = std::numeric_limits<qint32>::max();
    struct Case {
        const char* what;
        std::vector<ab_friend> friends;
        Rows rows;
    };
    std::vector<Case> cases{
        {"a book",
         {{17, "Ann", "1", "V"}, {-3, "Neg & Co", "2", "A"}, {17, "Ann", "3", "S"}, {0, "", "4", "V"}},
         {{qs("Ann"), 17}, {qs("Neg & Co"), -3}, {qs("Ann"), 17}, {QString(), 0}}},
        {"a longer one, unsorted",
         {{9, "Zoë", "1", "V"},
          {kMinId, "Min", "2", "A"},
          {kMaxId, "Max", "3", "S"},
          {5, "Bob", "4", "V"},
          {1, "Al", "5", "V"}},
         {{qs("Zoë"), 9}, {qs("Min"), kMinId}, {qs("Max"), kMaxId}, {qs("Bob"), 5}, {qs("Al"), 1}}},
        {"a shorter one", {{2, "Cy", "1", "V"}}, {{qs("Cy"), 2}}},
        {"an empty one", {}, {}},
        {"a book again after an empty one", {{4, "Di", "1", "V"}, {3, "Ed", "2", "V"}}, {{qs("Di"), 4}, {qs("Ed"), 3}}},
    };
    auto* list = in<QListView>(book, "lb_ab");
    auto* dropDown = in<QComboBox>(main, "cbl_ab");
    for (const Case& c : cases) {
        list->setCurrentIndex(list->model()->index(0, 0)); // a row chosen before the refill must not stay chosen
        dropDown->setCurrentIndex(0);
        global::Friends = c.friends;
        main->popAddresses();
        book->RefreshFriendList();

        EXPECT_EQ(rowsOf(list), c.rows) << c.what;
        // A screen reader reads each row by its name, also after a refill.
        QAccessibleInterface* readerList = QAccessible::queryAccessibleInterface(list);
        ASSERT_EQ(readerList->childCount(), static_cast<int>(c.rows.size())) << c.what;
        for (int row = 0; row < readerList->childCount(); ++row) {
            EXPECT_EQ(readerList->child(row)->text(QAccessible::Name), c.rows[static_cast<std::size_t>(row)].first);
        }
        // Without a screen reader Qt sends the list no change, so its rows would go stale.
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(readerList));
        EXPECT_EQ(rowsOf(dropDown), c.rows) << c.what;
        for (int row = 0; row < dropDown->count(); ++row) {
            EXPECT_EQ(dropDown->itemData(row).typeId(), QMetaType::Int) << c.what << ", row " << row;
            EXPECT_EQ(list->model()->index(row, 0).data(Qt::UserRole).typeId(), QMetaType::Int) << c.what << ", row " << row;
        }
        EXPECT_EQ(dropDown->currentIndex(), -1) << c.what;
        EXPECT_TRUE(list->selectionModel()->selectedIndexes().isEmpty()) << c.what;
    }

    // Every row is measured: a long name far up the list can still be scrolled to its end, and a
    // name with a line break is as tall as its two lines.
    // A name in letters that are shaped together is measured whole.
    const QString longName = qs("A name much wider than the list of friends is");
    const QString shapedName = qs("\u05D0\u05D1\u05D2\u05D3 \u05D4\u05D5\u05D6 \u00E9\u0301 \u4E2D\u6587\u540D\u5B57\u5F88\u957F\u5F88\u957F\u5F88\u957F");
    global::Friends = {{1, "Al", "1", "V"},
                       {2, longName.toStdString(), "2", "V"},
                       {4, "Two\nlines", "4", "V"},
                       {5, shapedName.toStdString(), "5", "V"}};
    for (int i = 0; i < 20; ++i) {
        global::Friends.push_back({3, "Bo", "3", "V"});
    }
    book->RefreshFriendList();
    list->doItemsLayout();
    const int oneLine = list->visualRect(list->model()->index(0, 0)).height();
    for (const auto& [row, name] : {std::pair{1, longName}, std::pair{3, shapedName}}) {
        const int width = list->fontMetrics().horizontalAdvance(name);
        EXPECT_GE(list->visualRect(list->model()->index(row, 0)).width(), width) << row;
        EXPECT_GE(list->horizontalScrollBar()->maximum(), width - list->viewport()->width()) << row;
    }
    EXPECT_EQ(list->visualRect(list->model()->index(2, 0)).height(), oneLine + list->fontMetrics().height());
    EXPECT_EQ(list->visualRect(list->model()->index(23, 0)).height(), oneLine) << "the last row sets no size";
}

TEST_F(AddressBookWindowTest, successfulAddEmptiesTheEntryAndRefillsBothFriendLists) {
    frm_quorvale* main = openMain();
    frm_ab* book = openBook();
    server.replyXml(BookPath, bookAnswer(friendXml("17", "Ann", "4125550017", "Verizon") +
                                         friendXml("9", "Bob &amp; Co", "4125550009", "Sprint") +
                                         friendXml("-3", "Neg", "4125550003", "AT&amp;T")));
    pickRow(book, 1);
    click(book, "btn_add");
    type(book, "tb_name", qs("Bob & Co"));
    type(book, "tb_phone", qs("4125550009"));
    chooseCarrier(book, qs("Sprint"));
    recorder.events.clear();

    click(book, "btn_save");

    EXPECT_EQ(text(book, "lbl_msg"), Success);
    EXPECT_EQ(entry(book), QStringList({QString(), QString(), QString(), qs("Sprint")}));
    EXPECT_FALSE(in(book, "btn_save")->isHidden());
    EXPECT_TRUE(in(book, "btn_delete")->isHidden());
    const Rows expected{{qs("Ann"), 17}, {qs("Bob & Co"), 9}, {qs("Neg"), -3}};
    EXPECT_EQ(rowsOf(in<QListView>(book, "lb_ab")), expected) << "at the place the service gives it";
    EXPECT_TRUE(in<QListView>(book, "lb_ab")->selectionModel()->selectedIndexes().isEmpty());
    EXPECT_EQ(rowsOf(in<QComboBox>(main, "cbl_ab")), expected);
    ASSERT_EQ(server.requestsTo(BookPath).size(), 1U);
    EXPECT_EQ(server.requestsTo(BookPath).front().body, "<QVRAB>    <User_id>42</User_id></QVRAB>");
    EXPECT_EQ(recorder.events, hourglassOnly);
}

TEST_F(AddressBookWindowTest, successfulUpdateKeepsTheEntrySoItCanBeSavedAgain) {
    frm_quorvale* main = openMain();
    frm_ab* book = openBook();
    server.replyXml(BookPath, bookAnswer(friendXml("17", "Annie", "7245550017", "Verizon")));
    pickRow(book, 0);
    type(book, "tb_name", qs("Annie"));
    type(book, "tb_phone", qs("7245550017"));

    click(book, "btn_save");

    EXPECT_EQ(text(book, "lbl_msg"), Success);
    EXPECT_EQ(entry(book), QStringList({qs("17"), qs("Annie"), qs("7245550017"), qs("Verizon")}));
    EXPECT_FALSE(in(book, "btn_save")->isHidden());
    EXPECT_FALSE(in(book, "btn_delete")->isHidden());
    EXPECT_EQ(rowsOf(in<QListView>(book, "lb_ab")), Rows({{qs("Annie"), 17}}));
    EXPECT_TRUE(in<QListView>(book, "lb_ab")->selectionModel()->selectedIndexes().isEmpty());
    EXPECT_EQ(rowsOf(in<QComboBox>(main, "cbl_ab")), Rows({{qs("Annie"), 17}}));

    click(book, "btn_save");
    const auto bodies = updateBodies();
    ASSERT_EQ(bodies.size(), 2U);
    EXPECT_EQ(bodies[1], bodies[0]);
    EXPECT_NE(bodies[1].find("<Action>update</Action>    <Reguser>42</Reguser>    <Friend>17</Friend>"),
              std::string::npos);
}

TEST_F(AddressBookWindowTest, successfulDeleteEmptiesTheEntryAndASecondDeleteSendsNothing) {
    frm_quorvale* main = openMain();
    frm_ab* book = openBook();
    server.replyXml(BookPath, bookAnswer(friendXml("-3", "Neg", "4125550003", "AT&amp;T")));
    pickRow(book, 0);
    recorder.events.clear();

    click(book, "btn_delete");

    EXPECT_TRUE(recorder.messages.isEmpty()) << "no confirmation";
    EXPECT_EQ(text(book, "lbl_msg"), Success);
    EXPECT_EQ(entry(book), QStringList({QString(), QString(), QString(), qs("Verizon")}));
    EXPECT_FALSE(in(book, "btn_save")->isHidden());
    EXPECT_FALSE(in(book, "btn_delete")->isHidden());
    EXPECT_EQ(rowsOf(in<QListView>(book, "lb_ab")), Rows({{qs("Neg"), -3}}));
    EXPECT_EQ(rowsOf(in<QComboBox>(main, "cbl_ab")), Rows({{qs("Neg"), -3}}));

    recorder.events.clear();
    click(book, "btn_delete");
    EXPECT_EQ(updateBodies().size(), 1U);
    EXPECT_EQ(text(book, "lbl_msg"), QString());
    EXPECT_EQ(recorder.events, hourglassOnly);

    // Save in this state adds whatever the fields hold.
    type(book, "tb_phone", qs("4125551212"));
    click(book, "btn_save");
    ASSERT_EQ(updateBodies().size(), 2U);
    EXPECT_NE(updateBodies()[1].find("<Action>add</Action>"), std::string::npos);
}

TEST_F(AddressBookWindowTest, pickingARowShowsTheLastEntryWithItsId) {
    global::Friends = {{3, "First", "4125550001", "Verizon"},
                       {3, "Second", "4125550002", "AT&T"},
                       {8, "Elsewhere", "4125550008", "Cricket"}};
    frm_ab* book = openBook();
    auto* list = in<QListView>(book, "lb_ab");
    in<QLabel>(book, "lbl_msg")->setText(Success);

    // Taking the focus makes a row current without picking it.
    book->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(book));
    list->setFocus();
    ASSERT_EQ(list->currentIndex().row(), 0);
    EXPECT_EQ(entry(book), QStringList({QString(), QString(), QString(), QString()}));
    EXPECT_TRUE(in(book, "btn_save")->isHidden());

    for (int row : {0, 1}) {
        pickRow(book, row);
        EXPECT_EQ(entry(book), QStringList({qs("3"), qs("Second"), qs("4125550002"), qs("AT&T")})) << row;
    }
    EXPECT_FALSE(in(book, "btn_save")->isHidden());
    EXPECT_FALSE(in(book, "btn_delete")->isHidden());
    EXPECT_EQ(text(book, "lbl_msg"), Success);

    // By keyboard; the carrier is not among the choices, so none is chosen.
    QTest::keyClick(list, Qt::Key_Down);
    EXPECT_EQ(entry(book), QStringList({qs("8"), qs("Elsewhere"), qs("4125550008"), QString()}));
    EXPECT_EQ(in<QComboBox>(book, "cbl_carrier")->currentIndex(), -1);

    // A row the address book no longer holds changes nothing but the buttons.
    click(book, "btn_add");
    global::Friends.clear();
    pickRow(book, 0);
    EXPECT_EQ(entry(book), QStringList({QString(), QString(), QString(), QString()}));
    EXPECT_FALSE(in(book, "btn_delete")->isHidden());
}

TEST_F(AddressBookWindowTest, addNewEmptiesTheEntryButKeepsCarrierAndSelection) {
    frm_ab* book = openBook();
    pickRow(book, 1);
    in<QLabel>(book, "lbl_msg")->setText(Success);

    click(book, "btn_add");

    EXPECT_EQ(entry(book), QStringList({QString(), QString(), QString(), qs("AT&T")}));
    EXPECT_EQ(text(book, "lbl_msg"), QString());
    EXPECT_EQ(in<QListView>(book, "lb_ab")->currentIndex().row(), 1);
    EXPECT_FALSE(in(book, "btn_save")->isHidden());
    EXPECT_TRUE(in(book, "btn_delete")->isHidden());
    EXPECT_TRUE(server.requests().empty());

    // Picking the row that is still selected loads it again.
    pickRow(book, 1);
    EXPECT_EQ(entry(book), QStringList({qs("-3"), qs("Neg"), qs("4125550003"), qs("AT&T")}));
    EXPECT_FALSE(in(book, "btn_delete")->isHidden());
}

TEST_F(AddressBookWindowTest, failedReloadIsShownAndTheWindowStaysUsable) {
    frm_quorvale* main = openMain();
    main->popAddresses();
    frm_ab* book = openBook();
    server.replyInTurn(BookPath, {answer(200, bookAnswer(friendXml("17", "Ann", "4125550017", "Verizon") +
                                                         friendXml("x1", "Broken", "4125550001", "Verizon"))),
                                  answer(200, bookAnswer(friendXml("5", "Cy", "4125550005", "Sprint")))});
    click(book, "btn_add");
    type(book, "tb_name", qs("Cy"));
    type(book, "tb_phone", qs("4125550005"));
    chooseCarrier(book, qs("Sprint"));
    recorder.events.clear();

    click(book, "btn_save");

    // The box comes after the pointer is back: the reload runs without the hourglass.
    EXPECT_EQ(recorder.events, QStringList({qs("cursor: wait"), qs("cursor: default"),
                                            qs("box: ") + QString::fromUtf8(FriendIdError("x1").what())}));
    EXPECT_EQ(text(book, "lbl_msg"), Success);
    EXPECT_TRUE(book->isVisible());
    EXPECT_EQ(entry(book), QStringList({QString(), QString(), QString(), qs("Sprint")}))
        << "the entry was added, so a second Save must not add it again";
    const Rows before{{qs("Ann"), 17}, {qs("Neg"), -3}};
    EXPECT_EQ(rowsOf(in<QListView>(book, "lb_ab")), before);
    EXPECT_EQ(rowsOf(in<QComboBox>(main, "cbl_ab")), before);

    // The next change goes through and reloads as usual.
    type(book, "tb_name", qs("Cy"));
    type(book, "tb_phone", qs("4125550005"));
    click(book, "btn_save");
    EXPECT_EQ(updateBodies().size(), 2U);
    EXPECT_EQ(text(book, "lbl_msg"), Success);
    EXPECT_EQ(rowsOf(in<QListView>(book, "lb_ab")), Rows({{qs("Cy"), 5}}));
    EXPECT_EQ(rowsOf(in<QComboBox>(main, "cbl_ab")), Rows({{qs("Cy"), 5}}));
    EXPECT_EQ(recorder.messages.size(), 1);
}

TEST_F(AddressBookWindowTest, refusedReloadEmptiesBothListsAfterItsOwnMessage) {
    frm_quorvale* main = openMain();
    main->popAddresses();
    frm_ab* book = openBook();
    server.replyXml(BookPath, "<address_book><result>FALSE</result><string>Try again later.</string></address_book>");
    pickRow(book, 0);

    click(book, "btn_delete");

    EXPECT_EQ(recorder.messages, QStringList({qs("Try again later.")}));
    EXPECT_EQ(text(book, "lbl_msg"), Success);
    EXPECT_EQ(in<QListView>(book, "lb_ab")->model()->rowCount(), 0);
    EXPECT_EQ(in<QComboBox>(main, "cbl_ab")->count(), 0);
}

TEST_F(AddressBookWindowTest, closedMainWindowIsSkippedAndTheProgramEndsWithItsLastWindow) {
    frm_quorvale* main = openMain();
    frm_ab* book = openBook();
    server.replyXml(BookPath, bookAnswer(friendXml("5", "Cy", "4125550005", "Sprint")));
    bool mainGone = false;
    bool timedOut = false;
    // The timers go with this test: one still pending would write to its ended stack frame.
    QObject thisTest;
    QTimer::singleShot(0, &thisTest, [&] { QTest::mouseClick(in(main, "pic_close"), Qt::LeftButton); });
    QTimer::singleShot(50, &thisTest, [&] {
        mainGone = frm_quorvale::instance() == nullptr;
        click(book, "btn_add");
        type(book, "tb_phone", qs("4125550005"));
        chooseCarrier(book, qs("Sprint"));
        click(book, "btn_save");
    });
    QTimer::singleShot(100, &thisTest, [&] {
        EXPECT_EQ(text(book, "lbl_msg"), Success);
        EXPECT_EQ(rowsOf(in<QListView>(book, "lb_ab")), Rows({{qs("Cy"), 5}}));
        QTest::mouseClick(in(book, "pic_close"), Qt::LeftButton);
    });
    QTimer::singleShot(5000, &thisTest, [&] {
        timedOut = true;
        QApplication::exit(2);
    });
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_TRUE(mainGone);
    EXPECT_FALSE(timedOut) << "the program went on after its last window closed";
    EXPECT_EQ(updateBodies().size(), 1U);
}

TEST_F(AddressBookWindowTest, reopenedWindowStartsAfresh) {
    frm_ab* book = openBook();
    pickRow(book, 1);
    in<QLabel>(book, "lbl_msg")->setText(Success);
    closeBook();
    EXPECT_EQ(frm_ab::instance(), nullptr);
    global::Friends = {{5, "Cy", "4125550005", "Sprint"}};

    book = openBook();

    EXPECT_EQ(entry(book), QStringList({QString(), QString(), QString(), QString()}));
    EXPECT_EQ(text(book, "lbl_msg"), QString());
    EXPECT_TRUE(in(book, "btn_save")->isHidden());
    EXPECT_TRUE(in(book, "btn_delete")->isHidden());
    EXPECT_EQ(rowsOf(in<QListView>(book, "lb_ab")), Rows({{qs("Cy"), 5}}));
    EXPECT_EQ(in<QComboBox>(book, "cbl_carrier")->count(), 3);
    EXPECT_EQ(global::Friends.size(), 1U) << "closing leaves the address book alone";
}

TEST_F(AddressBookWindowTest, anEntryLongerThanTheBoxesAllowIsShownAndSavedWhole) {
    const std::string longName(60, 'L');
    global::Friends = {{5, longName, "412555000512", "Sprint"}};
    frm_ab* book = openBook();
    pickRow(book, 0);
    EXPECT_EQ(text(book, "tb_name").toStdString(), longName);
    EXPECT_EQ(text(book, "tb_phone"), qs("412555000512"));

    // Only the number's own check stops the save, and the user can shorten it to fit.
    click(book, "btn_save");
    EXPECT_EQ(text(book, "lbl_msg"), qs("Phone number must be 10 digit numeric."));
    auto* phone = in<QLineEdit>(book, "tb_phone");
    phone->setFocus();
    phone->end(false);
    QTest::keyClick(phone, Qt::Key_Backspace);
    QTest::keyClick(phone, Qt::Key_Backspace);
    click(book, "btn_save");
    const auto bodies = updateBodies();
    ASSERT_EQ(bodies.size(), 1U);
    EXPECT_NE(bodies[0].find("<Name>" + longName + "</Name>    <Number>4125550005</Number>"), std::string::npos);
}
