// The blocking device methods on the virtual clock: result mappings, log lines in order,
// time limits (also across midnight), events during the start call, the error path,
// and re-entrant pumping.
#include <optional>
#include <span>

#include "component/results.h"
#include "operations/frame.h"
#include "tests/support/harness.h"
#include "tests/support/wait_modes.h"

namespace czqic::testing {
namespace {

CZQIC_IN_EACH_WAIT_MODE(ResetMapping);
CZQIC_IN_EACH_WAIT_MODE(Frame);
CZQIC_IN_EACH_WAIT_MODE(Init);
CZQIC_IN_EACH_WAIT_MODE(Clear);
CZQIC_IN_EACH_WAIT_MODE(Enable);
CZQIC_IN_EACH_WAIT_MODE(Read);
CZQIC_IN_EACH_WAIT_MODE(Return);
CZQIC_IN_EACH_WAIT_MODE(Disable);
CZQIC_IN_EACH_WAIT_MODE(Reentrancy);

struct MappingRow {
    const char* event;  // empty: nothing ever answers
    int32_t result;
};

TEST_P(ResetMapping, EachOutcomeGivesItsResult) {
    const MappingRow rows[] = {
        {"ResetComplete", kOk},     {"CardCaptured", kCaptured}, {"Timeout", kFailed},
        {"DeviceError", kFailed},   {"CardAccepted", kFailed},   {"", kTimedOut},
        {"CardEjected", kTimedOut},  // stores nothing, so the wait runs on
    };
    for (const char* member : {"reset", "retain"}) {
        for (const MappingRow& row : rows) {
            SCOPED_TRACE(std::string(member) + " " + row.event);
            OneReader h(answer(member, row.event));
            const int32_t result =
                std::string(member) == "reset" ? h.r->CardReaderReset() : h.r->CardReaderRetain();
            EXPECT_EQ(result, row.result);
        }
    }
}

TEST_P(ResetMapping, ResetLogsAroundTheEventAndCancelsTheWaitFirst) {
    OneReader h(answer("reset", "ResetComplete"));
    EXPECT_EQ(h.r->CardReaderReset(), kOk);
    // The built-in reader confirms the cancelled wait before the reset completes.
    EXPECT_THAT(h.log(), ElementsAre("CardReaderReset:10120100", "Event WaitCancelled10120100",
                                     "Event ResetComplete404", "CardReaderReset end:404"));
    EXPECT_THAT(h.journal(), ElementsAre("call: cancelWait()", R"(call: reset("EJECT"))"));
}

TEST_P(ResetMapping, RetainCancelsTheWaitBeforeRetainingEvenWithNothingPending) {
    OneReader h(answer("retain", "CardCaptured"));
    EXPECT_EQ(h.r->CardReaderRetain(), kCaptured);
    EXPECT_THAT(h.journal_matching("call:"), ElementsAre("call: cancelWait()", "call: retain()"));
    EXPECT_THAT(h.log(), ElementsAre("CardReaderRetain:10120100", "Event WaitCancelled10120100",
                                     "Event CardCaptured412", "CardReaderRetain end:412"));
}

TEST_P(Frame, AnEventDuringTheStartCallEndsTheWaitWithoutSleeping) {
    OneReader h(answer("reset", "ResetComplete", true));
    const auto reset = h.timed_call(&ColsZQICCardReader::CardReaderReset);
    EXPECT_EQ(reset.ms, 0);
    EXPECT_EQ(reset.result, kOk);
    // The start line follows the calls, so it already shows the event's value.
    EXPECT_THAT(h.log(), ElementsAre("Event ResetComplete404", "CardReaderReset:404",
                                     "CardReaderReset end:404"));
}

struct ArrivalRow {
    const char* name;
    std::string scenario;
    OneReader::Op op;
    int64_t standard_ms, responsive_ms;
};

// The whole passes of the standard wait see an outcome at the first test after a pass
// boundary; the responsive wait cuts the sleep the outcome arrives in short, and a pass
// whose pump ran the outcome's event ends without sleeping.
TEST_P(Frame, TheResponsiveWaitSeesAnOutcomeInThePassItArrivesIn) {
    const ArrivalRow rows[] = {
        {"chip reply after 100 ms (sleep, then pump)",
         R"({"on": {"chipSend": [{"events": [
             {"event": "ChipDataReceived", "afterMs": 100, "data": "9000"}]}]}})",
         [](auto& r) {
             r.ChipCardData("0084000008");
             return r.Qor_ChipTrnsp();
         },
         300, 100},
        {"card taken after 1000 ms (sleep, then pump)", answer("eject", "CardTaken", false, 1000),
         [](auto& r) { return r.CardReaderReturn(); }, 1200, 1000},
        {"reset after 700 ms (pump, then sleep)", answer("reset", "ResetComplete", false, 700),
         [](auto& r) { return r.CardReaderReset(); }, 1200, 700},
    };
    for (const ArrivalRow& row : rows) {
        SCOPED_TRACE(row.name);
        const auto outcome = OneReader(row.scenario).timed_call(row.op);
        EXPECT_EQ(outcome.result, kOk);
        EXPECT_EQ(outcome.ms, responsive() ? row.responsive_ms : row.standard_ms);
    }
}

