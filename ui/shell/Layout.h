#pragma once

#include <QString>
#include <QWidget>

#include <stdexcept>
#include <string>
#include <vector>

// Window layouts as data: every control of a window with its kind, container, caption, place and
// size in twips (15 to a pixel), keyboard order and look. BuildLayout turns a layout into widgets
// named after their controls; the windows find their controls by those names.

enum class ControlKind {
    PictureBox,    // a background picture: a drag surface
    PictureButton, // a small picture that reacts to a click
    Panel,
    Label,
    LinkLabel,    // blue, hand pointer, opens a web page
    MessageLabel, // red text written by the logic
    TextBox,
    MultiLineTextBox,
    DropDownList, // pick only, no typing
    ListBox,
    OptionButton,
    Button,
};

// Flags of a control's look and starting state.
enum ControlStyle : unsigned {
    Plain = 0,
    Bold = 1u << 0,
    Underline = 1u << 1,
    Flat = 1u << 2, // no three-dimensional edge
    Hidden = 1u << 3,
    PasswordChar = 1u << 4,
    Disabled = 1u << 5,
    Selected = 1u << 6,      // an option button chosen at start
    DefaultButton = 1u << 7, // Enter in its container clicks it
};

struct ControlEntry {
    std::string name;
    ControlKind kind;
    std::string container;        // empty: the window itself
    std::string caption;          // caption or initial text
    int left, top, width, height; // twips
    int tab;
    unsigned style = Plain;
    int maxLength = 0;      // 0: no limit
    std::string picture;    // resource name under :/pictures/
    std::string background; // #RRGGBB, empty for the kind's usual colour
    std::string foreground;
    // What screen readers call a control that no label beside it names; empty: that label's caption.
    std::string accessibleName;
};

struct WindowLayout {
    std::string name;
    std::string caption;
    int width, height; // client area, twips
    std::string background;
    std::vector<ControlEntry> controls; // per container, the top-most first
};

const WindowLayout& MainWindowLayout();
const WindowLayout& AddressBookWindowLayout();
const WindowLayout& AboutWindowLayout();

// Twips to pixels at the layouts' 96 dots per inch, to the nearest pixel.
int TwipsToPixels(int twips);

// Sets the window's own properties (borderless, caption, client size) and creates every control.
void BuildLayout(QWidget* window, const WindowLayout& layout);

// Gives the focus to the first control in keyboard order that can take it, never to a picture
// button; without one, to the window itself.
void FocusFirstControl(QWidget* window);

// For a window's focusNextPrevChild: Qt calls it for Tab and Shift+Tab, and also when the control
// with the focus has been hidden or disabled, to hand the focus to the next Tab stop, which may be
// a picture button. In that second case the focus goes to the first control instead (a panel
// hidden for another leaves it on the first control of the one shown) and this returns true.
bool FocusFirstControlIfFocusLost(QWidget* window);

// The layouts' font: "MS Sans Serif" 8.25 points (11 pixels), with a stand-in where it is missing.
QFont LayoutFont();

// A window's control by name; a missing one is a programming error.
template <typename T> T* Control(const QWidget* window, const char* name) {
    T* control = window->findChild<T*>(QString::fromLatin1(name));
    if (control == nullptr) {
        throw std::logic_error(std::string("no control ") + name + " in " + window->objectName().toStdString());
    }
    return control;
}
