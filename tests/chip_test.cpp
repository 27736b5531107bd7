// Chip power-up and command exchange: the command text to bytes, refused malformed
// commands, the reply in ChipCardData, and the two methods' mappings.
#include "component/chip_data.h"
#include "tests/support/harness.h"
#include "tests/support/wait_modes.h"

namespace czqic::testing {
namespace {

CZQIC_IN_EACH_WAIT_MODE(ChipCommand);
CZQIC_IN_EACH_WAIT_MODE(ChipExchange);

using ::testing::HasSubstr;

struct CommandRow {
    const char* text;
    const char* sent;  // the array as the journal prints it
};

TEST_P(ChipCommand, WholeBytesOfEitherCaseAreSentAsTheyAre) {
    const CommandRow rows[] = {
        {"0084000004", "[0, 132, 0, 0, 4]"},
        {"00a4", "[0, 164]"},
        {"FFfe", "[255, 254]"},
        {"00", "[0]"},
    };
    for (const CommandRow& row : rows) {
        SCOPED_TRACE(row.text);
        OneReader h;
        h.r->ChipCardData(row.text);
        EXPECT_EQ(h.r->Qor_ChipTrnsp(), kOk);
        EXPECT_THAT(h.journal_matching("call:"),
                    ElementsAre(std::string(R"(call: chipSend("SEND", 0, )") + row.sent + ", -1)"));
    }
}

TEST_P(ChipCommand, MalformedTextIsRefusedBeforeAnythingChanges) {
    const std::pair<const char*, const char*> rows[] = {
        {"", "empty"},
        {"12345", "odd number"},
        {"1234567", "odd number"},
        {"12G4", "'G' at position 3"},
        {"12 4", "' ' at position 3"},
        {"0x1234", "'x' at position 2"},
    };
    for (const auto& [text, problem] : rows) {
        SCOPED_TRACE(text);
        OneReader h;
        h.rt.status_word = 411;
        h.r->ChipCardData(text);
        EXPECT_EQ(h.r->Qor_ChipTrnsp(), kFailed);
        EXPECT_EQ(h.rt.status_word, 411);
        EXPECT_EQ(h.r->ChipCardData(), text);
        EXPECT_THAT(h.journal(), IsEmpty());
        ASSERT_EQ(h.log().size(), 1u);
        EXPECT_THAT(h.log()[0], ::testing::StartsWith("Qor_ChipTrnsp err:"));
        EXPECT_THAT(h.log()[0], HasSubstr(problem));
    }
}

TEST_P(ChipCommand, TheLongestCommandIsSentAndOneByteMoreOverflows) {
    const std::string longest(kMaxChipCommandChars, 'A');
    EXPECT_EQ(chip_command_to_array(longest).elements().size(), kMaxChipCommandChars / 2);

    OneReader h;
    h.rt.status_word = 0;
    h.r->ChipCardData(longest + "AA");
    EXPECT_EQ(h.r->Qor_ChipTrnsp(), kFailed);
    EXPECT_THAT(h.log(), ElementsAre("Qor_ChipTrnsp err:Overflow"));
    EXPECT_THAT(h.journal(), IsEmpty());
    // The overflow comes after the pending mark and before the control call.
    EXPECT_EQ(h.rt.status_word, kPending);
    EXPECT_EQ(h.r->ChipCardData(), longest + "AA");
}

TEST_P(ChipExchange, TheReplyReplacesTheCommand) {
    OneReader h(R"({"on": {"chipSend": [{"events": [
        {"event": "ChipDataReceived", "afterMs": 100, "data": "6a82"}]}]}})");
    h.r->ChipCardData("00A4040007F0435A51494301");
    EXPECT_EQ(h.r->Qor_ChipTrnsp(), kOk);
    EXPECT_EQ(h.r->ChipCardData(), "6A82");
    EXPECT_THAT(h.log(), ElementsAre("Qor_ChipTrnsp:10120100", "Event ChipDataReceived461",
                                     "mstrChipCardData:6A82", "Qor_ChipTrnsp end:461"));
}

