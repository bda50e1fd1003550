#pragma once

#include <QString>
#include <QWidget>

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

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    void Form_Load();

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
};
