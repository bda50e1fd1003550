#include "ui/shell/TextRowDelegate.h"

#include <QApplication>
#include <QFontMetrics>
#include <QStyle>
#include <QWidget>
#include <QtMath>

#include <algorithm>

namespace {

// The style shows a line break of a row as a line separator.
bool isLineBreak(QChar c) { return c == QLatin1Char('\n') || c == QChar::LineSeparator; }

// Printable characters below U+0590 other than the combining marks: one glyph each, placed side by
// side. A control character (a tab, say) leaves the line to the font.
bool isSideBySide(char16_t c) {
    return (c >= 0x20 && c < 0x7F) || (c >= 0xA0 && c < 0x0300) || (c >= 0x0370 && c < 0x0483) ||
           (c >= 0x048A && c < 0x0590);
}

} // namespace

TextRowDelegate::Measures& TextRowDelegate::measuresFor(const QStyleOptionViewItem& option,
                                                              const QModelIndex& index) const {
    if (m_measures.valid && m_measures.font == option.font) {
        return m_measures;
    }
    // The style's size of this row with a one-line text of known width tells what it adds.
    QStyleOptionViewItem probe = option;
    initStyleOption(&probe, index);
    probe.text = QStringLiteral("x");
    const QWidget* widget = option.widget;
    const QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
    const QSize styled = style->sizeFromContents(QStyle::CT_ItemViewItem, &probe, QSize(), widget);
    m_measures.font = option.font;
    m_measures.metrics.emplace(option.font);
    m_measures.advances.fill(-1.0F);
    m_measures.extraWidth = styled.width() - qCeil(m_measures.metrics->horizontalAdvance(probe.text));
    m_measures.oneLineHeight = styled.height();
    m_measures.lineHeight = QFontMetrics(option.font).height();
    m_measures.valid = true;
    return m_measures;
}

int TextRowDelegate::lineWidth(Measures& measures, QStringView line) {
    float width = 0;
    for (const QChar c : line) {
        const char16_t code = c.unicode();
        if (!isSideBySide(code)) {
            return qCeil(measures.metrics->horizontalAdvance(line.toString()));
        }
        float& advance = measures.advances[code];
        if (advance < 0) {
            advance = static_cast<float>(measures.metrics->horizontalAdvance(c));
        }
        width += advance;
    }
    return qCeil(width);
}

QSize TextRowDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    Measures& measures = measuresFor(option, index);
    const QString text = index.data(Qt::DisplayRole).toString();
    int widest = 0;
    int lines = 0;
    for (qsizetype start = 0; start <= text.size(); ++lines) {
        qsizetype end = start;
        while (end < text.size() && !isLineBreak(text.at(end))) {
            ++end;
        }
        widest = std::max(widest, lineWidth(measures, QStringView(text).mid(start, end - start)));
        start = end + 1;
    }
    return {measures.extraWidth + widest, measures.oneLineHeight + (lines - 1) * measures.lineHeight};
}
