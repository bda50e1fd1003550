#include "ui/shell/WindowShape.h"

#include "addressbook/frm_ab.h"
#include "tests/support/VantroTest.h"
#include "ui/main/frm_quorvale.h"
#include "ui/shell/Controls.h"
#include "ui/shell/Layout.h"
#include "ui/shell/frm_about.h"

#include <QBitmap>
#include <QLabel>

using global::NonKeyRuns;

namespace {

const QRgb kKey = qRgb(0x99, 0x00, 0xFF);

QImage filled(int width, int height, QRgb colour) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

using Rects = std::vector<QRect>;

QRect rectLTRB(int left, int top, int right, int bottom) { return QRect(left, top, right - left, bottom - top); }

} // namespace

TEST(NonKeyRuns, onePerMaximalRunRowByRowNeverCarriedIntoTheNextRow) {
    EXPECT_EQ(NonKeyRuns(filled(5, 4, kKey), 5, 4), Rects{}) << "one colour: no outline at all";

    QImage single = filled(6, 5, kKey);
    single.setPixel(3, 2, qRgb(0, 0, 0));
    EXPECT_EQ(NonKeyRuns(single, 6, 5), Rects{rectLTRB(3, 2, 4, 3)});

    QImage rows = filled(6, 4, kKey);
    for (int x = 4; x < 6; ++x) {
        rows.setPixel(x, 0, qRgb(1, 2, 3)); // reaches the last column
    }
    for (int x = 1; x < 6; ++x) {
        rows.setPixel(x, 2, qRgb(1, 2, 3)); // row 2 holds no key pixel but the first
    }
    rows.setPixel(0, 3, qRgb(9, 9, 9));
    rows.setPixel(2, 3, qRgb(9, 9, 9));
    rows.setPixel(3, 3, qRgb(9, 9, 9));
    EXPECT_EQ(NonKeyRuns(rows, 6, 4),
              (Rects{rectLTRB(4, 0, 6, 1), rectLTRB(1, 2, 6, 3), rectLTRB(0, 3, 1, 4), rectLTRB(2, 3, 4, 4)}));
}

TEST(NonKeyRuns, anyDifferenceInRedGreenOrBlueCountsAndTheKeyComesFromThePicture) {
    QImage nearly = filled(4, 1, kKey);
    nearly.setPixel(1, 0, qRgb(0x99, 0x00, 0xFE));
    nearly.setPixel(2, 0, qRgb(0x98, 0x00, 0xFF));
    EXPECT_EQ(NonKeyRuns(nearly, 4, 1), Rects{rectLTRB(1, 0, 3, 1)});

    QImage white = filled(4, 2, qRgb(255, 255, 255));
    white.setPixel(3, 1, kKey);
    EXPECT_EQ(NonKeyRuns(white, 4, 2), Rects{rectLTRB(3, 1, 4, 2)}) << "white at 0,0 makes white the key";

    // Alpha is not a colour: a pixel that differs only there is a key pixel.
    QImage alpha(2, 1, QImage::Format_ARGB32);
    alpha.setPixel(0, 0, qRgba(10, 20, 30, 255));
    alpha.setPixel(1, 0, qRgba(10, 20, 30, 0));
    EXPECT_EQ(NonKeyRuns(alpha, 2, 1), Rects{});

    EXPECT_EQ(NonKeyRuns(filled(3, 3, 0), 0, 3), Rects{});

    // A scan size beyond the picture reads nothing outside it.
    QImage small = filled(2, 2, kKey);
    small.setPixel(1, 1, qRgb(0, 0, 0));
    EXPECT_EQ(NonKeyRuns(small, 5, 4), Rects{rectLTRB(1, 1, 2, 2)});
}

TEST(RegionFromBitmap, givesTheRectanglesQtMakesFromTheSamePicturesMask) {
    QImage checkered = filled(9, 5, kKey);
    for (int y = 0; y < 5; ++y) {
        for (int x = (y % 2); x < 9; x += 2) {
            checkered.setPixel(x, y, qRgb(0, 0, 0));
        }
    }
    QImage single = filled(6, 5, kKey);
    single.setPixel(5, 4, qRgb(0x99, 0x00, 0xFE)); // last pixel, one unit off the key
    QImage lastColumn = filled(4, 3, kKey);
    for (int y = 0; y < 3; ++y) {
        lastColumn.setPixel(3, y, qRgb(255, 255, 255));
    }
    QImage bands = filled(5, 6, qRgb(255, 255, 255)); // white is the key here
    for (int x = 0; x < 5; ++x) {
        bands.setPixel(x, 2, kKey);
        bands.setPixel(x, 3, kKey);
    }
    const struct {
        const char* what;
        QImage picture;
    } cases[] = {
        {"the main window's picture",
         QImage(QStringLiteral(":/pictures/main_background.gif")).convertToFormat(QImage::Format_RGB32)},
        {"runs broken at every pixel", checkered},
        {"one pixel in the last corner", single},
        {"runs that end at the last column", lastColumn},
        {"whole rows, some of them repeated", bands},
        {"nothing but the key", filled(3, 2, kKey)},
        {"one pixel", filled(1, 1, kKey)},
    };
    for (const auto& c : cases) {
        ASSERT_FALSE(c.picture.isNull()) << c.what;
        QWidget window;
        auto* box = new PictureBox(&window);
        box->setGeometry(QRect(QPoint(0, 0), c.picture.size()));
        box->setPicture(QPixmap::fromImage(c.picture));
        const QRegion qt(QBitmap::fromImage(c.picture.createMaskFromColor(c.picture.pixel(0, 0), Qt::MaskInColor)));
        const QRegion ours = global::RegionFromBitmap(*box).value_or(QRegion());
        EXPECT_EQ(Rects(ours.begin(), ours.end()), Rects(qt.begin(), qt.end())) << c.what;
        EXPECT_EQ(global::RegionFromBitmap(*box).has_value(), !qt.isEmpty()) << c.what;
    }
}

