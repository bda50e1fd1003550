#include "addressbook/frm_ab.h"

#include "app/Global.h"
#include "ui/shell/Controls.h"
#include "ui/shell/Layout.h"
#include "ui/shell/Platform.h"

#include <QComboBox>
#include <QListWidget>

namespace {
frm_ab* theInstance = nullptr;
}

frm_ab::frm_ab() {
    theInstance = this;
    setAttribute(Qt::WA_DeleteOnClose);
    BuildLayout(this, AddressBookWindowLayout());
    connect(Control<PictureBox>(this, "pic_background"), &PictureBox::mouseDown, this,
            &frm_ab::pic_background_MouseDown);
    connect(Control<PictureBox>(this, "pic_close"), &PictureBox::clicked, this, &frm_ab::pic_close_Click);
    Form_Load();
}

frm_ab::~frm_ab() {
    if (theInstance == this) {
        theInstance = nullptr;
    }
}

frm_ab* frm_ab::instance() { return theInstance; }

void frm_ab::Form_Load() {
    RefreshFriendList();
    FillCarrierList();
}

void frm_ab::RefreshFriendList() {
    auto* list = Control<QListWidget>(this, "lb_ab");
    list->clear();
    for (const ab_friend& entry : global::Friends) {
        auto* row = new QListWidgetItem(QString::fromStdString(entry.name), list);
        row->setData(Qt::UserRole, entry.id);
    }
}

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
