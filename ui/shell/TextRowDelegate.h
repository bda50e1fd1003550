#pragma once

#include <QFont>
#include <QFontMetrics>
#include <QStyledItemDelegate>

#include <array>
#include <optional>

// Draws a list's rows as the style does, but measures them from the font's metrics alone: the
// style would lay out and shape each row's text to learn its size, which for a list of tens of
// thousands of rows is most of the time the list takes to fill. Every row is still measured, so a
// long name further down widens the list and can be scrolled to, and a name with line breaks is as
// tall as its lines.
//
// A line of characters that are drawn one glyph each, side by side (Latin, Greek, Cyrillic without
// combining marks), is as wide as the sum of their advances, which are kept per font; the kerning
// the sum leaves out moves such a line by a pixel or so, nearly always narrower. Any other line is
// measured whole by the font.
class TextRowDelegate : public QStyledItemDelegate {
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    // What the style adds around a row's text, and the height of one line, learnt once per font
    // from the style's own measure of a one-line row.
    struct Measures {
        QFont font;
        std::optional<QFontMetricsF> metrics;
        int extraWidth = 0;
        std::array<float, 0x0590> advances{}; // by character; negative: not yet measured
        int oneLineHeight = 0;
        int lineHeight = 0;
        bool valid = false;
    };
    Measures& measuresFor(const QStyleOptionViewItem& option, const QModelIndex& index) const;
    static int lineWidth(Measures& measures, QStringView line);

    mutable Measures m_measures;
};
