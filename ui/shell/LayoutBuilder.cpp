#include "ui/shell/Controls.h"
#include "ui/shell/Layout.h"
#include "ui/shell/TextRowDelegate.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QCursor>
#include <QLineEdit>
#include <QListView>
#include <QMap>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>

#include <algorithm>
#include <cmath>

// The pictures live in a static library, whose resources must be registered by hand.
static void registerPictures() { Q_INIT_RESOURCE(pictures); }

namespace {

const QColor kControlGrey(0xE4, 0xE4, 0xE4);
const char* const kTabPlace = "tabPlace"; // a control's place in its window's keyboard order

QColor colourOr(const std::string& text, const QColor& fallback) {
    return text.empty() ? fallback : QColor(QString::fromStdString(text));
}

void setColours(QWidget* widget, const QColor& background, const QColor& text) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, background);
    palette.setColor(QPalette::WindowText, text);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

const QCursor& handCursor() {
    static const QCursor cursor(QPixmap(QStringLiteral(":/pictures/hand_cursor.png")), 13, 5);
    return cursor;
}

QWidget* createControl(const ControlEntry& entry, QWidget* container) {
    const QString caption = QString::fromStdString(entry.caption);
    switch (entry.kind) {
    case ControlKind::PictureBox:
    case ControlKind::PictureButton: {
        auto* box = entry.kind == ControlKind::PictureButton ? new PictureButton(container) : new PictureBox(container);
        box->loadPicture(QStringLiteral(":/pictures/") + QString::fromStdString(entry.picture));
        setColours(box, colourOr(entry.background, kControlGrey), colourOr(entry.foreground, Qt::black));
        return box;
    }
    case ControlKind::Panel: {
        auto* panel = new Panel(container);
        setColours(panel, kControlGrey, Qt::black);
        return panel;
    }
    case ControlKind::Label:
    case ControlKind::LinkLabel:
    case ControlKind::MessageLabel: {
        auto* label = entry.kind == ControlKind::LinkLabel ? new LinkLabel(container) : new Label(container);
        label->setText(caption);
        label->setTextFormat(Qt::PlainText);
        QColor text = Qt::black;
        if (entry.kind == ControlKind::LinkLabel) {
            text = QColor(0x00, 0x00, 0xFF);
            label->setCursor(handCursor());
        } else if (entry.kind == ControlKind::MessageLabel) {
            text = QColor(0xFF, 0x00, 0x00);
        }
        setColours(label, colourOr(entry.background, kControlGrey), colourOr(entry.foreground, text));
        return label;
    }
    case ControlKind::TextBox: {
        auto* box = new QLineEdit(container);
        box->setText(caption);
        if (entry.maxLength > 0) {
            LimitTyping(box, entry.maxLength);
        }
        QString style = QStringLiteral("QLineEdit { border: 1px solid #7A7A7A; padding: 0 1px; }");
        if ((entry.style & Disabled) != 0) {
            // Not editable, but still read: dark grey on white, not the style's faint disabled grey.
            style += QStringLiteral(" QLineEdit:disabled { color: #333333; background-color: #FFFFFF; }");
        }
        if ((entry.style & PasswordChar) != 0) {
            box->setEchoMode(QLineEdit::Password);
            style += QStringLiteral(" QLineEdit { lineedit-password-character: 42; }");
        }
        box->setStyleSheet(style);
        return box;
    }
    case ControlKind::MultiLineTextBox: {
        auto* box = new MultiLineTextBox(container);
        box->setMaxLength(entry.maxLength);
        box->setStyleSheet(QStringLiteral("QPlainTextEdit { border: 1px solid #7A7A7A; }"));
        return box;
    }
    case ControlKind::DropDownList: {
        auto* list = new QComboBox(container);
        list->setEditable(false);
        if ((entry.style & Flat) != 0) {
            // One thin line around a plain face, like the flat text boxes beside it.
            list->setStyleSheet(QStringLiteral("QComboBox { border: 1px solid #7A7A7A; background-color: #FFFFFF;"
                                               " padding: 0 2px; }"));
        }
        return list;
    }
    case ControlKind::ListBox: {
        // Its window gives it a model of its rows.
        auto* list = new QListView(container);
        list->setItemDelegate(new TextRowDelegate(list));
        return list;
    }
    case ControlKind::OptionButton: {
        auto* option = new QRadioButton(caption, container);
        option->setChecked((entry.style & Selected) != 0);
        setColours(option, kControlGrey, Qt::black);
        // A button's background is the palette's Button colour, which is paler than the panel's.
        option->setBackgroundRole(QPalette::Window);
        return option;
    }
    case ControlKind::Button: {
        auto* button = new QPushButton(caption, container);
        const QColor face = colourOr(entry.background, QColor(0xF0, 0xF0, 0xF0));
        if ((entry.style & Flat) != 0) {
            button->setStyleSheet(QStringLiteral("QPushButton { background-color: %1; border: 1px solid #5A5A5A; }"
                                                 " QPushButton:pressed { background-color: %2; }"
                                                 " QPushButton:focus { border: 1px solid #000000; }")
                                      .arg(face.name(), face.darker(125).name()));
        } else if (!entry.background.empty()) {
            // The style would shade a palette colour into a gradient; the face must be the colour itself.
            button->setStyleSheet(QStringLiteral("QPushButton { background-color: %1; border: 2px outset %2; }"
                                                 " QPushButton:pressed { border-style: inset; }")
                                      .arg(face.name(), kControlGrey.name()));
        } else {
            QPalette palette = button->palette();
            palette.setColor(QPalette::Button, face);
            button->setPalette(palette);
        }
        if ((entry.style & DefaultButton) != 0) {
            // Enter anywhere in the button's container clicks it.
            for (const auto key : {Qt::Key_Return, Qt::Key_Enter}) {
                auto* shortcut = new QShortcut(QKeySequence(key), container);
                shortcut->setContext(Qt::WidgetWithChildrenShortcut);
                QObject::connect(shortcut, &QShortcut::activated, button, &QPushButton::click);
            }
        }
        return button;
    }
    }
    return nullptr;
}

