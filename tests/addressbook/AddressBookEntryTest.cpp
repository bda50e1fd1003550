// The address book window's friend lists and entry: what the lists show, picking a row, Add New, a
// long entry, and the window's life beside the main window.

#include "tests/addressbook/AddressBookWindowFixture.h"

#include <QAccessible>
#include <QScrollBar>
#include <QTimer>

#include <limits>

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
