#include "ui/shell/PhoneNumberCheck.h"

#include <gtest/gtest.h>

namespace {
QString qs(const char* utf8) { return QString::fromUtf8(utf8); }
} // namespace

TEST(IsNumeric, acceptsSignsSeparatorsAndSurroundingBlanksButNothingBetweenTheDigits) {
    const QLocale us(QLocale::English, QLocale::UnitedStates);
    for (const char* yes : {"4125551212", "  412555", "412555  ", "+412555121", "-412555121", "4,125,551", "41255.5121",
                            "1,2,3", ".5", "7", "\t9\t"}) {
        EXPECT_TRUE(IsNumeric(qs(yes), us)) << yes;
    }
    for (const char* no : {"", "   ", "+", "-", ".", "412 555 12", "412-555-12", "41255e1212", "1e5", "abc", "12a",
                           "1.2.3", "1.2,3", "++1", "1+", "$12", "(12)", "\xef\xbc\x91\xef\xbc\x92"}) {
        EXPECT_FALSE(IsNumeric(qs(no), us)) << no;
    }
    const QLocale german(QLocale::German, QLocale::Germany);
    EXPECT_TRUE(IsNumeric(qs("4.125.551,2"), german));
    EXPECT_FALSE(IsNumeric(qs("4,125,551.2"), german));
}

TEST(PhoneNumberRefusal, checksLengthAndNumberFirstThenTheFirstCharacter) {
    const QLocale us(QLocale::English, QLocale::UnitedStates);
    const QString numeric = qs("Phone number must be 10 digit numeric.");
    const QString notUs = qs("We do not support those types of numbers.  United States Only.");
    const std::pair<const char*, QString> cases[] = {
        {"4125551212", QString()}, {"412555121", numeric},    {"", numeric},
        {"412-555-12", numeric},   {"41255512120", numeric},  {"412555121a", numeric},
        {"1125551212", notUs},     {"0125551212", notUs},     {"+412555121", notUs},
        {"-412555121", QString()}, {" 412555121", QString()}, {"412555121 ", QString()},
        {"4125.55121", QString()}, {"412 555121", numeric},
    };
    for (const auto& [typed, refusal] : cases) {
        EXPECT_EQ(PhoneNumberRefusal(qs(typed), us), refusal) << typed;
    }
}
