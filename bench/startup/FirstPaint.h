#pragma once

#include <QEvent>
#include <QObject>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <utility>

// Calls `then` once `widget` has been painted for the first time: after the paint pass that
// painted it has ended, so that everything drawn with it is drawn.
class FirstPaint : public QObject {
public:
    FirstPaint(QWidget* widget, std::function<void()> then) : m_widget(widget), m_then(std::move(then)) {
        widget->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == m_widget && event->type() == QEvent::Paint && m_then) {
            QTimer::singleShot(0, this, std::exchange(m_then, nullptr));
        }
        return false;
    }

private:
    QWidget* m_widget;
    std::function<void()> m_then;
};

// Prints "stage NAME NANOSECONDS", the monotonic clock that every process of the machine shares, so
// that the one who started the process can tell how long each step took.
inline void Stage(const char* name) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::printf("stage %s %lld\n", name, static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
}

// Whether the process stays after its report, to be examined from outside until it is killed.
inline bool& holdAfterReport() {
    static bool hold = false;
    return hold;
}

// Tells the benchmark that waits on this process's output what happened, and ends at once: what
// the process would do afterwards is not measured.
inline void ReportAndEnd(const char* line) {
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    if (!holdAfterReport()) {
        std::_Exit(0);
    }
}
