// The e-mail a message becomes, and the gateway table an operator edits.

#include "server/delivery/MailMessage.h"

#include "server/delivery/GatewayTable.h"
#include "SmtpSink.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace server;
using smtpsink::Base64Decode;

namespace {

// The text of "=?UTF-8?B?...?=" words joined by folding, as a mail reader shows it.
std::string DecodeHeaderWords(std::string_view header) {
    std::string out;
    std::size_t at = 0;
    while ((at = header.find("=?UTF-8?B?", at)) != std::string_view::npos) {
        const auto end = header.find("?=", at + 10);
        out += Base64Decode(header.substr(at + 10, end - at - 10));
        at = end + 2;
    }
    return out;
}

std::string HeaderValue(const std::string& mail, const std::string& name) {
    const std::string head = mail.substr(0, mail.find("\r\n\r\n") + 2);
    const auto at = head.find("\r\n" + name + ": ") == std::string::npos ? head.find(name + ": ")
                                                                         : head.find("\r\n" + name + ": ") + 2;
    if (at == std::string::npos) {
        return "<missing>";
    }
    // Up to the end of the header, folded lines included.
    auto end = head.find("\r\n", at);
    while (end + 2 < head.size() && head[end + 2] == ' ') {
        end = head.find("\r\n", end + 2);
    }
    return head.substr(at + name.size() + 2, end - at - name.size() - 2);
}

MailFields Fields(std::string subject, std::string body) {
    MailFields fields;
    fields.from = "sms@vantro.example";
    fields.to = "2125550100@txt.att.net";
    fields.subject = std::move(subject);
    fields.body = std::move(body);
    fields.messageId = MessageIdFor(7, "2026-12-07T10:15:00Z", fields.from);
    fields.date = std::chrono::system_clock::from_time_t(1796638500); // Mon, 07 Dec 2026 10:15:00 UTC
    return fields;
}

TEST(MailMessageTest, Mail_hasTheHeadersAndBody_theGatewaysExpect) {
    const std::string longLine(1200, 'x');
    struct Case {
        const char* name;
        std::string subject, body;
        std::string shownSubject; // decoded as a reader shows it
        std::string encoding;
        std::string bodyOnTheWire;
    };
    const std::vector<Case> cases = {
        {"ascii", "Lunch", "See you at 12.", "Lunch", "7bit", "See you at 12.\r\n"},
        {"utf8 subject and body", "Grüße 😀", "Çà va?\r\nÀ demain", "Grüße 😀", "8bit", "Çà va?\r\nÀ demain\r\n"},
        {"lone line feeds become CR LF", "", "one\ntwo\rthree", "", "7bit", "one\r\ntwo\r\nthree\r\n"},
        {"dot lines left to the SMTP client", "", ".\r\n..x", "", "7bit", ".\r\n..x\r\n"},
        {"a line break in the subject starts no header", "a\r\nBcc: x@y.z", "b", "a  Bcc: x@y.z", "7bit", "b\r\n"},
        {"a long subject is folded", std::string(100, 's'), "b", std::string(100, 's'), "7bit", "b\r\n"},
        {"a line too long for SMTP goes as base64", "", longLine, "", "base64", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string mail = ComposeMail(Fields(c.subject, c.body));
        const auto split = mail.find("\r\n\r\n");
        ASSERT_NE(split, std::string::npos);
        const std::string head = mail.substr(0, split + 2);
        const std::string body = mail.substr(split + 4);
        // Every line break of the message is CR LF and no line is too long.
        for (std::size_t i = 0; i < mail.size(); ++i) {
            ASSERT_FALSE(mail[i] == '\n' && (i == 0 || mail[i - 1] != '\r')) << "lone LF at " << i;
            ASSERT_FALSE(mail[i] == '\r' && (i + 1 == mail.size() || mail[i + 1] != '\n')) << "lone CR at " << i;
        }
        for (std::size_t start = 0, end; (end = head.find("\r\n", start)) != std::string::npos; start = end + 2) {
            EXPECT_LE(end - start, 78U) << head.substr(start, end - start);
        }
        EXPECT_EQ(HeaderValue(mail, "From"), "<sms@vantro.example>");
        EXPECT_EQ(HeaderValue(mail, "To"), "<2125550100@txt.att.net>");
        EXPECT_EQ(HeaderValue(mail, "Date"), "Mon, 07 Dec 2026 10:15:00 +0000");
        EXPECT_EQ(HeaderValue(mail, "Message-ID"), "<vantro.7.20261207T101500Z@vantro.example>");
        EXPECT_EQ(HeaderValue(mail, "Content-Type"), "text/plain; charset=UTF-8");
        EXPECT_EQ(HeaderValue(mail, "Content-Transfer-Encoding"), c.encoding);
        const std::string subject = HeaderValue(mail, "Subject");
        EXPECT_EQ(subject.find("=?") == std::string::npos ? subject : DecodeHeaderWords(subject), c.shownSubject);
        if (c.encoding == "base64") {
            EXPECT_EQ(Base64Decode(body), c.body);
        } else {
            EXPECT_EQ(body, c.bodyOnTheWire);
        }
    }
}

TEST(MailMessageTest, EncodedWords_neverSplitACharacter) {
    // Two- and four-byte characters so that a word boundary would fall inside one.
    std::string text;
    for (int i = 0; i < 40; ++i) {
        text += i % 2 == 0 ? "é" : "😀";
    }
    const std::string encoded = EncodeHeaderWords(text);
    std::size_t start = 0;
    for (std::size_t end; start < encoded.size(); start = end + 3) {
        end = encoded.find("\r\n ", start);
        if (end == std::string::npos) {
            end = encoded.size();
        }
        const std::string word = encoded.substr(start, end - start);
        EXPECT_LE(word.size(), 64U);
        const std::string piece = DecodeHeaderWords(word);
        ASSERT_FALSE(piece.empty());
        EXPECT_NE(static_cast<unsigned char>(piece.front()) & 0xC0, 0x80U) << "starts inside a character";
    }
    EXPECT_EQ(DecodeHeaderWords(encoded), text);
}

TEST(GatewayTableTest, OperatorsFile_isRead) {
    const GatewayTable table = GatewayTable::parse("# comment\n\n  AT&T = txt.att.net \r\nNo Gateway =\n"
                                                   "Zeta Mobile=sms.zeta.example\n",
                                                   "test");
    ASSERT_EQ(table.carriers().size(), 3U);
    EXPECT_EQ(table.carriers()[0].name, "AT&T");
    EXPECT_EQ(table.carriers()[1].name, "No Gateway");
    EXPECT_EQ(table.carriers()[2].name, "Zeta Mobile");
    EXPECT_EQ(table.address("2125550100", "AT&T"), "2125550100@txt.att.net");
    EXPECT_EQ(table.address("2125550100", "Zeta Mobile"), "2125550100@sms.zeta.example");
    EXPECT_EQ(table.address("2125550100", "No Gateway"), "");
    EXPECT_EQ(table.address("2125550100", "at&t"), "");
}

TEST(GatewayTableTest, WhatCannotBeAGateway_isRefused) {
    struct Case {
        const char* name;
        std::string text;
        std::string where;
    };
    const std::vector<Case> cases = {
        {"no equals sign", "AT&T txt.att.net\n", "gateways.conf:2: "},
        {"no name", " = txt.att.net\n", "gateways.conf:2: "},
        {"blank in the domain", "AT&T = txt att.net\n", "gateways.conf:2: "},
        {"an address, not a domain", "AT&T = x@txt.att.net\n", "gateways.conf:2: "},
        {"empty label", "AT&T = txt..att.net\n", "gateways.conf:2: "},
        {"twice", "AT&T = a.example\nAT&T = b.example\n", "gateways.conf:3: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            GatewayTable::parse("# first line\n" + c.text, "gateways.conf");
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.where, 0), 0U) << e.what();
        }
    }
}

} // namespace
