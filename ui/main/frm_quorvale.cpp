#include "ui/main/frm_quorvale.h"

#include "app/Global.h"
#include "ui/shell/Controls.h"
#include "ui/shell/Layout.h"
#include "ui/shell/Navigation.h"
#include "ui/shell/Platform.h"
#include "ui/shell/WebLinks.h"
#include "ui/shell/WindowShape.h"

#include <QComboBox>
#include <QIcon>
#include <QMouseEvent>

namespace {

frm_quorvale* theInstance = nullptr;

QIcon programIcon() {
    QIcon icon;
    for (const char* file : {":/pictures/icon_16.png", ":/pictures/icon_32.png", ":/pictures/icon_48.png"}) {
        icon.addFile(QString::fromLatin1(file));
    }
    return icon;
}

} // namespace

frm_quorvale::frm_quorvale() {
    theInstance = this;
    setAttribute(Qt::WA_DeleteOnClose);
    BuildLayout(this, MainWindowLayout());
    setWindowIcon(programIcon());

    connect(Control<Panel>(this, "frame_login"), &Panel::mouseDown, this, &frm_quorvale::frame_login_MouseDown);
    connect(Control<Panel>(this, "frame_txt"), &Panel::mouseDown, this, &frm_quorvale::frame_txt_MouseDown);
    connect(Control<Panel>(this, "frame_ty"), &Panel::mouseDown, this, &frm_quorvale::frame_ty_MouseDown);
    connect(Control<PictureBox>(this, "picBackground"), &PictureBox::mouseDown, this,
            &frm_quorvale::picBackground_MouseDown);
    connect(Control<PictureBox>(this, "pic_min"), &PictureBox::clicked, this, &frm_quorvale::pic_min_Click);
    connect(Control<PictureBox>(this, "pic_close"), &PictureBox::clicked, this, &frm_quorvale::pic_close_Click);
    connect(Control<PictureBox>(this, "pic_ab"), &PictureBox::clicked, this, &frm_quorvale::pic_ab_Click);
    connect(Control<PictureBox>(this, "pic_about"), &PictureBox::clicked, this, &frm_quorvale::pic_about_Click);
    connect(Control<Label>(this, "Label4"), &Label::clicked, this, &frm_quorvale::Label4_Click);
    connect(Control<Label>(this, "Label7"), &Label::clicked, this, &frm_quorvale::Label7_Click);
    connect(Control<Label>(this, "Label18"), &Label::clicked, this, &frm_quorvale::Label18_Click);
    connect(Control<Label>(this, "Label23"), &Label::clicked, this, &frm_quorvale::Label23_Click);

    Form_Load();
    FocusFirstControl(this);
}

frm_quorvale::~frm_quorvale() {
    if (theInstance == this) {
        theInstance = nullptr;
    }
}

frm_quorvale* frm_quorvale::instance() { return theInstance; }

void frm_quorvale::Form_Load() {
    auto* background = Control<PictureBox>(this, "picBackground");
    background->move(0, 0);
    global::ApplyWindowShape(background);

    if (!global::Carriers.empty()) {
        auto* carriers = Control<QComboBox>(this, "cbl_carrier");
        carriers->clear();
        for (const std::string& carrier : global::Carriers) {
            carriers->addItem(QString::fromStdString(carrier));
        }
        carriers->setCurrentIndex(-1); // nothing chosen until the user picks one
    }
}

void frm_quorvale::popAddresses() {
    auto* friends = Control<QComboBox>(this, "cbl_ab");
    friends->clear();
    for (const ab_friend& entry : global::Friends) {
        friends->addItem(QString::fromStdString(entry.name), QVariant::fromValue<qint32>(entry.id));
    }
    friends->setCurrentIndex(-1);
}

void frm_quorvale::mousePressEvent(QMouseEvent* event) {
    event->accept();
    Form_MouseDown();
}

void frm_quorvale::Form_MouseDown() { platform().startWindowMove(this); }
void frm_quorvale::frame_login_MouseDown() { platform().startWindowMove(this); }
void frm_quorvale::frame_txt_MouseDown() { platform().startWindowMove(this); }
void frm_quorvale::frame_ty_MouseDown() { platform().startWindowMove(this); }
void frm_quorvale::picBackground_MouseDown() { platform().startWindowMove(this); }

void frm_quorvale::pic_min_Click() { showMinimized(); }
void frm_quorvale::pic_close_Click() { close(); }
void frm_quorvale::pic_ab_Click() { Navigation::ShowAddressBookWindow(); }
void frm_quorvale::pic_about_Click() { Navigation::ShowAboutWindow(); }

void frm_quorvale::Label4_Click() { WebLinks::Open(WebLinks::RegistrationPage()); }
void frm_quorvale::Label7_Click() { WebLinks::Open(WebLinks::PasswordPage()); }
void frm_quorvale::Label18_Click() { WebLinks::Open(WebLinks::UpdatesPage()); }
void frm_quorvale::Label23_Click() { WebLinks::Open(WebLinks::UpdatesPage()); }
