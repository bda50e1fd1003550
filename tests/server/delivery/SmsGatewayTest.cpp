// The SMS gateway sender against Debian's Kannel (bearerbox and smsbox) and a fake SMSC: what
// reaches the SMSC for a text, and how each answer of the gateway is taken.

#include "SmsRig.h"
#include "server/delivery/DeliveryQueue.h"
#include "server/delivery/GsmAlphabet.h"
#include "server/delivery/SmsGateway.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>

using namespace server;
using fakesmsc::FakeSmsc;
using fakesmsc::KannelRig;

namespace {

TEST(SmsCodingTest, Text_isGsm7_onlyWhenEveryCharacterFits) {
    const struct {
        const char* text;
        SmsCoding coding;
    } cases[] = {
        {"Hello World", SmsCoding::Gsm7},
        {"Café for Léa, Ñandu & Ölaf @ 5 £/¥/€ ¿¡", SmsCoding::Gsm7},
        {"{[~^|\\]}\f\r\n", SmsCoding::Gsm7}, // the extension table, and both line breaks
        {"ΔΦΓΛΩΠΨΣΘΞ ÆæßÉ ÅåØø Ç èéùìòà §¤", SmsCoding::Gsm7},
        {"", SmsCoding::Gsm7},
        {"Café – Zoë č", SmsCoding::Ucs2},
        {"č", SmsCoding::Ucs2},
        {"it’s", SmsCoding::Ucs2},  // a typographic apostrophe is not the GSM one
        {"ç", SmsCoding::Ucs2},     // only the capital Ç is in the alphabet
        {"`", SmsCoding::Ucs2},     // the grave accent is missing from it too
        {"\xF0\x9F\x98\x80", SmsCoding::Ucs2}, // outside the BMP
        {"\xC3", SmsCoding::Ucs2},           // cut short: not UTF-8
        {"\xC0\xA0", SmsCoding::Ucs2},       // an overlong space
        {"\xED\xA0\x80", SmsCoding::Ucs2},   // a surrogate
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ChooseSmsCoding(c.text), c.coding) << c.text;
    }
}

TEST(SmsAnswerTest, GatewayAnswer_isAcceptedOnlyInItsOwnWords_andRetriedUnlessRefused) {
    using Kind = SmsOutcome::Kind;
    const struct {
        long status;
        const char* body;
        const char* transportError;
        Kind kind;
        const char* reply;
    } cases[] = {
        {202, "0: Accepted for delivery", "", Kind::Accepted, "0: Accepted for delivery"},
        {202, "3: Queued for later delivery", "", Kind::Accepted, "3: Queued for later delivery"},
        {200, "<html>It works</html>", "", Kind::Temporary, "<html>It works</html>"},
        {202, "", "", Kind::Temporary, "HTTP 202"},
        {403, "Authorization failed for sendsms", "", Kind::Permanent, "Authorization failed for sendsms"},
        {400, "Missing receiver number, rejected\n", "", Kind::Permanent, "Missing receiver number, rejected"},
        {503, "Sending failed.", "", Kind::Temporary, "Sending failed."},
        {302, "", "", Kind::Temporary, "HTTP 302"},
        {0, "", "Failed to connect to 127.0.0.1 port 9: Connection refused", Kind::Temporary,
         "Failed to connect to 127.0.0.1 port 9: Connection refused"},
    };
    for (const auto& c : cases) {
        const SmsOutcome outcome = ClassifySmsAnswer(c.status, c.body, c.transportError);
        EXPECT_EQ(outcome.kind, c.kind) << c.status << " " << c.body;
        EXPECT_EQ(outcome.reply, c.reply);
    }
}

TEST(SmsReportTest, ReportType_becomesAState) {
    const struct {
        const char* type;
        const char* text;
        std::string_view state; // empty: not a report the service knows
        const char* reason;
    } cases[] = {
        {"1", "id:7 sub:001 dlvrd:001 submit date:2612071642 done date:2612071642 stat:DELIVRD err:000 text:",
         delivery::kDelivered, ""},
        {"2", "id:7 sub:001 dlvrd:000 stat:UNDELIV err:001", delivery::kFailed, "id:7 sub:001 dlvrd:000 stat:UNDELIV err:001"},
        {"2", "id:7 sub:001 dlvrd:000 stat:EXPIRED err:000", delivery::kExpired, "id:7 sub:001 dlvrd:000 stat:EXPIRED err:000"},
        {"4", "", delivery::kSubmitted, ""},
        {"8", "ACK/", delivery::kSubmitted, ""},
        {"16", "NACK/0x0000000b/Invalid Destination Address", delivery::kFailed,
         "refused by the SMSC: NACK/0x0000000b/Invalid Destination Address"},
        {"", "", "", ""},
        {"32", "", "", ""},
        {"1 ", "", "", ""},
    };
    for (const auto& c : cases) {
        const auto reported = ReadKannelReport(c.type, c.text);
        EXPECT_EQ(reported.has_value(), !c.state.empty()) << c.type;
        if (reported) {
            EXPECT_EQ(reported->state, c.state) << c.type;
            EXPECT_EQ(reported->reason, c.reason) << c.type;
        }
    }
}

