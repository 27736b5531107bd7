// Track writing: which tracks are attempted, what each logs, where a failing track
// stops the run, and when the texts are cleared.
#include "tests/support/harness.h"
#include "tests/support/wait_modes.h"

namespace czqic::testing {
namespace {

CZQIC_IN_EACH_WAIT_MODE(Write);

TEST_P(Write, WritesEachWritableTrackWithTextInOrderAndClearsTheTexts) {
    OneReader h;
    h.r->WriteTrack(1, "%TRACKONE?");
    h.r->WriteTrack(3, "333");
    EXPECT_EQ(h.r->CardReaderWrite(), kOk);
    EXPECT_THAT(h.log(), ElementsAre("CardReaderWrite1:10120100", "Event CardWritten409",
                                     "CardReaderWrite1 end:409", "CardReaderWrite3:10120100",
                                     "Event CardWritten409", "CardReaderWrite3 end:409"));
    EXPECT_THAT(h.journal_matching("call:"), ElementsAre(R"(call: writeTrack("1", "%TRACKONE?"))",
                                                         R"(call: writeTrack("3", "333"))"));
    // The flag is read for every track, also the one without text.
    EXPECT_EQ(h.journal_matching("get: writable").size(), 3u);
    EXPECT_EQ(h.device->state().tracks[2].data, "333");
    for (int t = 1; t <= 3; ++t) EXPECT_EQ(h.r->write_track_text(t), "");
    h.clear_records();
    EXPECT_EQ(h.r->CardReaderWrite(), kOk);  // nothing left to write
    EXPECT_THAT(h.log(), IsEmpty());
}

TEST_P(Write, UnwritableTracksAreSkippedAndTheTextsStillCleared) {
    OneReader h(R"({"state": {"writable": [false, 0, "False"]}})");
    for (int t = 1; t <= 3; ++t) h.r->WriteTrack(t, "x");
    EXPECT_EQ(h.r->CardReaderWrite(), kOk);
    EXPECT_THAT(h.log(), IsEmpty());
    EXPECT_THAT(h.journal_matching("call:"), IsEmpty());
    EXPECT_EQ(h.r->write_track_text(2), "");
}

TEST_P(Write, AFailingTrackStopsTheRunAndKeepsEveryText) {
    struct Row {
        const char* events;
        int32_t result;
    };
    const Row rows[] = {
        {R"([{"event": "DeviceError", "afterMs": 300}])", kFailed},
        {R"([{"event": "Timeout", "afterMs": 300}])", kFailed},
        {"[]", kTimedOut},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.events);
        OneReader h(on_each_call("writeTrack", std::string(R"({"events": )") + row.events + "}"));
        for (int t = 1; t <= 3; ++t) h.r->WriteTrack(t, "T" + std::to_string(t));
        EXPECT_EQ(h.r->CardReaderWrite(), row.result);
        EXPECT_EQ(h.journal_matching("call: writeTrack").size(), 1u);
        for (int t = 1; t <= 3; ++t) EXPECT_EQ(h.r->write_track_text(t), "T" + std::to_string(t));
    }
}

TEST_P(Write, OnlyTrackTwoSendsTheDigitTwo) {
    OneReader h;
    h.r->WriteTrack(2, "222");
    h.r->WriteTrackLen(2, "1");  // the length is not consulted
    EXPECT_EQ(h.r->CardReaderWrite(), kOk);
    EXPECT_THAT(h.journal_matching("call:"), ElementsAre(R"(call: writeTrack("2", "222"))"));
    EXPECT_THAT(h.log(), ElementsAre("CardReaderWrite2:10120100", "Event CardWritten409",
                                     "CardReaderWrite2 end:409"));
}

TEST_P(Write, AFlagThatIsNoBooleanTakesTheErrorPath) {
    OneReader h(R"({"state": {"writable": [true, "maybe", true]}})");
    h.r->WriteTrack(3, "3");
    EXPECT_EQ(h.r->CardReaderWrite(), kFailed);
    EXPECT_THAT(h.log(), ElementsAre("CardReaderWrite err:Type mismatch"));
    EXPECT_EQ(h.r->write_track_text(3), "3");
}

}  // namespace
}  // namespace czqic::testing
