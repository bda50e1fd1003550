#include "ui/shell/WindowShape.h"

#include "ui/shell/Controls.h"

#include <QWidget>

#include <algorithm>

namespace global {

std::vector<QRect> NonKeyRuns(const QImage& surface, int width, int height) {
    std::vector<QRect> runs;
    // Nothing outside the picture is read: a scan size larger than it stops at its edges.
    width = std::min(width, surface.width());
    height = std::min(height, surface.height());
    if (width <= 0 || height <= 0) {
        return runs;
    }
    const QImage image = surface.convertToFormat(QImage::Format_RGB32);
    // Whole scan lines rather than one pixel() call per pixel, which costs most of the shaping.
    const auto line = [&image](int y) { return reinterpret_cast<const QRgb*>(image.constScanLine(y)); };
    const QRgb key = line(0)[0] & RGB_MASK;
    for (int y = 0; y < height; ++y) {
        const QRgb* pixels = line(y);
        int x = 0;
        while (x < width) {
            while (x < width && (pixels[x] & RGB_MASK) == key) {
                ++x;
            }
            const int runStart = x;
            while (x < width && (pixels[x] & RGB_MASK) != key) {
                ++x;
            }
            // A run never continues into the next row.
            if (x > runStart) {
                runs.emplace_back(runStart, y, x - runStart, 1);
            }
        }
    }
    return runs;
}

std::optional<QRegion> RegionFromBitmap(const PictureBox& box) {
    const QImage surface = box.drawingSurface();
    const std::vector<QRect> runs = NonKeyRuns(surface, box.width(), box.height());
    if (runs.empty()) {
        return std::nullopt;
    }
    QRegion region;
    for (const QRect& run : runs) {
        region += run;
    }
    return region;
}

void SetShapeRegion(QWidget* window, const std::optional<QRegion>& region) {
    if (region) {
        window->setMask(*region);
    } else {
        window->clearMask();
    }
}

void ApplyWindowShape(QWidget* control) {
    auto* box = qobject_cast<PictureBox*>(control);
    if (box == nullptr) {
        throw TypeMismatchError();
    }
    SetShapeRegion(box->window(), RegionFromBitmap(*box));
}

} // namespace global
