#include "ui/main/frm_quorvale.h"

#include "addressbook/AddressBookStore.h"
#include "addressbook/FriendListModel.h"
#include "app/Global.h"
#include "service/LoginExchange.h"
#include "service/MessageSendExchange.h"
#include "ui/shell/Controls.h"
#include "ui/shell/Layout.h"
#include "ui/shell/Navigation.h"
#include "ui/shell/PhoneNumberCheck.h"
#include "ui/shell/Platform.h"
#include "ui/shell/UserText.h"
#include "ui/shell/WebLinks.h"
#include "ui/shell/WindowShape.h"

#include <QComboBox>
#include <QIcon>
#include <QImageReader>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>

#include <exception>

namespace {

frm_quorvale* theInstance = nullptr;

// Every image of the icon file. It holds each size twice, in full colour first and then in 256
// colours; a window icon keeps one image per size, so the later copies go in first and the full
// colour ones, added last, are what shows.
QIcon programIcon() {
    QImageReader reader(QStringLiteral(":/pictures/vantro.ico"));
    QIcon icon;
    for (int index = reader.imageCount() - 1; index >= 0; --index) {
        if (reader.jumpToImage(index)) {
            icon.addPixmap(QPixmap::fromImage(reader.read()));
        }
    }
    return icon;
}

} // namespace

frm_quorvale::frm_quorvale() : m_friends(new FriendListModel(this)) {
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

    connect(Control<QPushButton>(this, "btn_login"), &QPushButton::clicked, this, &frm_quorvale::btn_login_Click);
    connect(Control<QRadioButton>(this, "option_ab"), &QRadioButton::clicked, this, &frm_quorvale::option_ab_Click);
    connect(Control<QRadioButton>(this, "option_new"), &QRadioButton::clicked, this, &frm_quorvale::option_new_Click);
    Control<QWidget>(this, "tb_subject")->installEventFilter(this);
    Control<QWidget>(this, "tb_message")->installEventFilter(this);
    connect(Control<QPushButton>(this, "btn_send"), &QPushButton::clicked, this, &frm_quorvale::btn_send_Click);
    connect(Control<QPushButton>(this, "btn_again"), &QPushButton::clicked, this, &frm_quorvale::btn_again_Click);
    connect(Control<Label>(this, "lbl_ty_link"), &Label::clicked, this, &frm_quorvale::lbl_ty_link_Click);

    // The drop-down's rows: the friends' names, their ids as item data, all replaced at once.
    Control<QComboBox>(this, "cbl_ab")->setModel(m_friends);

    Form_Load();
    FocusFirstControl(this);
}

frm_quorvale::~frm_quorvale() {
    if (theInstance == this) {
        theInstance = nullptr;
    }
}

frm_quorvale* frm_quorvale::instance() { return theInstance; }

bool frm_quorvale::focusNextPrevChild(bool next) {
    return FocusFirstControlIfFocusLost(this) || QWidget::focusNextPrevChild(next);
}

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
    m_friends->setFriends(global::Friends);
    Control<QComboBox>(this, "cbl_ab")->setCurrentIndex(-1);
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

// Login panel ------------------------------------------------------------------------------------

void frm_quorvale::btn_login_Click() {
    auto* message = Control<QLabel>(this, "lbl_msg_login");
    try {
        message->clear();
        platform().setWaitCursor(true);
        auto* loginBox = Control<QLineEdit>(this, "tb_login");
        auto* passwordBox = Control<QLineEdit>(this, "tb_password");
        const QString login = UserText::TrimSpaces(loginBox->text());
        const QString password = UserText::TrimSpaces(passwordBox->text());

        QLineEdit* missing = login.isEmpty() ? loginBox : password.isEmpty() ? passwordBox : nullptr;
        if (missing != nullptr) {
            message->setText(QStringLiteral("Please enter a login/mobile phone number and a password."));
            missing->setSelection(0, static_cast<int>(missing->text().size()));
            missing->setFocus();
        } else {
            const LoginResult result = LoginExchange(login.toStdString(), password.toStdString());
            switch (result.outcome) {
            case LoginOutcome::Accepted:
                global::LoadAddressBook(global::CurrentUserId);
                popAddresses();
                Control<QWidget>(this, "frame_login")->hide();
                Control<QWidget>(this, "frame_txt")->show();
                Control<QWidget>(this, "pic_ab")->show();
                Control<QWidget>(this, "tb_phone")->setFocus();
                break;
            case LoginOutcome::AcceptedWithoutId:
                message->setText(UserText::SystemError);
                break;
            case LoginOutcome::Refused:
                message->setText(QString::fromStdString(result.message));
                break;
            case LoginOutcome::Unrecognised:
                break;
            }
        }
        platform().setWaitCursor(false);
    } catch (const std::exception& error) {
        platform().messageBox(QString::fromUtf8(error.what()));
        message->setText(UserText::SystemError);
        platform().setWaitCursor(false);
    }
}

// Compose panel ----------------------------------------------------------------------------------

void frm_quorvale::showNumberLayout(bool numberMode) {
    Control<QWidget>(this, "lbl_ab")->setVisible(!numberMode);
    Control<QWidget>(this, "cbl_ab")->setVisible(!numberMode);
    Control<QWidget>(this, "lbl_phone")->setVisible(numberMode);
    Control<QWidget>(this, "lbl_carrier")->setVisible(numberMode);
    Control<QWidget>(this, "tb_phone")->setVisible(numberMode);
    Control<QWidget>(this, "cbl_carrier")->setVisible(numberMode);
}

void frm_quorvale::option_ab_Click() { showNumberLayout(!Control<QRadioButton>(this, "option_ab")->isChecked()); }

