#pragma once

// The GSM 03.38 default alphabet, which decides how a text goes to the SMS gateway: in 7-bit GSM
// (160 characters a message) when every character is in the alphabet or its extension table,
// else in UCS-2 (70 a message). The gateway is told the coding; it does not choose one itself and
// would turn every character outside the alphabet into "?".

#include <string_view>

namespace server {

enum class SmsCoding {
    Gsm7 = 0, // sendsms coding=0
    Ucs2 = 2, // sendsms coding=2
};

// True when the code point is in the default alphabet or its extension table.
bool IsGsm7CodePoint(char32_t codePoint);

// Gsm7 when every character of the UTF-8 text is in the alphabet (with its extension table);
// Ucs2 otherwise, and for text that is not valid UTF-8.
SmsCoding ChooseSmsCoding(std::string_view utf8);

} // namespace server
