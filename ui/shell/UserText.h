#pragma once

#include <QString>

// What the windows do to the user's text before it goes to the service.
namespace UserText {

// Removes leading and trailing spaces; tabs and line breaks stay.
QString TrimSpaces(const QString& text);

// Replaces every "&" by "&amp;", the form in which the service expects names and carriers before
// the request escapes them once more.
QString AmpersandsAsEntities(const QString& text);

// The texts the windows show when an exchange failed on the way.
inline const QString SystemError =
    QStringLiteral("There was a system error.  Please check your internet connection and try again.");

} // namespace UserText
