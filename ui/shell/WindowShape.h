#pragma once

#include <QImage>
#include <QRect>
#include <QRegion>

#include <optional>
#include <stdexcept>
#include <vector>

class PictureBox;
class QWidget;

namespace global {

// Raised when a window is asked to take its shape from a control that is not a picture box.
class TypeMismatchError : public std::runtime_error {
public:
    TypeMismatchError() : std::runtime_error("Type mismatch") {}
};

// Cuts the window that holds `control` to the outline of the picture it shows: every pixel of the
// picture's key colour (its top-left pixel) is removed from the window.
void ApplyWindowShape(QWidget* control);

// The outline of the non-key pixels of the box's drawing surface, or none when every pixel has
// the key colour.
std::optional<QRegion> RegionFromBitmap(const PictureBox& box);

// Gives the window its outline; none leaves it a full rectangle.
void SetShapeRegion(QWidget* window, const std::optional<QRegion>& region);

// One rectangle per maximal horizontal run of pixels that differ from the key colour (the pixel
// at 0, 0) in red, green or blue, rows top to bottom, runs left to right, within width x height.
std::vector<QRect> NonKeyRuns(const QImage& surface, int width, int height);

} // namespace global
