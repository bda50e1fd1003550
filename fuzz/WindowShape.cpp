// The main window's outline, read from a picture decoded from the input as the program decodes
// its own background (any format Qt reads).

#include "ui/shell/WindowShape.h"

#include "ui/shell/Controls.h"

#include <QApplication>
#include <QImage>
#include <QPixmap>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

// Bounds the work per input; the program's own pictures are a few hundred pixels wide.
constexpr int kMaxSide = 1024;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int argc = 1;
    static char name[] = "fuzz_window_shape";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    QImage picture;
    if (size > static_cast<std::size_t>(INT32_MAX) || !picture.loadFromData(data, static_cast<int>(size))) {
        return 0;
    }
    if (picture.width() > kMaxSide || picture.height() > kMaxSide) {
        return 0;
    }
    PictureBox box;
    box.setPicture(QPixmap::fromImage(picture));
    box.resize(std::max(picture.width(), 1), std::max(picture.height(), 1));
    global::RegionFromBitmap(box);
    return 0;
}
