#pragma once

#include <QWidget>

// The about window: the product, its version, contact lines and two web links.
class frm_about : public QWidget {
    Q_OBJECT

public:
    frm_about();
    ~frm_about() override;

    // The one instance while it exists, else nullptr.
    static frm_about* instance();

protected:
    bool focusNextPrevChild(bool next) override;

private:
    void Picture1_MouseDown();
    void pic_close_Click();
    void Label5_Click();
    void Label6_Click();
};