// Picture buttons take the focus by Tab only, in their places; the rest of the controls that take
// it also take it by a click. Of a group of option buttons only the selected one is a Tab stop
// (keepTabStopOnSelectedOption).
Qt::FocusPolicy focusPolicyOf(const ControlEntry& entry) {
    switch (entry.kind) {
    case ControlKind::PictureButton:
        return Qt::TabFocus;
    case ControlKind::PictureBox:
    case ControlKind::Panel:
    case ControlKind::Label:
    case ControlKind::LinkLabel:
    case ControlKind::MessageLabel:
        return Qt::NoFocus;
    case ControlKind::OptionButton:
        return (entry.style & Selected) != 0 ? Qt::StrongFocus : Qt::ClickFocus;
    default:
        return Qt::StrongFocus;
    }
}

// Tab into a group of option buttons stops on the one that is selected, and the arrow keys move
// the selection within the group. Qt would make the last one that had the focus the group's stop
// instead, whichever is selected.
void keepTabStopOnSelectedOption(QRadioButton* option) {
    QObject::connect(option, &QRadioButton::toggled, option, [option](bool selected) {
        if (!selected) {
            return;
        }
        for (QRadioButton* sibling : option->parentWidget()->findChildren<QRadioButton*>(Qt::FindDirectChildrenOnly)) {
            sibling->setFocusPolicy(sibling == option ? Qt::StrongFocus : Qt::ClickFocus);
        }
    });
}

bool isLabelKind(ControlKind kind) {
    return kind == ControlKind::Label || kind == ControlKind::LinkLabel || kind == ControlKind::MessageLabel;
}

// The caption of the label that names `control`: the nearest one on its row to its left, else the
// nearest one straight above it, among the labels of its container that start shown or hidden
// with it. A trailing colon is not part of the name.
QString captionBeside(const WindowLayout& layout, const ControlEntry& control) {
    const ControlEntry* beside = nullptr;
    const ControlEntry* above = nullptr;
    for (const ControlEntry& label : layout.controls) {
        if (!isLabelKind(label.kind) || label.caption.empty() || label.container != control.container ||
            (label.style & Hidden) != (control.style & Hidden)) {
            continue;
        }
        if (label.top == control.top && label.left < control.left && (beside == nullptr || label.left > beside->left)) {
            beside = &label;
        }
        if (label.left == control.left && label.top < control.top && (above == nullptr || label.top > above->top)) {
            above = &label;
        }
    }
    const ControlEntry* naming = beside != nullptr ? beside : above;
    if (naming == nullptr) {
        return {};
    }
    QString caption = QString::fromStdString(naming->caption);
    if (caption.endsWith(QLatin1Char(':'))) {
        caption.chop(1);
    }
    return caption;
}

// Labels, buttons and option buttons are named by their own captions; the rest by the layout.
bool isNamedByLayout(ControlKind kind) {
    switch (kind) {
    case ControlKind::PictureButton:
    case ControlKind::TextBox:
    case ControlKind::MultiLineTextBox:
    case ControlKind::DropDownList:
    case ControlKind::ListBox:
        return true;
    default:
        return false;
    }
}

bool isDragSurfaceKind(ControlKind kind) { return kind == ControlKind::PictureBox || kind == ControlKind::Panel; }

