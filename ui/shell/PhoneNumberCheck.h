#pragma once

#include <QLocale>
#include <QString>

// Whether `text` reads as a number in `locale`: blanks around it, an optional sign, then digits
// with the locale's group separators and at most one decimal separator, at least one digit.
// Letters (an exponent too) or blanks between the characters make it no number.
bool IsNumeric(const QString& text, const QLocale& locale = QLocale());

// The first of the two checks both windows make on a phone number as typed: ten characters that
// read as a number, then not beginning with "0", "1" or "+". Returns the refusal for the user, or
// an empty text when the number passes.
QString PhoneNumberRefusal(const QString& typed, const QLocale& locale = QLocale());
