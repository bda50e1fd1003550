// The anchor of the start-up and memory measures: the smallest Qt program that shows one
// frameless window of the main window's size. It reports its first paint and ends, or with the
// argument "hold" stays until it is killed. With "stages" it also prints when it reached main,
// made its application object and showed its window.

#include "FirstPaint.h"

#include <QApplication>
#include <QWidget>

#include <algorithm>
#include <cstring>

int main(int argc, char* argv[]) {
    const bool stages = argc > 1 && std::strcmp(argv[1], "stages") == 0;
    if (stages) {
        Stage("main");
    }
    int qtArgc = std::min(argc, 1);
    QApplication app(qtArgc, argv);
    holdAfterReport() = argc > 1 && std::strcmp(argv[1], "hold") == 0;
    if (stages) {
        Stage("application");
    }
    QWidget window;
    window.setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    window.setFixedSize(280, 354);
    FirstPaint painted(&window, [] { ReportAndEnd("painted"); });
    window.show();
    if (stages) {
        Stage("shown");
    }
    return QApplication::exec();
}
