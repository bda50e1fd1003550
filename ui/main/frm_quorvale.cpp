#include "ui/main/frm_quorvale.h"

#include "VantroConfig.h"

namespace {
frm_quorvale* theInstance = nullptr;
}

frm_quorvale::frm_quorvale() {
    theInstance = this;
    setObjectName(QStringLiteral("frm_quorvale"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowFlag(Qt::FramelessWindowHint);
    setWindowTitle(QString::fromUtf8(config::ApplicationTitle));
    setFixedSize(280, 354);
    Form_Load();
}

frm_quorvale::~frm_quorvale() {
    if (theInstance == this) {
        theInstance = nullptr;
    }
}

frm_quorvale* frm_quorvale::instance() { return theInstance; }

void frm_quorvale::Form_Load() {}
