#include "service/RequestDocument.h"

#include <gtest/gtest.h>

TEST(EscapeXmlText, escapesAmpersandFirstThenAngleBrackets) {
    const std::pair<const char*, const char*> cases[] = {
        {"a<b & c>d", "a&lt;b &amp; c&gt;d"},
        {"Tom & Jerry <3", "Tom &amp; Jerry &lt;3"},
        {"&amp;", "&amp;amp;"}, // an entity in the input is escaped again
        {"&lt;", "&amp;lt;"},
        {"<<>>&&", "&lt;&lt;&gt;&gt;&amp;&amp;"},
        {"say \"hi\" it's", "say \"hi\" it's"},
        {"Zo\xc3\xab \xe2\x82\xac", "Zo\xc3\xab \xe2\x82\xac"}, // non-ASCII passes unchanged
        {"line\r\nbreak\ttab", "line\r\nbreak\ttab"},
        {"", ""},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(EscapeXmlText(input), expected) << "input: " << input;
    }
}

TEST(RequestDocument, layoutIsOneLineWithFourSpacesBeforeEachField) {
    const std::string retrieval = RequestDocument("QVRAB", {{"User_id", "42"}});
    EXPECT_EQ(retrieval, "<QVRAB>    <User_id>42</User_id></QVRAB>");
    EXPECT_EQ(retrieval.size(), 40u);

    EXPECT_EQ(RequestDocument("QVRLogin", {{"Login", "4125551212"}, {"Password", "a<&b"}}),
              "<QVRLogin>    <Login>4125551212</Login>    <Password>a<&b</Password></QVRLogin>");
    EXPECT_EQ(RequestDocument("R", {{"Empty", ""}}), "<R>    <Empty></Empty></R>");
}