TEST(FrameClock, ElapsedSecondsRoundHalfToEvenAndWrapAtMidnight) {
    EXPECT_EQ(elapsed_seconds(100.0, 100.4), 0);
    EXPECT_EQ(elapsed_seconds(100.0, 100.5), 0);
    EXPECT_EQ(elapsed_seconds(100.0, 101.5), 2);
    EXPECT_EQ(elapsed_seconds(86390.0, 5.0), 15);
    EXPECT_EQ(elapsed_seconds(86399.9, 0.1), 0);
    EXPECT_EQ(elapsed_seconds(10.0, 9.0), 86399);
}

// Each operation's mapping as a reader of the log applies it: the final status word an
// end line shows gives the result the client was given, or nothing where it cannot.
TEST(ResultFor, EachOperationMapsTheStatusWordItEndedOn) {
    struct Row {
        const char* operation;
        int32_t status;
        std::optional<int32_t> result;
    };
    constexpr int32_t pending = 10120100;
    const Row rows[] = {
        {"CardReaderInit", 404, kOk},  // its own reset decides
        {"CardReaderInit", 412, kCaptured},
        {"CardReaderReset", 404, kOk},
        {"CardReaderReset", 412, kCaptured},
        {"CardReaderReset", 413, kEndedOn413},
        {"CardReaderReset", pending, kTimedOut},
        {"CardReaderReset", 23, kFailed},
        {"CardReaderRetain", 412, kCaptured},
        {"CardReaderRetain", 405, kFailed},
        {"CardReaderClear", 0, kOk},
        {"CardReaderClear", 5, kFailed},
        {"CardReaderEnable", 0, kOk},
        {"CardReaderEnable", 405, kOk},
        {"CardReaderEnable", 460, kOk},
        {"CardReaderEnable", pending, kFailed},
        {"CardReaderRead", 405, std::nullopt},  // the tracks decide
        {"CardReaderRead", 419, kFailed},
        {"CardReaderRead", pending, kFailed},
        {"CardReaderWrite", 409, kOk},
        {"CardReaderWrite", pending, kTimedOut},
        {"CardReaderWrite", 23, kFailed},
        {"CardReaderReturn", 411, kOk},
        {"CardReaderReturn", 0, kOk},
        {"CardReaderReturn", pending, kTimedOut},
        {"CardReaderReturn", 412, kFailed},
        {"CardReaderDisable", pending, kOk},
        {"QOR_WaitChip", 460, kOk},
        {"QOR_WaitChip", 461, kOk},
        {"QOR_WaitChip", pending, kTimedOut},
        {"QOR_WaitChip", 462, kFailed},
        {"Qor_ChipTrnsp", 461, kOk},
        {"Qor_ChipTrnsp", 460, kFailed},
        {"Qor_ChipTrnsp", pending, kTimedOut},
        {"CardReaderGetStatus", 0, std::nullopt},
        {"Reset", 0, std::nullopt},
        {"Event ResetComplete", 404, std::nullopt},
    };
    for (const Row& row : rows)
        EXPECT_EQ(result_for(row.operation, row.status), row.result)
            << row.operation << " ending on " << row.status;
}

