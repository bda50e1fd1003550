#include "ui/shell/PhoneNumberCheck.h"

namespace {

bool isBlank(QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); }

bool startsWithAt(const QString& text, qsizetype at, const QString& piece) {
    return !piece.isEmpty() && QStringView(text).mid(at).startsWith(piece);
}

} // namespace

bool IsNumeric(const QString& text, const QLocale& locale) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text.at(begin))) {
        ++begin;
    }
    while (end > begin && isBlank(text.at(end - 1))) {
        --end;
    }
    const QString number = text.mid(begin, end - begin);

    qsizetype at = 0;
    for (const QString& sign :
         {QStringLiteral("+"), QStringLiteral("-"), locale.positiveSign(), locale.negativeSign()}) {
        if (startsWithAt(number, 0, sign)) {
            at = sign.size();
            break;
        }
    }
    const QString group = locale.groupSeparator();
    const QString decimal = locale.decimalPoint();
    bool sawDigit = false;
    bool sawDecimal = false;
    while (at < number.size()) {
        const QChar c = number.at(at);
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9')) {
            sawDigit = true;
            ++at;
        } else if (!sawDecimal && startsWithAt(number, at, decimal)) {
            sawDecimal = true;
            at += decimal.size();
        } else if (!sawDecimal && startsWithAt(number, at, group)) {
            at += group.size();
        } else {
            return false;
        }
    }
    return sawDigit;
}

QString PhoneNumberRefusal(const QString& typed, const QLocale& locale) {
    if (typed.size() != 10 || !IsNumeric(typed, locale)) {
        return QStringLiteral("Phone number must be 10 digit numeric.");
    }
    const QChar first = typed.at(0);
    if (first == QLatin1Char('0') || first == QLatin1Char('1') || first == QLatin1Char('+')) {
        return QStringLiteral("We do not support those types of numbers.  United States Only.");
    }
    return {};
}
