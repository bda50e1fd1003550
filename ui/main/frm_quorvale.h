#pragma once

#include <QString>
#include <QWidget>

class FriendListModel;

#include <cstdint>
#include <string>

// The main window: login, compose and thank-you panels on a background cut to its outline.
class frm_quorvale : public QWidget {
    Q_OBJECT

public:
    frm_quorvale();
    ~frm_quorvale() override;

    // The one instance while it exists, else nullptr.
    static frm_quorvale* instance();

    // Refills the friend list of the compose panel from the address book.
    void popAddresses();

    // The address the advertisement link opens; empty when there is none.
    const QString& adUrl() const { return AdUrl; }

    // Sends one validated message and shows the service's answer: the thank-you panel when it
    // was sent, else the answer in the compose panel's message label.
    void SendTextMessage(const std::string& userId, std::int32_t friendId, const std::string& phone,
                         const std::string& carrier, const std::string& subject, const std::string& body);

protected:
    bool focusNextPrevChild(bool next) override;
    void mousePressEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Form_Load();

    // Login panel
    void btn_login_Click();

    // Compose panel
    void option_ab_Click();
    void option_new_Click();
    void tb_subject_KeyDown();
    void tb_subject_KeyUp();
    void tb_message_KeyDown();
    void tb_message_KeyUp();
    void btn_send_Click();

    // Thank-you panel
    void btn_again_Click();
    void lbl_ty_link_Click();

    void showNumberLayout(bool numberMode);
    void recountCharactersLeft();

    // Chrome and navigation
    void Form_MouseDown();
    void frame_login_MouseDown();
    void frame_txt_MouseDown();
    void frame_ty_MouseDown();
    void picBackground_MouseDown();
    void pic_min_Click();
    void pic_close_Click();
    void pic_ab_Click();
    void pic_about_Click();

    // Web links
    void Label4_Click();
    void Label7_Click();
    void Label18_Click();
    void Label23_Click();

    QString AdUrl;
    FriendListModel* m_friends; // the rows of cbl_ab
};