TEST_P(ChipExchange, AReplyDeliveredInsideTheSendCallIsKept) {
    OneReader h(R"({"on": {"chipSend": [{"events": [
        {"event": "ChipDataReceived", "during": true, "data": "9000"}]}]}})");
    h.r->ChipCardData("0084000008");
    const auto exchange = h.timed_call(&ColsZQICCardReader::Qor_ChipTrnsp);
    EXPECT_EQ(exchange.ms, 0);
    EXPECT_EQ(exchange.result, kOk);
    EXPECT_EQ(h.r->ChipCardData(), "9000");
}

TEST_P(ChipExchange, AFailureDeliveredInsideTheSendCallLeavesNoData) {
    for (const char* event : {"ChipInvalid", "Timeout"}) {
        SCOPED_TRACE(event);
        OneReader h(answer("chipSend", event, true));
        h.r->ChipCardData("0084000008");
        EXPECT_EQ(h.r->Qor_ChipTrnsp(), kFailed);
        EXPECT_EQ(h.r->ChipCardData(), "");
    }
}

TEST_P(ChipExchange, GetChallengeAgainstTheBuiltInCard) {
    OneReader h;
    h.r->ChipCardData("0084000008");
    EXPECT_EQ(h.r->Qor_ChipTrnsp(), kOk);
    const std::string reply = h.r->ChipCardData();
    EXPECT_EQ(reply.size(), 20u);
    EXPECT_EQ(reply.substr(16), "9000");
}

TEST_P(ChipExchange, MappingsOfBothMethods) {
    struct Row {
        const char* event;
        int32_t wait_chip;
        int32_t transport;
        const char* data_after;  // ChipCardData after the exchange
    };
    const Row rows[] = {
        {"ChipDataReceived", kOk, kOk, "3B00"},
        {"ChipInvalid", kFailed, kFailed, ""},
        {"Timeout", kFailed, kFailed, ""},
        {"", kTimedOut, kTimedOut, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.event);
        const std::string ev = row.event;
        const std::string events =
            ev.empty() ? "[]"
                       : R"([{"event": ")" + ev + R"(", "afterMs": 200)" +
                             (ev == "ChipDataReceived" ? R"(, "data": "3B00")" : "") + "}]";
        OneReader h(R"({"on": {"chipInit": [{"events": )" + events +
                    R"(}], "chipSend": [{"events": )" + events + "}]}}");
        h.r->ChipCardData("1122");
        EXPECT_EQ(h.r->QOR_WaitChip(), row.wait_chip);
        // Power-up leaves the text alone unless the chip answered.
        EXPECT_EQ(h.r->ChipCardData(), ev == "ChipDataReceived" ? "3B00" : "1122");
        h.r->ChipCardData("0084000004");
        EXPECT_EQ(h.r->Qor_ChipTrnsp(), row.transport);
        EXPECT_EQ(h.r->ChipCardData(), row.data_after);
    }
}

TEST_P(ChipExchange, Status460IsSuccessOnlyForPowerUp) {
    for (bool power_up : {true, false}) {
        OneReader h(R"({"on": {"chipInit": [{}], "chipSend": [{}]}})");
        h.r->ChipCardData("00");
        h.loop.post([&] { h.rt.status_word = 460; }, 1000);
        EXPECT_EQ(power_up ? h.r->QOR_WaitChip() : h.r->Qor_ChipTrnsp(), power_up ? kOk : kFailed);
    }
}

TEST_P(ChipExchange, PowerUpPassesInitByReference) {
    OneReader h;
    EXPECT_EQ(h.r->QOR_WaitChip(), kOk);
    EXPECT_THAT(h.journal_matching("call:"), ElementsAre(R"(call: chipInit("INIT"))"));
    EXPECT_EQ(h.log().front(), "QOR_WaitChip:10120100");
    EXPECT_EQ(h.log().back(), "QOR_WaitChip end:461");
}

}  // namespace
}  // namespace czqic::testing
