#include "addressbook/frm_ab.h"

#include "addressbook/AddressBookStore.h"
#include "addressbook/FriendListModel.h"
#include "app/Global.h"
#include "service/AddressBookUpdateExchange.h"
#include "ui/main/frm_quorvale.h"
#include "ui/shell/Controls.h"
#include "ui/shell/Layout.h"
#include "ui/shell/PhoneNumberCheck.h"
#include "ui/shell/Platform.h"
#include "ui/shell/UserText.h"

#include <QComboBox>
#include <QLineEdit>
#include <QItemSelectionModel>
#include <QListView>
#include <QPushButton>

#include <exception>

namespace {

frm_ab* theInstance = nullptr;

const QString UpdateSuccessful = QStringLiteral("Update Successful.");

} // namespace

frm_ab::frm_ab() : m_friends(new FriendListModel(this)) {
    theInstance = this;
    setAttribute(Qt::WA_DeleteOnClose);
    BuildLayout(this, AddressBookWindowLayout());
    connect(Control<PictureBox>(this, "pic_background"), &PictureBox::mouseDown, this,
            &frm_ab::pic_background_MouseDown);
    connect(Control<PictureBox>(this, "pic_close"), &PictureBox::clicked, this, &frm_ab::pic_close_Click);
    // A row counts as picked when it becomes selected, by mouse or keyboard, and when the mouse picks
    // the row that is already selected (after "Add New" emptied the fields). The current row alone
    // is not enough: the list makes its first row current when it merely takes the focus.
    auto* list = Control<QListView>(this, "lb_ab");
    list->setModel(m_friends);
    connect(list->selectionModel(), &QItemSelectionModel::selectionChanged, this, &frm_ab::lb_ab_Click);
    connect(list, &QListView::clicked, this, &frm_ab::lb_ab_Click);
    connect(Control<QPushButton>(this, "btn_add"), &QPushButton::clicked, this, &frm_ab::btn_add_Click);
    connect(Control<QPushButton>(this, "btn_save"), &QPushButton::clicked, this, &frm_ab::btn_save_Click);
    connect(Control<QPushButton>(this, "btn_delete"), &QPushButton::clicked, this, &frm_ab::btn_delete_Click);
    Form_Load();
    FocusFirstControl(this);
}

frm_ab::~frm_ab() {
    if (theInstance == this) {
        theInstance = nullptr;
    }
}

frm_ab* frm_ab::instance() { return theInstance; }

bool frm_ab::focusNextPrevChild(bool next) {
    return FocusFirstControlIfFocusLost(this) || QWidget::focusNextPrevChild(next);
}

void frm_ab::Form_Load() {
    RefreshFriendList();
    FillCarrierList();
}

void frm_ab::RefreshFriendList() { m_friends->setFriends(global::Friends); }

void frm_ab::FillCarrierList() {
    if (global::Carriers.empty()) {
        return;
    }
    auto* carriers = Control<QComboBox>(this, "cbl_carrier");
    carriers->clear();
    for (const std::string& carrier : global::Carriers) {
        carriers->addItem(QString::fromStdString(carrier));
    }
    carriers->setCurrentIndex(-1);
}

void frm_ab::pic_background_MouseDown() { platform().startWindowMove(this); }

void frm_ab::pic_close_Click() { close(); }

void frm_ab::lb_ab_Click() {
    const QModelIndexList selected = Control<QListView>(this, "lb_ab")->selectionModel()->selectedIndexes();
    if (selected.isEmpty()) {
        return; // the list was refilled or lost its selection: nothing was picked
    }
    const qint32 key = m_friends->idAt(selected.first().row());

    // Ids are not unique; every match is applied, so the last one in the book is what shows.
    for (const ab_friend& entry : global::Friends) {
        if (entry.id != key) {
            continue;
        }
        Control<Label>(this, "lbl_id")->setText(QString::number(key));
        SetWholeText(Control<QLineEdit>(this, "tb_name"), QString::fromStdString(entry.name));
        SetWholeText(Control<QLineEdit>(this, "tb_phone"), QString::fromStdString(entry.number));
        // A carrier the list does not offer leaves no choice, so Save asks for one.
        auto* carriers = Control<QComboBox>(this, "cbl_carrier");
        carriers->setCurrentIndex(carriers->findText(QString::fromStdString(entry.carrier)));
    }
    Control<QWidget>(this, "btn_save")->show();
    Control<QWidget>(this, "btn_delete")->show();
}

