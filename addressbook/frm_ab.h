#pragma once

#include <QWidget>

#include <string>

// The address book window: browse, add, change and delete the user's friends.
class frm_ab : public QWidget {
    Q_OBJECT

public:
    frm_ab();
    ~frm_ab() override;

    // The one instance while it exists, else nullptr.
    static frm_ab* instance();

    void RefreshFriendList();
    void FillCarrierList();

private:
    void Form_Load();
    void pic_background_MouseDown();
    void pic_close_Click();
};