class KannelGatewayTest : public ::testing::Test {
protected:
    void SetUp() override { SMS_RIG_REQUIRED(); }

    static SmsGatewaySettings settings() {
        SmsGatewaySettings result;
        result.url = smstest::Rig().sendsmsUrl();
        ReadSmsGatewayCredentials(smstest::Rig().credentialsFile().string(), result);
        result.from = "+14125550100";
        return result;
    }

    // Submits and waits for the SMSC to receive every part; the new submit_sm PDUs.
    static std::vector<fakesmsc::SubmitSm> sendAndReceive(const std::string& text, std::size_t parts = 1) {
        FakeSmsc& smsc = smstest::Smsc();
        const std::size_t before = smsc.submitCount();
        KannelSmsSender sender(settings());
        const SmsOutcome outcome = sender.submit({"+17245550199", text, {}, 0});
        EXPECT_EQ(outcome.kind, SmsOutcome::Kind::Accepted) << outcome.reply;
        EXPECT_TRUE(smsc.waitForSubmits(before + parts)) << smstest::Rig().logTail();
        auto all = smsc.submits();
        return {all.begin() + static_cast<std::ptrdiff_t>(before), all.end()};
    }
};

TEST_F(KannelGatewayTest, Text_reachesTheSmsc_inTheChosenCoding) {
    const struct {
        const char* text;
        int dataCoding;
        std::string userData;
    } cases[] = {
        // GSM 7-bit, one septet a byte: é is 0x05, € is the escape 0x1B then 0x65.
        {"Café €5", 0, std::string("Caf\x05 \x1B\x65" "5")},
        // UCS-2 big endian.
        {"Café – Zoë č", 8,
         std::string("\0C\0a\0f\0\xE9\0 \x20\x13\0 \0Z\0o\0\xEB\0 \x01\x0D", 24)},
    };
    for (const auto& c : cases) {
        const auto received = sendAndReceive(c.text);
        ASSERT_EQ(received.size(), 1u);
        const auto& pdu = received[0];
        EXPECT_EQ(pdu.destination, "17245550199"); // the + dropped ...
        EXPECT_EQ(pdu.destinationTon, 1);          // ... for the type of number: international
        EXPECT_EQ(pdu.source, "14125550100");
        EXPECT_EQ(pdu.sourceTon, 1);
        EXPECT_EQ(pdu.dataCoding, c.dataCoding) << c.text;
        EXPECT_EQ(pdu.userData, c.userData) << c.text;
    }
}

TEST_F(KannelGatewayTest, LongText_arrives_inConcatenatedParts) {
    std::string text;
    for (int i = 0; i < 20; ++i) {
        text += "Line " + std::to_string(i) + " of a long one.\n"; // 20 x 19-20 characters
    }
    const auto parts = sendAndReceive(text, 3);
    ASSERT_EQ(parts.size(), 3u);
    std::string joined;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        fakesmsc::ConcatInfo concat;
        ASSERT_TRUE(fakesmsc::ReadConcat(parts[i].udh, concat)) << "part " << i;
        EXPECT_EQ(concat.total, 3);
        EXPECT_EQ(concat.part, static_cast<int>(i) + 1);
        EXPECT_EQ(concat.reference, [&] {
            fakesmsc::ConcatInfo first;
            fakesmsc::ReadConcat(parts[0].udh, first);
            return first.reference;
        }());
        EXPECT_EQ(parts[i].dataCoding, 0);
        joined += parts[i].userData;
    }
    EXPECT_EQ(joined, text);
}

TEST_F(KannelGatewayTest, WrongPassword_isRefused_forGood) {
    SmsGatewaySettings wrong = settings();
    wrong.password += "x";
    KannelSmsSender sender(wrong);
    const std::size_t before = smstest::Smsc().submitCount();
    const SmsOutcome outcome = sender.submit({"+17245550199", "Hello", {}, 0});
    EXPECT_EQ(outcome.kind, SmsOutcome::Kind::Permanent);
    EXPECT_EQ(outcome.reply, "Authorization failed for sendsms");
    EXPECT_EQ(smstest::Smsc().submitCount(), before);
}

TEST_F(KannelGatewayTest, SmsboxDown_isATemporaryFailure) {
    smstest::Rig().stopSmsbox();
    KannelSmsSender sender(settings());
    const SmsOutcome outcome = sender.submit({"+17245550199", "Hello", {}, 0});
    smstest::Rig().startSmsbox();
    EXPECT_EQ(outcome.kind, SmsOutcome::Kind::Temporary);
    EXPECT_NE(outcome.reply.find("connect to 127.0.0.1"), std::string::npos) << outcome.reply;
}

} // namespace
