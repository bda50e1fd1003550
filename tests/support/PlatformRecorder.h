#pragma once

#include "ui/shell/Platform.h"

#include <QStringList>

#include <functional>

// Stands in for the platform during a test and records what the user would have seen, in order:
// "box: <text>", "cursor: wait", "cursor: default", "url: <address>", "move: <window name>".
class PlatformRecorder final : public Platform {
public:
    PlatformRecorder() { Platform::install(this); }
    ~PlatformRecorder() override { Platform::install(nullptr); }
    PlatformRecorder(const PlatformRecorder&) = delete;
    PlatformRecorder& operator=(const PlatformRecorder&) = delete;

    void messageBox(const QString& text) override {
        messages << text;
        events << QStringLiteral("box: ") + text;
        if (onMessageBox) {
            onMessageBox(text);
        }
    }
    void setWaitCursor(bool wait) override {
        waiting = wait;
        events << (wait ? QStringLiteral("cursor: wait") : QStringLiteral("cursor: default"));
    }
    bool openUrl(const QString& url) override {
        urls << url;
        events << QStringLiteral("url: ") + url;
        return desktopOpensPages;
    }
    void startWindowMove(QWidget* window) override;

    QStringList events;
    QStringList messages;
    QStringList urls;
    QStringList moves; // object names of the windows asked to move
    bool waiting = false;
    bool desktopOpensPages = true; // false: as on a desktop without a browser or xdg-open
    // Runs while the message box would be open, to look at the windows at that moment.
    std::function<void(const QString&)> onMessageBox;
};
