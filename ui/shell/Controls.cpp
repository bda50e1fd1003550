#include "ui/shell/Controls.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QTextCursor>

#include <algorithm>
#include <limits>
#include <utility>

PictureBox::PictureBox(QWidget* parent) : QWidget(parent) { setAutoFillBackground(true); }

void PictureBox::setPicture(const QPixmap& picture) {
    m_picture = picture;
    update();
}

void PictureBox::setDoubleSizePicture(const QPixmap& picture) {
    m_doubleSize = picture;
    m_doubleSize.setDevicePixelRatio(2.0);
    update();
}

void PictureBox::loadPicture(const QString& path) {
    setPicture(QPixmap(path));
    const QFileInfo file(path);
    const QString twice =
        file.path() + QLatin1Char('/') + file.completeBaseName() + QStringLiteral("@2x.") + file.suffix();
    setDoubleSizePicture(QFileInfo::exists(twice) ? QPixmap(twice) : QPixmap());
}

QImage PictureBox::drawingSurface() const {
    QImage surface(size(), QImage::Format_RGB32);
    surface.fill(palette().color(backgroundRole()));
    QPainter painter(&surface);
    painter.drawPixmap(0, 0, m_picture);
    return surface;
}

void PictureBox::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const bool sharper = devicePixelRatioF() > 1.0 && !m_doubleSize.isNull();
    painter.drawPixmap(0, 0, sharper ? m_doubleSize : m_picture);
}

void PictureBox::mousePressEvent(QMouseEvent* event) {
    m_pressed = event->button() == Qt::LeftButton;
    event->accept();
    Q_EMIT mouseDown(event->button(), event->modifiers());
}

void PictureBox::mouseReleaseEvent(QMouseEvent* event) {
    const bool wasPressed = std::exchange(m_pressed, false);
    event->accept();
    if (wasPressed && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
        Q_EMIT clicked();
    }
}

PictureButton::PictureButton(QWidget* parent) : PictureBox(parent) { setFocusPolicy(Qt::TabFocus); }

void PictureButton::paintEvent(QPaintEvent* event) {
    PictureBox::paintEvent(event);
    if (!hasFocus() || !m_keyboardFocus) {
        return;
    }
    // Black and white dots, so the rectangle shows over the picture's own black outline too.
    QPainter painter(this);
    painter.setPen(QPen(Qt::black, 0, Qt::DotLine));
    painter.setBackgroundMode(Qt::OpaqueMode);
    painter.setBackground(Qt::white);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

void PictureButton::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Space:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        event->accept();
        if (!event->isAutoRepeat()) {
            Q_EMIT clicked();
        }
        return;
    default:
        PictureBox::keyPressEvent(event);
    }
}

void PictureButton::focusInEvent(QFocusEvent* event) {
    switch (event->reason()) {
    case Qt::TabFocusReason:
    case Qt::BacktabFocusReason:
    case Qt::ShortcutFocusReason:
        m_keyboardFocus = true;
        break;
    case Qt::ActiveWindowFocusReason:
        break; // back in the window: as it was when the window was left
    default:
        m_keyboardFocus = false;
    }
    PictureBox::focusInEvent(event);
}

void PictureButton::focusOutEvent(QFocusEvent* event) {
    if (event->reason() != Qt::ActiveWindowFocusReason && event->reason() != Qt::PopupFocusReason) {
        m_keyboardFocus = false;
    }
    PictureBox::focusOutEvent(event);
}

Panel::Panel(QWidget* parent) : QWidget(parent) { setAutoFillBackground(true); }

void Panel::mousePressEvent(QMouseEvent* event) {
    event->accept();
    Q_EMIT mouseDown(event->button(), event->modifiers());
}

Label::Label(QWidget* parent) : QLabel(parent) {
    setWordWrap(true);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setAutoFillBackground(true);
}

void Label::mousePressEvent(QMouseEvent* event) {
    m_pressed = event->button() == Qt::LeftButton;
    event->accept();
}

void Label::mouseReleaseEvent(QMouseEvent* event) {
    const bool wasPressed = std::exchange(m_pressed, false);
    event->accept();
    if (wasPressed && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
        Q_EMIT clicked();
    }
}