struct LimitRow {
    const char* name;
    std::string scenario;
    OneReader::Op op;
    int64_t min_ms, max_ms;
    int32_t result;
};

TEST_P(Frame, EachWaitEndsHalfASecondBeforeItsLimitAtTheLatest) {
    const std::string silent_reset = answer("reset", "");
    const LimitRow rows[] = {
        {"reset 60 s", silent_reset, [](auto& r) { return r.CardReaderReset(); }, 59500, 60000,
         kTimedOut},
        {"retain 60 s", answer("retain", ""), [](auto& r) { return r.CardReaderRetain(); }, 59500,
         60000, kTimedOut},
        {"chip 60 s", answer("chipInit", ""), [](auto& r) { return r.QOR_WaitChip(); }, 59500,
         60000, kTimedOut},
        {"read 10 s", "", [](auto& r) { return r.CardReaderRead(); }, 9500, 10000, kFailed},
        {"return 3 s", answer("eject", ""), [](auto& r) { return r.CardReaderReturn(); }, 2500,
         3000, kTimedOut},
        {"return 30 s", answer("eject", ""),
         [](auto& r) {
             r.TimeOutCard(30);
             return r.CardReaderReturn();
         },
         29500, 30000, kTimedOut},
        {"return 0 s", answer("eject", ""),
         [](auto& r) {
             r.TimeOutCard(0);
             return r.CardReaderReturn();
         },
         0, 0, kTimedOut},
        {"return -5 s", answer("eject", ""),
         [](auto& r) {
             r.TimeOutCard(-5);
             return r.CardReaderReturn();
         },
         0, 0, kTimedOut},
        {"disable 1 s", answer("cancelAccept", ""),
         [](auto& r) {
             r.CardReaderEnable();
             return r.CardReaderDisable();
         },
         500, 1000, kOk},
    };
    for (double start : {12 * 3600.0, 23 * 3600.0 + 59 * 60 + 50}) {
        for (const LimitRow& row : rows) {
            SCOPED_TRACE(std::string(row.name) + " from " + std::to_string(start));
            const auto outcome = OneReader(row.scenario, start).timed_call(row.op);
            EXPECT_GE(outcome.ms, row.min_ms);
            EXPECT_LE(outcome.ms, row.max_ms);
            EXPECT_EQ(outcome.result, row.result);
        }
    }
}

TEST_P(Frame, AFailingControlCallWritesOneErrorLineAndLeavesThePendingMark) {
    OneReader h(R"({"on": {"reset": [{"fail": "Device not ready"}]}})");
    EXPECT_EQ(h.r->CardReaderReset(), kFailed);
    EXPECT_EQ(h.rt.status_word, kPending);
    EXPECT_THAT(h.log(), ElementsAre("CardReaderReset err:Device not ready"));
}

TEST_P(Frame, WhenTheErrorLineCannotBeWrittenTheMethodFailsAsACall) {
    OneReader h(R"({"on": {"reset": [{"fail": "Device not ready"}]}})");
    h.fail_writing(
        [](const std::string& message) { return message.find(" err:") != std::string::npos; });
    EXPECT_EQ(error_from([&] { h.r->CardReaderReset(); }).description(), "Disk full");
}

TEST_P(Frame, AStartLineThatCannotBeWrittenTakesTheErrorPath) {
    OneReader h;
    h.fail_writing(
        [](const std::string& message) { return message.starts_with("CardReaderReturn:"); });
    EXPECT_EQ(h.r->CardReaderReturn(), kFailed);
    EXPECT_THAT(h.log(), ElementsAre("CardReaderReturn err:Disk full"));
    // The line comes before the eject, so the card was never ejected.
    EXPECT_THAT(h.journal_matching("call:"), IsEmpty());
}