void frm_quorvale::option_new_Click() { showNumberLayout(Control<QRadioButton>(this, "option_new")->isChecked()); }

bool frm_quorvale::eventFilter(QObject* watched, QEvent* event) {
    const bool down = event->type() == QEvent::KeyPress;
    const bool up = event->type() == QEvent::KeyRelease;
    if (down || up) {
        if (watched->objectName() == QLatin1String("tb_subject")) {
            down ? tb_subject_KeyDown() : tb_subject_KeyUp();
        } else if (watched->objectName() == QLatin1String("tb_message")) {
            down ? tb_message_KeyDown() : tb_message_KeyUp();
        }
    }
    return QWidget::eventFilter(watched, event); // the key itself is never changed or swallowed
}

void frm_quorvale::tb_subject_KeyDown() { recountCharactersLeft(); }
void frm_quorvale::tb_subject_KeyUp() { recountCharactersLeft(); }
void frm_quorvale::tb_message_KeyDown() { recountCharactersLeft(); }
void frm_quorvale::tb_message_KeyUp() { recountCharactersLeft(); }

void frm_quorvale::recountCharactersLeft() {
    // Counted as the service receives them: UTF-16 code units, a line break as CR LF.
    const qsizetype used = Control<MultiLineTextBox>(this, "tb_message")->text().size() +
                           Control<QLineEdit>(this, "tb_subject")->text().size();
    Control<QLineEdit>(this, "tb_chars")->setText(QString::number(115 - used));
}

void frm_quorvale::btn_send_Click() {
    auto* message = Control<QLabel>(this, "lbl_msg");
    const auto refuse = [message](const QString& text) {
        message->setText(text);
        platform().setWaitCursor(false);
    };
    message->clear();
    platform().setWaitCursor(true);

    const QString body = UserText::TrimSpaces(Control<MultiLineTextBox>(this, "tb_message")->text());
    std::int32_t friendId = 0;
    QString phone;
    QString carrier;
    if (Control<QRadioButton>(this, "option_ab")->isChecked()) {
        auto* friends = Control<QComboBox>(this, "cbl_ab");
        if (friends->currentIndex() < 0) {
            return refuse(QStringLiteral("Please choose someone from your address book."));
        }
        friendId = friends->currentData().toInt();
        if (body.isEmpty()) {
            return refuse(QStringLiteral("Please enter a message."));
        }
    } else {
        const QString typed = Control<QLineEdit>(this, "tb_phone")->text();
        const QString carrierText = Control<QComboBox>(this, "cbl_carrier")->currentText();
        if (const QString refusal = PhoneNumberRefusal(typed); !refusal.isEmpty()) {
            return refuse(refusal);
        }
        if (carrierText.isEmpty()) {
            return refuse(QStringLiteral("Please select a carrier."));
        }
        if (body.isEmpty()) {
            return refuse(QStringLiteral("Please enter a message."));
        }
        phone = UserText::TrimSpaces(typed);
        carrier = UserText::AmpersandsAsEntities(carrierText);
    }
    const QString subject = UserText::TrimSpaces(Control<QLineEdit>(this, "tb_subject")->text());

    SendTextMessage(global::CurrentUserId, friendId, phone.toStdString(), carrier.toStdString(), subject.toStdString(),
                    body.toStdString());
    platform().setWaitCursor(false);
}

void frm_quorvale::SendTextMessage(const std::string& userId, std::int32_t friendId, const std::string& phone,
                                   const std::string& carrier, const std::string& subject, const std::string& body) {
    auto* message = Control<QLabel>(this, "lbl_msg");
    try {
        const SendOutcome outcome = MessageSendExchange(userId, friendId, phone, carrier, subject, body);
        message->setText(QString::fromStdString(outcome.sendText));
        if (message->text().left(21) == QLatin1String("Your message was sent")) {
            Control<QComboBox>(this, "cbl_ab")->setCurrentIndex(-1);
            Control<QComboBox>(this, "cbl_carrier")->setCurrentIndex(-1);
            Control<MultiLineTextBox>(this, "tb_message")->clear();
            Control<QLineEdit>(this, "tb_phone")->clear();
            Control<QLineEdit>(this, "tb_subject")->clear();

            Control<QLabel>(this, "lbl_ty")->setText(message->text());
            Control<QLabel>(this, "lbl_ty_ad")->setText(QString::fromStdString(outcome.adText));
            auto* link = Control<QLabel>(this, "lbl_ty_link");
            link->setText(QString::fromStdString(outcome.adLink));
            AdUrl = QString::fromStdString(outcome.adUrl);
            link->setVisible(!AdUrl.isEmpty());
            message->clear();
            Control<QWidget>(this, "frame_ty")->show();
            Control<QWidget>(this, "frame_txt")->hide();
        }
    } catch (const std::exception&) {
        message->setText(UserText::SystemError);
    }
    platform().setWaitCursor(false);
}

// Thank-you panel --------------------------------------------------------------------------------

void frm_quorvale::btn_again_Click() {
    AdUrl.clear();
    Control<QLabel>(this, "lbl_ty")->clear();
    Control<QLabel>(this, "lbl_ty_ad")->clear();
    Control<QLabel>(this, "lbl_ty_link")->clear();
    Control<QWidget>(this, "lbl_ty_link")->hide();
    Control<QWidget>(this, "frame_txt")->show();
    Control<QWidget>(this, "frame_ty")->hide();
}

void frm_quorvale::lbl_ty_link_Click() {
    if (!AdUrl.isEmpty()) {
        WebLinks::Open(AdUrl);
    }
}
