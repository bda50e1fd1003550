#include "ui/shell/frm_about.h"

#include "app/Global.h"
#include "ui/shell/Controls.h"
#include "ui/shell/Layout.h"
#include "ui/shell/Platform.h"
#include "ui/shell/WebLinks.h"

#include <QUrl>

namespace {
frm_about* theInstance = nullptr;
}

frm_about::frm_about() {
    theInstance = this;
    setAttribute(Qt::WA_DeleteOnClose);
    BuildLayout(this, AboutWindowLayout());
    connect(Control<PictureBox>(this, "Picture1"), &PictureBox::mouseDown, this, &frm_about::Picture1_MouseDown);
    connect(Control<PictureBox>(this, "pic_close"), &PictureBox::clicked, this, &frm_about::pic_close_Click);
    connect(Control<Label>(this, "Label5"), &Label::clicked, this, &frm_about::Label5_Click);
    connect(Control<Label>(this, "Label6"), &Label::clicked, this, &frm_about::Label6_Click);
    // Named by the host (and port) of the address in force, which a settings file may have changed.
    const QUrl service(QString::fromStdString(global::ServiceUrl));
    if (!service.host().isEmpty()) {
        Control<Label>(this, "Label6")
            ->setText(service.port() == -1 ? service.host() : service.host() + QLatin1Char(':') +
                                                                  QString::number(service.port()));
    }
    FocusFirstControl(this); // none but the close picture: the window keeps the focus itself
}

frm_about::~frm_about() {
    if (theInstance == this) {
        theInstance = nullptr;
    }
}

frm_about* frm_about::instance() { return theInstance; }

bool frm_about::focusNextPrevChild(bool next) {
    return FocusFirstControlIfFocusLost(this) || QWidget::focusNextPrevChild(next);
}

void frm_about::Picture1_MouseDown() { platform().startWindowMove(this); }

void frm_about::pic_close_Click() { close(); }

void frm_about::Label5_Click() { WebLinks::Open(WebLinks::MakerHomePage()); }

void frm_about::Label6_Click() { WebLinks::Open(WebLinks::ServiceHomePage()); }
