// What the log writers store of a chip reply: card-holder data masked in place, every
// other reply (and every other message) exactly as the component built it.
#include <gtest/gtest.h>

#include <string>

#include "log/card_data.h"
#include "platform/hex.h"
#include "tests/support/scratch.h"

namespace czqic {
namespace {

using testing::EnvGuard;

// A payment card's READ RECORD reply: track 2 equivalent data (57), account number (5A),
// card holder name (5F20), expiry (5F24), PAN sequence number (5F34), SDA tag list (9F4A).
constexpr const char* kReadRecord =
    "703F57134761739001010010D29122011234567890123F5A0847617390010100105F200F544553542F4341"
    "5244484F4C4445525F24032912315F3401019F4A01829000";
constexpr const char* kReadRecordMasked =
    "703F5713476173******0010D*********************5A08476173******00105F200F**************"
    "****************5F24032912315F3401019F4A01829000";

struct Row {
    const char* what;
    std::string reply;
    std::string stored;
};

// Left as it stands.
Row same(const char* what, std::string reply) {
    return {what, reply, reply};
}

// n templates "70" around the inner text.
std::string nested(int n, std::string inner) {
    for (int i = 0; i < n; ++i) {
        const size_t length = inner.size() / 2;
        inner = std::string("70") + kHexDigits[length >> 4] + kHexDigits[length & 15] + inner;
    }
    return inner;
}

TEST(CardDataMasking, EachRowIsStoredAsExpected) {
    const Row rows[] = {
        {"READ RECORD: 57, 5A, 5F20", kReadRecord, kReadRecordMasked},
        {"track 1 data (56)",
         "70085606423132333435"
         "9000",
         "70085606************9000"},
        {"contactless track 2 data (9F6B) in a response template",
         "770F9F6B0C5413330089020011D25122019000", "770F9F6B0C541333******0011D*******9000"},
        {"discretionary data (9F1F, 9F20), name (9F0B)",
         "70119F1F033132339F200241429F0B034142439000",
         "70119F1F03******9F2002****9F0B03******9000"},
        {"nested 77 > A5 > BF0C > 61 > 5A", "770FA50DBF0C0A61085A061234567890129000",
         "770FA50DBF0C0A61085A06123456**90129000"},
        {"long-form lengths 81 and 82", "708200115F2081034142435A0847617390010100109000",
         "708200115F208103******5A08476173******00109000"},
        {"19-digit account number padded with F", "700C5A0A1234567890123456789F9000",
         "700C5A0A123456*********6789*9000"},
        {"an account number of ten digits hides them all", "70075A0512345678909000",
         "70075A05**********9000"},
        {"lower-case hex, separator d kept", "700a5a0812345678901234569000",
         "700a5a08123456******34569000"},
        {"track 2 without its separator is hidden whole", "70085706476173900101",
         "70085706************"},
        {"lower-case track 2", "700d570b4761739001010010d2912f9000",
         "700d570b476173******0010d*****9000"},
        {"padding 00 between data objects", "700C00005A0847617390010100109000",
         "700C00005A08476173******00109000"},
        {"data objects without a status word", "700A5A084761739001010010",
         "700A5A08476173******0010"},
        {"nested sixteen deep", nested(16, "5A084761739001010010") + "9000",
         nested(16, "5A08476173******0010") + "9000"},
        same("answer-to-reset", "3B6800008066435A51499000"),
        same("FCI", "6F1A8407A0000000031010A50F500A564953412044454249548701019000"),
        same("GET CHALLENGE", "1F2E3D4C5B6A79889000"),
        same("status word only", "9000"),
        same("error status word", "6A82"),
        same("TLV without card-holder data", "70049F4A01829000"),
        same("truncated template", "703F57134761739001010010D29122011234567890123F9000"),
        same("value longer than its template", "70055A084761739001010010"),
        same("odd length", "70075A05123456789090000"),
        same("not hex", "70075A05123456789Z9000"),
        same("already masked", kReadRecordMasked),
        same("indefinite length", "70805A08476173900101001000009000"),
        same("five length octets", "70850000000A5A0847617390010100109000"),
        same("nested deeper than a card's records go", nested(17, "5A084761739001010010") + "9000"),
        same("empty", ""),
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(mask_chip_data(row.reply), row.stored);
        EXPECT_EQ(mask_card_data("mstrChipCardData:" + row.reply),
                  "mstrChipCardData:" + row.stored);
    }
    // Only the chip data message carries chip data.
    for (const std::string& other :
         {std::string("Event ChipDataReceived461"), "Qor_ChipTrnsp err:" + std::string(kReadRecord),
          "mstrchipcarddata:" + std::string(kReadRecord)})
        EXPECT_EQ(mask_card_data(other), other);
}

TEST(CardDataMasking, StoredInTheClearOnlyWhenTheSettingSaysClear) {
    const std::string message = "mstrChipCardData:" + std::string(kReadRecord);
    const std::string masked = "mstrChipCardData:" + std::string(kReadRecordMasked);
    {
        EnvGuard unset("CZQIC_LOG_CARD_DATA", nullptr);
        EXPECT_EQ(stored_log_message(message), masked);
    }
    for (const char* other : {"", "yes", "Clear", "clear ", "1"}) {
        EnvGuard setting("CZQIC_LOG_CARD_DATA", other);
        EXPECT_EQ(stored_log_message(message), masked) << other;
    }
    EnvGuard clear("CZQIC_LOG_CARD_DATA", "clear");
    EXPECT_EQ(stored_log_message(message), message);
}

}  // namespace
}  // namespace czqic