TEST(ApplyWindowShape, cutsTheWindowToThePictureOrLeavesItWholeAndRefusesOtherControls) {
    QWidget window;
    window.resize(20, 10);
    auto* box = new PictureBox(&window);
    box->setGeometry(0, 0, 8, 4);
    QImage picture = filled(8, 4, kKey);
    picture.setPixel(2, 1, qRgb(0, 0, 0));
    picture.setPixel(3, 1, qRgb(0, 0, 0));
    box->setPicture(QPixmap::fromImage(picture));

    global::ApplyWindowShape(box);
    EXPECT_EQ(window.mask(), QRegion(2, 1, 2, 1));

    auto* label = new QLabel(&window);
    EXPECT_THROW(global::ApplyWindowShape(label), global::TypeMismatchError);
    EXPECT_EQ(window.mask(), QRegion(2, 1, 2, 1)) << "a refused call leaves the window as it was";

    box->setPicture(QPixmap::fromImage(filled(8, 4, kKey)));
    global::ApplyWindowShape(box);
    EXPECT_TRUE(window.mask().isEmpty()) << "no pixel to keep: the window stays a full rectangle";
}

TEST(ApplyWindowShape, aBoxLargerThanItsPictureShowsItsBackgroundThere) {
    QWidget window;
    auto* box = new PictureBox(&window);
    box->setGeometry(0, 0, 4, 2);
    QPalette palette = box->palette();
    palette.setColor(QPalette::Window, Qt::white);
    box->setPalette(palette);
    box->setPicture(QPixmap::fromImage(filled(2, 2, kKey)));
    EXPECT_EQ(NonKeyRuns(box->drawingSurface(), 4, 2), (Rects{rectLTRB(2, 0, 4, 1), rectLTRB(2, 1, 4, 2)}));
}

TEST_F(VantroTest, mainWindowOutlineIsTheRoundedBodyAndTheProductName) {
    frm_quorvale window;
    const QImage background =
        QImage(QStringLiteral(":/pictures/main_background.gif")).convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(background.size(), QSize(260, 340));
    EXPECT_EQ(background.pixel(0, 0) & RGB_MASK, kKey & RGB_MASK);

    const QRegion outline = window.mask();
    ASSERT_FALSE(outline.isEmpty());
    // The outline holds exactly the pixels that are not the key colour, and nothing of the
    // 20 x 14 pixels of window that the picture does not cover.
    int bodyPixels = 0;
    for (int y = 0; y < window.height(); ++y) {
        for (int x = 0; x < window.width(); ++x) {
            const bool onPicture = x < background.width() && y < background.height();
            const bool keep = onPicture && (background.pixel(x, y) & RGB_MASK) != (kKey & RGB_MASK);
            ASSERT_EQ(outline.contains(QPoint(x, y)), keep) << x << "," << y;
            if (!keep) {
                continue;
            }
            ++bodyPixels;
            // Outside the body's box only the product name's black pixels may stay.
            const bool inBody = x >= 4 && x <= 255 && y >= 18 && y <= 335;
            if (!inBody) {
                EXPECT_EQ(background.pixel(x, y) & RGB_MASK, qRgb(0, 0, 0) & RGB_MASK)
                    << "stray pixel at " << x << "," << y;
                EXPECT_LT(y, 18) << "name pixels belong in the top margin";
            }
        }
    }
    EXPECT_GT(bodyPixels, 240 * 300);
}

TEST_F(VantroTest, everyPictureComesAtTwiceTheSizeWithTheOutlineOfThePictureAtItsOwnSize) {
    frm_quorvale main;
    frm_ab book;
    frm_about about;
    for (const QWidget* window : std::initializer_list<const QWidget*>{&main, &book, &about}) {
        for (const PictureBox* box : window->findChildren<PictureBox*>()) {
            SCOPED_TRACE(window->objectName().toStdString() + " " + box->objectName().toStdString());
            ASSERT_FALSE(box->picture().isNull());
            EXPECT_EQ(box->doubleSizePicture().size(), box->picture().size() * 2);
            EXPECT_EQ(box->doubleSizePicture().devicePixelRatio(), 2.0);
        }
    }

    // The key-colour area is the one of the picture at its own size, every pixel doubled.
    const QImage single =
        QImage(QStringLiteral(":/pictures/main_background.gif")).convertToFormat(QImage::Format_RGB32);
    const QImage twice =
        QImage(QStringLiteral(":/pictures/main_background@2x.gif")).convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(twice.size(), single.size() * 2);
    int differing = 0;
    for (int y = 0; y < twice.height(); ++y) {
        for (int x = 0; x < twice.width(); ++x) {
            const bool keyTwice = (twice.pixel(x, y) & RGB_MASK) == (kKey & RGB_MASK);
            const bool keySingle = (single.pixel(x / 2, y / 2) & RGB_MASK) == (kKey & RGB_MASK);
            differing += keyTwice != keySingle ? 1 : 0;
        }
    }
    EXPECT_EQ(differing, 0);

    // The outline still comes from the picture at its own size, whatever the larger one shows.
    auto* background = Control<PictureBox>(&main, "picBackground");
    background->setDoubleSizePicture(QPixmap::fromImage(filled(520, 680, kKey)));
    EXPECT_EQ(global::RegionFromBitmap(*background), std::optional<QRegion>(main.mask()));
}
