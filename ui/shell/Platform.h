#pragma once

#include <QString>

class QWidget;

// Every effect of the program that leaves its own windows goes through here, so that tests can
// put a recorder in its place and run without a display, a browser or a modal dialog.
class Platform {
public:
    virtual ~Platform() = default;

    // A modal message box: OK only, no icon, titled "Vantro", the text shown as plain text, never as
    // markup. Returns when the user has closed it.
    virtual void messageBox(const QString& text) = 0;

    // The application-wide mouse pointer: the hourglass while `wait`, else the default pointer.
    // A setting, not a stack: one call to the default undoes any number of waits.
    virtual void setWaitCursor(bool wait) = 0;

    // Hands an address to the desktop, which opens it with its handler for the address's scheme.
    // False when the desktop has no way to open it (no browser, no xdg-open).
    virtual bool openUrl(const QString& url) = 0;

    // Lets the window system move `window` with the pointer, as a press on a title bar would.
    virtual void startWindowMove(QWidget* window) = 0;

    // The implementation in force: the real one unless a test has installed its own.
    static Platform& current();

    // Installs `platform` (not owned) in place of the real one; nullptr puts the real one back.
    static void install(Platform* platform);
};

// Shorthand for Platform::current().
inline Platform& platform() { return Platform::current(); }
