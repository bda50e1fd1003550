#include "ui/shell/UserText.h"

namespace UserText {

QString TrimSpaces(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == QLatin1Char(' ')) {
        ++begin;
    }
    while (end > begin && text.at(end - 1) == QLatin1Char(' ')) {
        --end;
    }
    return text.mid(begin, end - begin);
}

QString AmpersandsAsEntities(const QString& text) {
    QString replaced = text;
    replaced.replace(QLatin1Char('&'), QStringLiteral("&amp;"));
    return replaced;
}

} // namespace UserText