namespace {

// What a screen reader is offered for a control the user presses: its role, the name the layout
// gave it (a link's name is its caption), and a press action that does what a click does.
template <typename Widget> class PressableAccessible : public QAccessibleWidget {
public:
    PressableAccessible(Widget* widget, QAccessible::Role role) : QAccessibleWidget(widget, role) {}

    QString text(QAccessible::Text type) const override {
        if (type == QAccessible::Name && widget()->accessibleName().isEmpty()) {
            if (const auto* label = qobject_cast<const QLabel*>(widget())) {
                return label->text();
            }
        }
        return QAccessibleWidget::text(type);
    }

    QStringList actionNames() const override { return QStringList{pressAction()} + QAccessibleWidget::actionNames(); }

    void doAction(const QString& action) override {
        if (action == pressAction()) {
            Q_EMIT static_cast<Widget*>(widget())->clicked();
            return;
        }
        QAccessibleWidget::doAction(action);
    }
};

QAccessibleInterface* accessibleControl(const QString& className, QObject* object) {
    if (className == QLatin1String("PictureButton")) {
        return new PressableAccessible<PictureButton>(static_cast<PictureButton*>(object), QAccessible::Button);
    }
    // The windows, which a screen reader names by their captions.
    if (className == QLatin1String("QWidget") && static_cast<QWidget*>(object)->isWindow()) {
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Window);
    }
    if (className == QLatin1String("LinkLabel")) {
        return new PressableAccessible<LinkLabel>(static_cast<LinkLabel*>(object), QAccessible::Link);
    }
    return nullptr;
}

} // namespace

void InstallAccessibleControls() {
    static const bool installed = (QAccessible::installFactory(accessibleControl), true);
    Q_UNUSED(installed);
}

namespace {
const char* const kTypingLimit = "typingLimit";
}

void LimitTyping(QLineEdit* box, int maxLength) {
    box->setProperty(kTypingLimit, maxLength);
    box->setMaxLength(maxLength);
    // Above the limit, the box may keep what it holds but not grow.
    QObject::connect(box, &QLineEdit::textChanged, box, [box, maxLength](const QString& text) {
        box->setMaxLength(std::max(maxLength, static_cast<int>(text.size())));
    });
}

void SetWholeText(QLineEdit* box, const QString& text) {
    box->setMaxLength(std::max(box->maxLength(), static_cast<int>(text.size())));
    box->setText(text);
}

MultiLineTextBox::MultiLineTextBox(QWidget* parent) : QPlainTextEdit(parent) {
    setTabChangesFocus(true);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
}

int MultiLineTextBox::crlfLength(const QString& text) {
    return static_cast<int>(text.size() + text.count(QLatin1Char('\n')));
}

QString MultiLineTextBox::text() const {
    QString plain = toPlainText();
    plain.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return plain;
}

void MultiLineTextBox::setText(const QString& text) {
    QString plain = text;
    plain.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    setPlainText(plain);
}

int MultiLineTextBox::roomLeft() const {
    if (m_maxLength <= 0) {
        return std::numeric_limits<int>::max();
    }
    const QTextCursor cursor = textCursor();
    return m_maxLength - crlfLength(toPlainText()) +
           crlfLength(cursor.selectedText().replace(QChar::ParagraphSeparator, QLatin1Char('\n')));
}

void MultiLineTextBox::keyPressEvent(QKeyEvent* event) {
    const bool lineBreak = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (lineBreak) {
        if (roomLeft() < 2) {
            event->accept();
            return;
        }
        // One kind of line break only: a new line, never a soft line separator.
        textCursor().insertText(QStringLiteral("\n"));
        ensureCursorVisible();
        event->accept();
        return;
    }
    const QString typed = event->text();
    const bool inserts = !typed.isEmpty() && typed.at(0).isPrint() && !(event->modifiers() & Qt::ControlModifier);
    if (inserts && crlfLength(typed) > roomLeft()) {
        event->accept();
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

void MultiLineTextBox::insertFromMimeData(const QMimeData* source) {
    QString pasted = source->text();
    pasted.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    pasted.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    // As much of the pasted text as fits, never half a line break.
    int room = roomLeft();
    qsizetype keep = 0;
    while (keep < pasted.size()) {
        const int cost = pasted.at(keep) == QLatin1Char('\n') ? 2 : 1;
        if (cost > room) {
            break;
        }
        room -= cost;
        ++keep;
    }
    textCursor().insertText(pasted.left(keep));
    ensureCursorVisible();
}
