#pragma once

#include <QString>
#include <QWidget>

class FriendListModel;

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

protected:
    bool focusNextPrevChild(bool next) override;

private:
    void Form_Load();
    void pic_background_MouseDown();
    void pic_close_Click();

    void lb_ab_Click();
    void btn_add_Click();
    void btn_save_Click();
    void btn_delete_Click();

    // Sends one change to the service and leaves the service's outcome text in lbl_msg; never
    // throws. Name and carrier arrive with every "&" already written as "&amp;".
    void SubmitAddressBookUpdate(const QString& action, const QString& userId, const QString& friendId,
                                 const QString& name, const QString& number, const QString& carrier);

    // Whether the last SubmitAddressBookUpdate made its change.
    bool updateSucceeded() const;

    // Rebuilds the address book after a change the service has made, and refills both friend lists.
    // A failure is shown in a message box and leaves the window as it is.
    void reloadAfterChange();

    // Empties the id and the two text fields, leaving no entry loaded.
    void clearEntry();

    FriendListModel* m_friends; // the rows of lb_ab
};