TEST_P(Init, OpensThenResetsAndReturnsTheResetsResult) {
    OneReader h;
    EXPECT_EQ(h.r->CardReaderInit(), kOk);
    EXPECT_THAT(h.log(), ElementsAre("CardReaderInit:10120100", "Event ConnectionOpened403",
                                     "CardReaderInit end:403", "CardReaderReset:10120100",
                                     "Event WaitCancelled10120100", "Event ResetComplete404",
                                     "CardReaderReset end:404"));
    EXPECT_THAT(h.journal_matching("call:"),
                ElementsAre("call: open()", "call: cancelWait()", R"(call: reset("EJECT"))"));
}

TEST_P(Init, AFailedOpenDoesNotStopTheReset) {
    EXPECT_EQ(OneReader(answer("open", "DeviceError", true)).r->CardReaderInit(), kOk);
}

TEST_P(Init, ADeviceThatNeverAnswersTakesTwoMinutes) {
    OneReader h(R"({"on": {"open": [{}], "cancelWait": [{}], "reset": [{}]}})");
    const auto init = h.timed_call(&ColsZQICCardReader::CardReaderInit);
    EXPECT_EQ(init.result, kTimedOut);
    EXPECT_GE(init.ms, 119000);
    EXPECT_LE(init.ms, 120000);
    EXPECT_THAT(h.log(), ElementsAre("CardReaderInit:10120100", "CardReaderInit end:10120100",
                                     "CardReaderReset:10120100", "CardReaderReset end:10120100"));
}

struct SyncRow {
    const char* returns;  // JSON
    int32_t result;
    int32_t status;
};

// Each row's call on a fresh reader whose member returns the row's answer at once: the
// result and the status word it stores, then the method's own checks.
void expect_sync_rows(std::span<const SyncRow> rows, const char* member, OneReader::Op op,
                      const std::function<void(OneReader&, const SyncRow&)>& more) {
    for (const SyncRow& row : rows) {
        SCOPED_TRACE(row.returns);
        OneReader h(returning(member, row.returns));
        EXPECT_EQ(op(*h.r), row.result);
        EXPECT_EQ(h.rt.status_word, row.status);
        more(h, row);
    }
}

TEST_P(Clear, StoresTheControlsAnswerAndWritesNoLine) {
    const SyncRow rows[] = {{"0", kOk, 0},
                            {"5", kFailed, 5},
                            {"-32768", kFailed, -32768},
                            {"70000", kFailed, kPending},
                            {"\"7\"", kFailed, 7},
                            {"\"x\"", kFailed, kPending}};
    expect_sync_rows(rows, "clear", &ColsZQICCardReader::CardReaderClear,
                     [](OneReader& h, const SyncRow& row) {
                         // Only an answer that is no Integer takes the error path and its line.
                         EXPECT_EQ(h.log().size(), row.status == kPending ? 1u : 0u);
                     });
}

TEST_P(Enable, MapsTheImmediateAnswerAndAlwaysOpensEntry) {
    const SyncRow rows[] = {{"0", kOk, 0},
                            {"405", kOk, 405},
                            {"460", kOk, 460},
                            {"1", kFailed, 1},
                            {"32768", kFailed, kPending}};
    expect_sync_rows(rows, "acceptAndRead", &ColsZQICCardReader::CardReaderEnable,
                     [](OneReader& h, const SyncRow& row) {
                         EXPECT_EQ(h.r->entry_enabled(), row.status == kPending ? 0 : 1);
                         EXPECT_THAT(h.log(), ElementsAre(row.status != kPending
                                                              ? "CardReaderEnable end:" +
                                                                    std::to_string(row.status)
                                                              : "CardReaderEnable err:Overflow"));
                         EXPECT_THAT(h.journal_matching("call:"),
                                     ElementsAre(R"(call: acceptAndRead("1,2,3", -1))"));
                     });
}

TEST_P(Enable, ACardAcceptedInsideTheCallIsReadAtOnce) {
    OneReader h(R"({"on": {"acceptAndRead": [{"returns": 0, "events": [
        {"event": "CardAccepted", "during": true, "set": {"media": "PRESENT"}}]}]}})");
    EXPECT_EQ(h.r->CardReaderEnable(), kOk);
    EXPECT_EQ(h.rt.status_word, 405);
    EXPECT_EQ(h.r->entry_enabled(), 1);
    const auto read = h.timed_call(&ColsZQICCardReader::CardReaderRead);
    EXPECT_EQ(read.ms, 0);
    EXPECT_EQ(read.result, kOk);
}

