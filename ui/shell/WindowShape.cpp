#include "ui/shell/WindowShape.h"

#include "ui/shell/Controls.h"

#include <QWidget>

#include <algorithm>
#include <cstring>

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
    const QRgb key = reinterpret_cast<const QRgb*>(image.constScanLine(0))[0] & RGB_MASK;
    // Each row is first read whole into one key flag per pixel, a loop the compiler runs on many
    // pixels at a time; memchr then jumps from one edge of a run to the next. Reading pixel by
    // pixel costs several times as much.
    std::vector<unsigned char> isKey(static_cast<std::size_t>(width));
    const unsigned char* const flags = isKey.data();
    const unsigned char* const end = flags + width;
    for (int y = 0; y < height; ++y) {
        const auto* pixels = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < width; ++x) {
            isKey[static_cast<std::size_t>(x)] = (pixels[x] & RGB_MASK) == key ? 1 : 0;
        }
        const unsigned char* at = flags;
        while (at != end) {
            const auto* start =
                static_cast<const unsigned char*>(std::memchr(at, 0, static_cast<std::size_t>(end - at)));
            if (start == nullptr) {
                break;
            }
            const auto* stop =
                static_cast<const unsigned char*>(std::memchr(start, 1, static_cast<std::size_t>(end - start)));
            if (stop == nullptr) {
                stop = end; // a run never continues into the next row
            }
            runs.emplace_back(static_cast<int>(start - flags), y, static_cast<int>(stop - start), 1);
            at = stop;
        }
    }
    return runs;
}

std::optional<QRegion> RegionFromBitmap(const PictureBox& box) {
    // The box shows its picture unscaled at its top-left corner. Where the picture is opaque, drawn
    // one pixel for one and covers the whole box, the picture is what the box shows: reading it
    // spares drawing a copy of it first.
    const QPixmap& picture = box.picture();
    const bool pictureIsSurface = !picture.hasAlphaChannel() && picture.devicePixelRatio() == 1.0 &&
                                  picture.width() >= box.width() && picture.height() >= box.height();
    const QImage surface = pictureIsSurface ? picture.toImage() : box.drawingSurface();
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
