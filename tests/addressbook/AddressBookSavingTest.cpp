// The address book window's Save and Delete: the documents they send, the checks that stop them,
// how the service's answer is shown, and the reload of both friend lists that follows a success.

#include "tests/addressbook/AddressBookWindowFixture.h"

#include "service/AddressBookRetrieval.h"

#include <functional>

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