void frm_ab::btn_add_Click() {
    Control<Label>(this, "lbl_msg")->clear();
    clearEntry();
    Control<QWidget>(this, "btn_save")->show();
    Control<QWidget>(this, "btn_delete")->hide();
}

void frm_ab::btn_save_Click() {
    auto* message = Control<Label>(this, "lbl_msg");
    message->clear();

    const QString typed = Control<QLineEdit>(this, "tb_phone")->text();
    const QString carrierText = Control<QComboBox>(this, "cbl_carrier")->currentText();
    if (const QString refusal = PhoneNumberRefusal(typed); !refusal.isEmpty()) {
        message->setText(refusal);
        return;
    }
    if (carrierText.isEmpty()) {
        message->setText(QStringLiteral("Please select a carrier."));
        return;
    }

    platform().setWaitCursor(true);
    const QString number = UserText::TrimSpaces(typed);
    const QString carrier = UserText::AmpersandsAsEntities(carrierText);
    const QString name =
        UserText::AmpersandsAsEntities(UserText::TrimSpaces(Control<QLineEdit>(this, "tb_name")->text()));
    const QString id = Control<Label>(this, "lbl_id")->text();
    const QString userId = QString::fromStdString(global::CurrentUserId);
    if (id.isEmpty()) {
        SubmitAddressBookUpdate(QStringLiteral("add"), userId, QStringLiteral("0"), name, number, carrier);
    } else {
        SubmitAddressBookUpdate(QStringLiteral("update"), userId, id, name, number, carrier);
    }
    platform().setWaitCursor(false);

    if (updateSucceeded()) {
        reloadAfterChange();
        if (id.isEmpty()) {
            // Cleared even when the reload failed: the entry exists now, and a second Save of the
            // same fields would add it twice.
            clearEntry();
        }
    }
}

void frm_ab::btn_delete_Click() {
    Control<Label>(this, "lbl_msg")->clear();
    platform().setWaitCursor(true);
    const QString id = Control<Label>(this, "lbl_id")->text();
    if (!id.isEmpty()) {
        SubmitAddressBookUpdate(QStringLiteral("delete"), QString::fromStdString(global::CurrentUserId), id, QString(),
                                QString(), QString());
    }
    platform().setWaitCursor(false);

    if (updateSucceeded()) {
        reloadAfterChange();
        // Cleared even when the reload failed, so that the deleted id is not sent a second time.
        clearEntry();
    }
}

void frm_ab::SubmitAddressBookUpdate(const QString& action, const QString& userId, const QString& friendId,
                                     const QString& name, const QString& number, const QString& carrier) {
    auto* message = Control<Label>(this, "lbl_msg");
    try {
        const std::string outcome =
            AddressBookUpdateExchange(action.toStdString(), userId.toStdString(), friendId.toStdString(),
                                      name.toStdString(), number.toStdString(), carrier.toStdString());
        message->setText(QString::fromStdString(outcome));
    } catch (const std::exception&) {
        message->setText(UserText::SystemError);
    }
}

bool frm_ab::updateSucceeded() const { return Control<Label>(this, "lbl_msg")->text() == UpdateSuccessful; }

void frm_ab::reloadAfterChange() {
    try {
        global::LoadAddressBook(global::CurrentUserId);
        RefreshFriendList();
        // The main window may have been closed while this one stayed open; then it has no list.
        if (frm_quorvale* main = frm_quorvale::instance()) {
            main->popAddresses();
        }
    } catch (const std::exception& error) {
        // The change itself was made, so lbl_msg keeps saying so; the lists stay as they were.
        platform().messageBox(QString::fromUtf8(error.what()));
    }
}

void frm_ab::clearEntry() {
    Control<Label>(this, "lbl_id")->clear();
    Control<QLineEdit>(this, "tb_name")->clear();
    Control<QLineEdit>(this, "tb_phone")->clear();
}
