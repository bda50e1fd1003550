// The main window's outline from its background picture, against Qt building the same region
// from a mask of the same picture.

#include "app/Global.h"
#include "bench/BenchMain.h"
#include "ui/main/frm_quorvale.h"
#include "ui/shell/Controls.h"
#include "ui/shell/Layout.h"
#include "ui/shell/WindowShape.h"

#include <QBitmap>
#include <QRegion>

#include <vector>

namespace {

QRegion qtRegionFromMask(const PictureBox& box) {
    const QImage picture = box.picture().toImage();
    return QRegion(QBitmap::fromImage(picture.createMaskFromColor(picture.pixel(0, 0), Qt::MaskInColor)));
}

std::vector<QRect> rectsOf(const QRegion& region) { return {region.begin(), region.end()}; }

// The main window, made once and kept to the end; only its picture box is used.
const PictureBox& mainBackground() {
    static const frm_quorvale* const window = [] {
        global::Carriers = {};
        return new frm_quorvale;
    }();
    return *Control<PictureBox>(window, "picBackground");
}

bool sameRectangles(benchmark::State& state) {
    const std::optional<QRegion> ours = global::RegionFromBitmap(mainBackground());
    if (!ours || rectsOf(*ours) != rectsOf(qtRegionFromMask(mainBackground()))) {
        state.SkipWithError("the two regions differ");
        return false;
    }
    return true;
}

void ShapeOurs(benchmark::State& state) {
    if (!sameRectangles(state)) {
        return;
    }
    const PictureBox& box = mainBackground();
    for (auto _ : state) {
        benchmark::DoNotOptimize(global::RegionFromBitmap(box));
    }
}

void ShapeAnchor(benchmark::State& state) {
    if (!sameRectangles(state)) {
        return;
    }
    const PictureBox& box = mainBackground();
    for (auto _ : state) {
        benchmark::DoNotOptimize(qtRegionFromMask(box));
    }
}

} // namespace

BENCHMARK(ShapeOurs)->Name("window shape/ours")->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(ShapeAnchor)->Name("window shape/anchor")->Unit(benchmark::kMicrosecond)->UseRealTime();

int main(int argc, char** argv) { return RunBenchmarksWithApplication(argc, argv); }
