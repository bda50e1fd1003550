#pragma once

#include <QWidget>

// The main window: login, compose and thank-you panels on a background cut to its outline.
class frm_quorvale : public QWidget {
    Q_OBJECT

public:
    frm_quorvale();
    ~frm_quorvale() override;

    // The one instance while it exists, else nullptr.
    static frm_quorvale* instance();

private:
    void Form_Load();
};
