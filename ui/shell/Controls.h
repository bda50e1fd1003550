#pragma once

#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>

class QLineEdit;
#include <QWidget>

// The kinds of control the layouts are made of, where Qt's own widgets do not behave as the
// program needs. Presses on anything but a drag surface stay where they land, so that a label or
// a text box never moves its window.

// A picture box: shows its picture at the top-left corner at the picture's own size, over its
// background colour. As a background it is a drag surface; as a picture button it is clicked.
class PictureBox : public QWidget {
    Q_OBJECT

public:
    explicit PictureBox(QWidget* parent = nullptr);

    void setPicture(const QPixmap& picture);
    const QPixmap& picture() const { return m_picture; }

    // The same picture drawn at twice the size, shown instead on screens scaled by more than 1.
    // What the box is (its drawing surface, the window's outline) still comes from picture().
    void setDoubleSizePicture(const QPixmap& picture);
    const QPixmap& doubleSizePicture() const { return m_doubleSize; }

    // Both pictures from a resource: `path` and, where it exists, its "@2x" sibling.
    void loadPicture(const QString& path);

    // What the box shows, as the window system would read it: background and picture, w x h.
    QImage drawingSurface() const;

Q_SIGNALS:
    void mouseDown(Qt::MouseButton button, Qt::KeyboardModifiers modifiers);
    void clicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QPixmap m_picture;
    QPixmap m_doubleSize;
    bool m_pressed = false;
};

// A picture button: a picture box that is clicked. It takes the focus by Tab only, so a mouse user
// sees nothing new, draws the focus as a dotted rectangle, and Space or Enter click it.
class PictureButton : public PictureBox {
    Q_OBJECT

public:
    explicit PictureButton(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    // The rectangle shows once the keyboard has brought the focus here, not when a window's
    // activation alone does: a window whose only such control is its close picture opens as before.
    bool m_keyboardFocus = false;
};

// A panel: groups its children, shows or hides them together. Its own surface between the
// children is a drag surface where the window wires it so.
class Panel : public QWidget {
    Q_OBJECT

public:
    explicit Panel(QWidget* parent = nullptr);

Q_SIGNALS:
    void mouseDown(Qt::MouseButton button, Qt::KeyboardModifiers modifiers);

protected:
    void mousePressEvent(QMouseEvent* event) override;
};

// A label: word-wrapped text in a fixed box. A link label reports clicks.
class Label : public QLabel {
    Q_OBJECT

public:
    explicit Label(QWidget* parent = nullptr);

Q_SIGNALS:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    bool m_pressed = false;
};

// A label that opens a web page when clicked; screen readers see a link.
class LinkLabel : public Label {
    Q_OBJECT

public:
    using Label::Label;
};

// Makes screen readers see picture buttons as push buttons and link labels as links, both
// pressable. Safe to call more than once.
void InstallAccessibleControls();

// One-line text boxes limit what the user types or pastes, never what the program shows: an entry
// that comes from the service longer than the box allows is shown and sent whole, and can still
// be shortened.
void LimitTyping(QLineEdit* box, int maxLength);

// Puts `text` into the box whole, even past its typing limit.
void SetWholeText(QLineEdit* box, const QString& text);

// A multi-line text box whose length counts each line break as two characters (carriage return
// and line feed), as the service receives it, and that refuses what would go past its maximum.
class MultiLineTextBox : public QPlainTextEdit {
    Q_OBJECT

public:
    explicit MultiLineTextBox(QWidget* parent = nullptr);

    void setMaxLength(int length) { m_maxLength = length; }
    int maxLength() const { return m_maxLength; }

    // The text with CR LF line breaks.
    QString text() const;
    void setText(const QString& text);

    // The length of `text` with each line break counted as two characters.
    static int crlfLength(const QString& text);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void insertFromMimeData(const QMimeData* source) override;

private:
    int roomLeft() const;

    int m_maxLength = 0; // 0: no limit
};
