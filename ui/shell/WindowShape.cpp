#include "ui/shell/WindowShape.h"

#include "ui/shell/Controls.h"

#include <QWidget>

namespace global {

std::vector<QRect> NonKeyRuns(const QImage& surface, int width, int height) {
    std::vector<QRect> runs;
    if (width <= 0 || height <= 0 || surface.isNull()) {
        return runs;
    }
    const QImage image = surface.convertToFormat(QImage::Format_RGB32);
    const QRgb key = image.pixel(0, 0) & RGB_MASK;
    for (int y = 0; y < height; ++y) {
        bool inRun = false;
        int runStart = 0;
        for (int x = 0; x < width; ++x) {
            const bool isKey = (image.pixel(x, y) & RGB_MASK) == key;
            if (isKey && inRun) {
                runs.emplace_back(QPoint(runStart, y), QPoint(x - 1, y));
                inRun = false;
            } else if (!isKey && !inRun) {
                runStart = x;
                inRun = true;
            }
        }
        // A run never continues into the next row.
        if (inRun) {
            runs.emplace_back(QPoint(runStart, y), QPoint(width - 1, y));
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