TEST_P(Read, CollectsTheTracksOfTheAcceptedCard) {
    OneReader h;
    ASSERT_EQ(h.r->CardReaderEnable(), kOk);
    h.clear_records();
    EXPECT_EQ(h.r->CardReaderRead(), kOk);
    EXPECT_EQ(h.r->entry_enabled(), 0);
    const auto& tracks = h.device->state().tracks;
    EXPECT_EQ(h.r->ReadTrack(1), tracks[0].data);
    EXPECT_EQ(h.r->ReadTrackLen(2), static_cast<int32_t>(tracks[1].data.size()));
    EXPECT_THAT(h.log(), ElementsAre("CardReaderRead start:0 1", "Event CardAccepted405",
                                     "CardReaderRead Start end :405"));
    // Track 2 first, then 3, then 1; data only for tracks that were read.
    EXPECT_THAT(h.journal_matching("get: track"),
                ElementsAre("get: track2Status", "get: track2Data", "get: track3Status",
                            "get: track3Data", "get: track1Status", "get: track1Data"));
}

struct TrackRow {
    const char* statuses[3];
    const char* data[3];
    int32_t result;
    int32_t lengths[3];
};

TEST_P(Read, OnlyReadAndInvalidTracksDeliverData) {
    const TrackRow rows[] = {
        {{"MISSING", "READ", "MISSING"}, {"x", "123", "y"}, kOk, {0, 3, 0}},
        {{"INVALID", "NOTREAD", ""}, {"abc", "d", "e"}, kOk, {3, 0, 0}},
        {{"read", "READ ", "Read"}, {"a", "b", "c"}, kFailed, {0, 0, 0}},
        {{"READ", "READ", "READ"}, {"", "", ""}, kFailed, {0, 0, 0}},
        // Length counts characters as the platform's strings do.
        {{"READ", "MISSING", "MISSING"}, {"\xC3\xA9t\xC3\xA9", "", ""}, kOk, {3, 0, 0}},
    };
    for (const TrackRow& row : rows) {
        SCOPED_TRACE(row.statuses[0]);
        Harness h;
        for (int i = 0; i < 3; ++i) {
            h.device->state().tracks[i].status = row.statuses[i];
            h.device->state().tracks[i].data = row.data[i];
        }
        auto r = h.make_reader();
        h.rt.status_word = 405;
        EXPECT_EQ(r->CardReaderRead(), row.result);
        for (int t = 1; t <= 3; ++t) EXPECT_EQ(r->ReadTrackLen(t), row.lengths[t - 1]) << t;
    }
}

TEST_P(Read, ACardAcceptedBeforeTheCallIsNotLost) {
    OneReader h;
    ASSERT_EQ(h.r->CardReaderEnable(), kOk);
    h.loop.pump_for(2000);  // the client's own message loop sees the card arrive
    ASSERT_EQ(h.rt.status_word, 405);
    const auto read = h.timed_call(&ColsZQICCardReader::CardReaderRead);
    EXPECT_EQ(read.ms, 0);
    EXPECT_EQ(read.result, kOk);
}

TEST_P(Read, AnAcceptedCardOverwrittenByCardReadIsNotSeen) {
    OneReader h;
    h.r->ReadTrack(1);
    h.device->raise("CardAccepted");
    h.device->raise("CardRead");
    h.loop.pump();
    const auto read = h.timed_call(&ColsZQICCardReader::CardReaderRead);
    EXPECT_EQ(read.result, kFailed);
    EXPECT_GE(read.ms, 9500);
}

TEST_P(Read, NoCardKeepsThePreviousTracks) {
    OneReader h;
    h.rt.status_word = 405;
    ASSERT_EQ(h.r->CardReaderRead(), kOk);
    const std::string track1 = h.r->ReadTrack(1);
    h.rt.status_word = 23;
    h.clear_records();
    EXPECT_EQ(h.r->CardReaderRead(), kFailed);
    EXPECT_EQ(h.r->ReadTrack(1), track1);
    EXPECT_THAT(h.log(), ElementsAre("CardReaderRead start:23 0", "CardReaderRead Start end :23"));
}

