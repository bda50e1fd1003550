// The address book at every size: the answer fetched and parsed by LoadAddressBook, and both
// friend lists filled, at login and again after a change made in the address book window.

#include "addressbook/AddressBookStore.h"
#include "addressbook/frm_ab.h"
#include "app/Global.h"
#include "bench/BenchMain.h"
#include "bench/BookAnswer.h"
#include "tests/support/LoopbackServer.h"
#include "ui/main/frm_quorvale.h"
#include "ui/shell/Controls.h"
#include "ui/shell/Layout.h"
#include "ui/shell/Navigation.h"

#include <QComboBox>
#include <QListView>
#include <QPushButton>

#include <string>
#include <utility>
#include <vector>

namespace {

// The main window and the address book window, shown, against a service that answers with a
// book of `count` friends and takes every change.
class OpenWindows {
public:
    explicit OpenWindows(int count) {
        m_service.replyXml("/vantro_ab.aspx", BookAnswer(count));
        m_service.replyXml("/vantro_ab_update.aspx", "<update>Update Successful.</update>");
        global::ServiceUrl = m_service.url();
        global::CurrentUserId = "42";
        global::Carriers = {"Verizon", "AT&T", "Sprint"};
        global::Friends = {};
        main = new frm_quorvale;
        main->show();
        Navigation::ShowAddressBookWindow();
        book = frm_ab::instance();
        settle();
    }
    ~OpenWindows() {
        book->close();
        main->close();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        global::Friends = {};
    }

    // Lets the lists lay out and the windows paint what they now show.
    static void settle() { QApplication::processEvents(); }

    QComboBox* dropDown() const { return Control<QComboBox>(main, "cbl_ab"); }
    QListView* list() const { return Control<QListView>(book, "lb_ab"); }
    int listRows() const { return list()->model()->rowCount(); }

    // Both lists as they are before the first fill.
    void emptyLists() const {
        const std::vector<ab_friend> loaded = std::exchange(global::Friends, {});
        main->popAddresses();
        book->RefreshFriendList();
        global::Friends = loaded;
    }

    frm_quorvale* main = nullptr;
    frm_ab* book = nullptr;

private:
    LoopbackServer m_service;
};

// At login: the book fetched and parsed, the drop-down filled, the address book window's list
// filled, all from empty lists.
void AddressBookLoadAndFill(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    OpenWindows windows(count);
    for (auto _ : state) {
        state.PauseTiming();
        windows.emptyLists();
        global::Friends = {};
        OpenWindows::settle();
        state.ResumeTiming();

        global::LoadAddressBook(global::CurrentUserId);
        windows.main->popAddresses();
        windows.book->RefreshFriendList();
        OpenWindows::settle();
    }
    if (windows.listRows() != count || windows.dropDown()->count() != count) {
        state.SkipWithError("the lists do not hold the whole book");
    }
    state.SetComplexityN(count);
}

// The three steps of the load and fill on their own, to show where its time goes, and the first
// again as the reload meets it: with both lists still full of the old book.
enum class Step { Load, LoadOverFullLists, DropDown, List };

void AddressBookStep(benchmark::State& state, Step step) {
    const int count = static_cast<int>(state.range(0));
    OpenWindows windows(count);
    global::LoadAddressBook(global::CurrentUserId);
    if (step == Step::LoadOverFullLists) {
        windows.main->popAddresses();
        windows.book->RefreshFriendList();
    }
    for (auto _ : state) {
        state.PauseTiming();
        if (step != Step::LoadOverFullLists) {
            windows.emptyLists();
        }
        OpenWindows::settle();
        state.ResumeTiming();

        switch (step) {
        case Step::Load:
        case Step::LoadOverFullLists:
            global::LoadAddressBook(global::CurrentUserId);
            break;
        case Step::DropDown:
            windows.main->popAddresses();
            break;
        case Step::List:
            windows.book->RefreshFriendList();
            break;
        }
        OpenWindows::settle();
    }
}

// A delete in the address book window: the update exchange, then the whole book fetched again and
// both full lists refilled.
void AddressBookReloadAfterChange(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    OpenWindows windows(count);
    global::LoadAddressBook(global::CurrentUserId);
    windows.main->popAddresses();
    windows.book->RefreshFriendList();
    auto* deleteButton = Control<QPushButton>(windows.book, "btn_delete");
    for (auto _ : state) {
        state.PauseTiming();
        windows.list()->setCurrentIndex(windows.list()->model()->index(count / 2, 0)); // loads it, as a click does
        OpenWindows::settle();
        state.ResumeTiming();

        deleteButton->click();
        OpenWindows::settle();
    }
    if (windows.listRows() != count || windows.dropDown()->count() != count ||
        Control<Label>(windows.book, "lbl_msg")->text() != QStringLiteral("Update Successful.")) {
        state.SkipWithError("the change was not made or the lists were not refilled");
    }
}

} // namespace

BENCHMARK(AddressBookLoadAndFill)
    ->Name("address book load and fill")
    ->Arg(100)
    ->Arg(1000)
    ->Arg(3000)
    ->Arg(10000)
    ->Arg(30000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(AddressBookStep, load, Step::Load)
    ->Name("step: answer fetched and parsed")
    ->Arg(30000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(AddressBookStep, loadOverFullLists, Step::LoadOverFullLists)
    ->Name("step: answer fetched and parsed, both lists full")
    ->Arg(30000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(AddressBookStep, dropDown, Step::DropDown)
    ->Name("step: drop-down filled")
    ->Arg(30000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(AddressBookStep, list, Step::List)
    ->Name("step: address book list filled")
    ->Arg(30000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(AddressBookReloadAfterChange)
    ->Name("address book reload after a change")
    ->Arg(30000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

int main(int argc, char** argv) { return RunBenchmarksWithApplication(argc, argv); }
