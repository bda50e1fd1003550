#include "ui/shell/TextRowDelegate.h"

#include <QApplication>
#include <QStyle>
#include <QWidget>

#include <algorithm>

namespace {

// The style shows a line break of a row as a line separator.
bool isLineBreak(QChar c) { return c == QLatin1Char('\n') || c == QChar::LineSeparator; }

} // namespace

const TextRowDelegate::Measures& TextRowDelegate::measuresFor(const QStyleOptionViewItem& option,
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
    m_measures.extraWidth = styled.width() - m_measures.metrics->horizontalAdvance(probe.text);
    m_measures.oneLineHeight = styled.height();
    m_measures.lineHeight = m_measures.metrics->height();
    m_measures.valid = true;
    return m_measures;
}

QSize TextRowDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const Measures& measures = measuresFor(option, index);
    const QString text = index.data(Qt::DisplayRole).toString();
    const QFontMetrics& metrics = *measures.metrics;
    int widest = 0;
    int lines = 0;
    for (qsizetype start = 0; start <= text.size(); ++lines) {
        qsizetype end = start;
        while (end < text.size() && !isLineBreak(text.at(end))) {
            ++end;
        }
        widest = std::max(widest, metrics.horizontalAdvance(QStringView(text).mid(start, end - start).toString()));
        start = end + 1;
    }
    return {measures.extraWidth + widest, measures.oneLineHeight + (lines - 1) * measures.lineHeight};
}
