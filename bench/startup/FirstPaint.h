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
// The most memory this process's own address space ever held, in KiB (VmHWM). Not getrusage's
// ru_maxrss: a process started by posix_spawn inherits at exec the peak of the spawning process,
// which here holds a whole service with its 64 MiB password hashes.
inline long PeakResidentKiB() {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    long kib = 0;
    if (status != nullptr) {
        char line[256];
        while (std::fgets(line, sizeof line, status) != nullptr) {
            if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) {
                break;
            }
        }
        std::fclose(status);
    }
    return kib;
}

// Prints the report, a tab and the peak memory in KiB, on one line.
inline void ReportAndEnd(const char* line) {
    std::fputs(line, stdout);
    std::fprintf(stdout, "\t%ld\n", PeakResidentKiB());
    std::fflush(stdout);
    if (!holdAfterReport()) {
        std::_Exit(0);
    }
}