TEST_P(Return, MapsTakenAndCancelsTheWaitOtherwise) {
    const MappingRow rows[] = {{"CardTaken", kOk}, {"DeviceError", kFailed}, {"", kTimedOut}};
    for (const MappingRow& row : rows) {
        SCOPED_TRACE(row.event);
        OneReader h(answer("eject", row.event, false, 1000));
        EXPECT_EQ(h.r->CardReaderReturn(), row.result);
        std::vector<std::string> calls{"call: eject(-1)"};
        if (row.result != kOk) calls.push_back("call: cancelWait()");
        EXPECT_EQ(h.journal_matching("call:"), calls);
        EXPECT_EQ(h.log().front(), "CardReaderReturn:10120100");
    }
}

TEST_P(Return, TheBuiltInReadersCardIsTakenWithinTheDefaultLimit) {
    OneReader h;
    EXPECT_EQ(h.r->CardReaderReturn(), kOk);
    EXPECT_THAT(h.log(), ElementsAre("CardReaderReturn:10120100", "Event CardEjected10120100",
                                     "Event CardTaken411", "CardReaderReturn end:411"));
}

TEST_P(Disable, CancelsOnlyAnOpenEntryWithoutACard) {
    {
        OneReader h;
        ASSERT_EQ(h.r->CardReaderEnable(), kOk);
        h.clear_records();
        EXPECT_EQ(h.r->CardReaderDisable(), kOk);
        EXPECT_EQ(h.r->entry_enabled(), 0);
        EXPECT_THAT(h.journal_matching("call:"), ElementsAre("call: cancelAccept()"));
        EXPECT_THAT(h.log(), ElementsAre("CardReaderDisable:0", "Event CardAcceptCancelled416",
                                         "CardReaderDisable end:0"));
        h.clear_records();
        EXPECT_EQ(h.r->CardReaderDisable(), kOk);
        EXPECT_THAT(h.log(), ElementsAre("CardReaderDisable:0"));
    }
    {
        OneReader h;
        ASSERT_EQ(h.r->CardReaderEnable(), kOk);
        h.rt.status_word = 405;
        h.clear_records();
        EXPECT_EQ(h.r->CardReaderDisable(), kOk);
        EXPECT_EQ(h.r->entry_enabled(), 1);
        EXPECT_THAT(h.journal(), IsEmpty());
        EXPECT_THAT(h.log(), ElementsAre("CardReaderDisable:405"));
    }
}

TEST_P(Disable, StatusWordEventsDoNotEndItsWait) {
    OneReader h(answer("cancelAccept", "DeviceError", true));
    ASSERT_EQ(h.r->CardReaderEnable(), kOk);
    const auto disable = h.timed_call(&ColsZQICCardReader::CardReaderDisable);
    EXPECT_GE(disable.ms, 500);
    EXPECT_EQ(disable.result, kOk);
    EXPECT_EQ(h.r->entry_enabled(), 0);
}

TEST_P(Reentrancy, AnotherObjectsOperationInsideAWaitDecidesTheOuterResult) {
    Harness h(answer("eject", "", false));
    auto outer = h.make_reader();
    auto inner = h.make_reader();
    int32_t inner_result = -1;
    // A client message handler that runs while the return waits.
    h.loop.post([&] { inner_result = inner->CardReaderReset(); }, 500);
    outer->TimeOutCard(30);
    EXPECT_EQ(outer->CardReaderReturn(), kFailed);  // it sees the reset's 404
    EXPECT_EQ(inner_result, kOk);
    EXPECT_EQ(h.rt.status_word, 404);
}

TEST_P(Reentrancy, ATimeoutEventEndsAWaitAsAFailure) {
    OneReader h(answer("reset", "Timeout", false, 2000));
    EXPECT_EQ(h.r->CardReaderReset(), kFailed);
    EXPECT_EQ(h.rt.status_word, kTimedOut);
}

}  // namespace
}  // namespace czqic::testing
