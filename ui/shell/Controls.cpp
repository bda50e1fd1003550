#include "ui/shell/Controls.h"

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

QImage PictureBox::drawingSurface() const {
    QImage surface(size(), QImage::Format_RGB32);
    surface.fill(palette().color(backgroundRole()));
    QPainter painter(&surface);
    painter.drawPixmap(0, 0, m_picture);
    return surface;
}

void PictureBox::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.drawPixmap(0, 0, m_picture);
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