void buildContainer(const WindowLayout& layout, const std::string& containerName, QWidget* container,
                    QList<QPair<int, QWidget*>>& focusable) {
    // Listed top-most first; Qt stacks later siblings on top, so create from the bottom up.
    std::vector<std::pair<const ControlEntry*, QWidget*>> created;
    for (auto entry = layout.controls.rbegin(); entry != layout.controls.rend(); ++entry) {
        if (entry->container != containerName) {
            continue;
        }
        QWidget* widget = createControl(*entry, container);
        widget->setObjectName(QString::fromStdString(entry->name));
        widget->setGeometry(TwipsToPixels(entry->left), TwipsToPixels(entry->top), TwipsToPixels(entry->width),
                            TwipsToPixels(entry->height));
        QFont font = LayoutFont();
        font.setBold((entry->style & Bold) != 0);
        font.setUnderline((entry->style & Underline) != 0);
        widget->setFont(font);
        if ((entry->style & Disabled) != 0) {
            widget->setEnabled(false);
        }
        if ((entry->style & Hidden) != 0) {
            widget->setHidden(true);
        }
        // A press on a control stays with it: only the drag surfaces pass presses on to move a window.
        if (!isDragSurfaceKind(entry->kind)) {
            widget->setAttribute(Qt::WA_NoMousePropagation);
        }
        widget->setFocusPolicy(focusPolicyOf(*entry));
        if (auto* option = qobject_cast<QRadioButton*>(widget)) {
            keepTabStopOnSelectedOption(option);
        }
        if (widget->focusPolicy() != Qt::NoFocus) {
            focusable.append({entry->tab, widget});
            widget->setProperty(kTabPlace, entry->tab);
        }
        if (isNamedByLayout(entry->kind)) {
            widget->setAccessibleName(entry->accessibleName.empty() ? captionBeside(layout, *entry)
                                                                    : QString::fromStdString(entry->accessibleName));
        }
        created.emplace_back(&*entry, widget);
    }
    for (const auto& [entry, widget] : created) {
        buildContainer(layout, entry->name, widget, focusable);
    }
}

} // namespace

int TwipsToPixels(int twips) { return static_cast<int>(std::lround(twips / 15.0)); }

QFont LayoutFont() {
    static const bool substituted = [] {
        // Of the faces Debian offers, Liberation Sans Narrow alone keeps every caption inside its box.
        QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                                   {QStringLiteral("Liberation Sans Narrow"), QStringLiteral("Arial Narrow")});
        return true;
    }();
    Q_UNUSED(substituted);
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPixelSize(11); // 8.25 points at 96 dots per inch
    font.setWeight(QFont::Normal);
    return font;
}

void BuildLayout(QWidget* window, const WindowLayout& layout) {
    static const bool registered = (registerPictures(), true);
    Q_UNUSED(registered);
    InstallAccessibleControls();
    window->setObjectName(QString::fromStdString(layout.name));
    window->setWindowTitle(QString::fromStdString(layout.caption));
    window->setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    window->setFixedSize(TwipsToPixels(layout.width), TwipsToPixels(layout.height));
    window->setFont(LayoutFont());
    if (!layout.background.empty()) {
        setColours(window, QColor(QString::fromStdString(layout.background)), Qt::white);
    }

    QList<QPair<int, QWidget*>> focusable;
    buildContainer(layout, std::string(), window, focusable);
    std::stable_sort(focusable.begin(), focusable.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (qsizetype i = 1; i < focusable.size(); ++i) {
        QWidget::setTabOrder(focusable[i - 1].second, focusable[i].second);
    }
}

void FocusFirstControl(QWidget* window) {
    // The focus chain is a ring whose start is not the first place of the keyboard order. Picture
    // buttons are left out: one that had the focus without a Tab would close or minimise a window
    // at the next Space or Enter.
    QWidget* first = nullptr;
    for (QWidget* candidate = window->nextInFocusChain(); candidate != nullptr && candidate != window;
         candidate = candidate->nextInFocusChain()) {
        if (candidate->property(kTabPlace).isValid() && candidate->focusPolicy() & Qt::TabFocus &&
            qobject_cast<PictureButton*>(candidate) == nullptr && candidate->isVisibleTo(window) &&
            candidate->isEnabled() &&
            (first == nullptr || candidate->property(kTabPlace).toInt() < first->property(kTabPlace).toInt())) {
            first = candidate;
        }
    }
    if (first != nullptr) {
        first->setFocus(Qt::TabFocusReason);
    } else {
        // Keys then go to the window itself, which presses nothing.
        window->setFocus(Qt::OtherFocusReason);
    }
}

bool FocusFirstControlIfFocusLost(QWidget* window) {
    const QWidget* focused = window->focusWidget();
    if (focused == nullptr || focused == window || (focused->isVisible() && focused->isEnabled())) {
        return false; // a Tab or Shift+Tab: the control that had the focus took the key
    }
    FocusFirstControl(window);
    return true;
}
