// The class's surface: creation and termination against the shared form, the property
// accessors, the status refresh and its precedence, and the member table.
#include "tests/support/harness.h"
#include "tests/support/scratch.h"

namespace czqic::testing {
namespace {

TEST(Lifecycle, FirstObjectLoadsTheFormAndEveryObjectNamesTheDevice) {
    Harness h;
    EXPECT_FALSE(h.rt.form_loaded());
    auto a = h.make_reader();
    EXPECT_TRUE(h.rt.form_loaded());
    auto b = h.make_reader();
    EXPECT_EQ(h.device->control_instances_created(), 1);
    EXPECT_THAT(h.journal(), ElementsAre(R"(put: deviceName = "CARDREADER_ZQICR")",
                                         R"(put: deviceName = "CARDREADER_ZQICR")"));
    EXPECT_EQ(a->reader_status(), 1);
    EXPECT_EQ(a->card_taken_limit(), 3);
    EXPECT_EQ(a->ReadTrack(1), "");
    EXPECT_EQ(a->ReadTrackLen(3), 0);
}

TEST(Lifecycle, ReleasingOneObjectClosesTheControlAndUnloadsTheFormForAll) {
    OneReader h;
    auto b = h.make_reader();
    ASSERT_EQ(b->CardReaderInit(), kOk);
    EXPECT_TRUE(h.device->opened());
    h.clear_records();
    h.r.reset();
    EXPECT_FALSE(h.rt.form_loaded());
    EXPECT_FALSE(h.rt.has_log_writer());
    EXPECT_THAT(h.journal(), ElementsAre("call: close()"));

    // The survivor's next operation loads a fresh control that nobody named or opened.
    EXPECT_EQ(b->CardReaderReset(), kOk);
    EXPECT_EQ(h.device->control_instances_created(), 2);
    EXPECT_FALSE(h.device->opened());
    EXPECT_THAT(h.journal_matching("put:"), IsEmpty());
    EXPECT_THAT(h.journal_matching("call: open"), IsEmpty());
}

TEST(Lifecycle, TheFormsOwnObjectTerminatesOnceWhenTheFormUnloads) {
    OneReader h;
    own_reader(h.rt.form());  // what a panel button or a Timer1 tick creates
    h.clear_records();
    h.r.reset();  // the client's
    // The client's close, then the form's own object's close during the unload; its
    // request to unload again finds the unload under way and does nothing.
    EXPECT_THAT(h.journal(), ElementsAre("call: close()", "call: close()"));
    EXPECT_FALSE(h.rt.form_loaded());
    EXPECT_THAT(h.failures, IsEmpty());
}

TEST(Lifecycle, ATerminationThatFailsStopsThereAndIsReported) {
    OneReader h(R"({"on": {"close": [{"fail": "port gone"}]}})");
    h.r.reset();
    // The close failed, so the form was not unloaded and the log writer not dropped.
    EXPECT_TRUE(h.rt.form_loaded());
    ASSERT_EQ(h.failures.size(), 1u);
    EXPECT_THAT(h.failures[0], ::testing::HasSubstr("port gone"));
}

TEST(Lifecycle, CreationFailsWhenTheControlRefusesItsName) {
    Harness h;
    h.classes.unregister_class(kControlProgId);
    EXPECT_EQ(error_from([&] { h.make_reader(); }).number(), rt_error::kCannotCreateObject);
    EXPECT_FALSE(h.rt.form_loaded());
}

// Labs and tests put another control in the vendor's place by naming its ProgID.
TEST(Lifecycle, TheFormCreatesTheControlNamedByTheEnvironment) {
    Harness h;
    h.classes.register_class("Lab.KXCardReader", "", [&h]() -> std::shared_ptr<Object> {
        return h.device->create_control();
    });
    h.classes.unregister_class(kControlProgId);
    EnvGuard lab(kControlProgIdVariable, "Lab.KXCardReader");
    EXPECT_NO_THROW(h.make_reader());
    EnvGuard unset(kControlProgIdVariable, nullptr);
    EXPECT_EQ(control_progid(), kControlProgId);
}

struct StatusRow {
    const char* device;
    const char* media;
    const char* bin;
    bool bin_flag;
    bool entry_enabled;
    int32_t status;
    int32_t flag_after;
};

// Fault hides everything; a full bin (with the flag) hides a card; then the media.
const StatusRow kStatusRows[] = {
    {"ONLINE", "NOMEDIA", "BINOK", false, false, 1, 0},
    {"ONLINE", "NOMEDIA", "BINOK", false, true, 4, 1},
    {"ONLINE", "INJAWS", "BINOK", false, true, 2, 0},
    {"ONLINE", "PRESENT", "BINOK", false, true, 5, 0},
    {"ONLINE", "JAMMED", "BINOK", false, true, 3, 0},
    {"FATAL", "PRESENT", "BINFULL", true, true, 3, 0},
    {"ONLINE", "PRESENT", "BINFULL", true, true, 6, 1},
    {"ONLINE", "PRESENT", "BINFULL", false, true, 5, 0},
    {"ONLINE", "NOMEDIA", "BINOK", true, false, 1, 0},
    {"fatal", "present", "BINFULL", true, false, 6, 0},  // comparisons are case-sensitive
    {"ONLINE", "PRESENT ", "BINOK", false, true, 4, 1},
};

TEST(Status, PrecedenceOfFaultBinAndMedia) {
    for (const StatusRow& row : kStatusRows) {
        SCOPED_TRACE(std::string(row.device) + " " + row.media + " " + row.bin);
        OneReader h;
        if (row.entry_enabled) {
            ASSERT_EQ(h.r->CardReaderEnable(), kOk);
        }
        h.device->set("device", row.device);
        h.device->set("media", row.media);
        h.device->set("bin", row.bin);
        h.device->set("binFlag", row.bin_flag ? "true" : "false");
        EXPECT_EQ(h.r->CardReaderStatus(), row.status);
        EXPECT_EQ(h.r->entry_enabled(), row.flag_after);
        EXPECT_EQ(h.rt.form().timer1().enabled(), row.status == 3);
    }
}

TEST(Status, ReadsBothFaultIndicatorsBeforeDecidingAndTheBinPairTogether) {
    OneReader h;
    h.r->CardReaderStatus();
    EXPECT_THAT(h.journal(), ElementsAre("get: mediaState", "get: deviceState", "get: binState",
                                         "get: binFlag", "get: mediaState"));
}

TEST(Status, EntryFlagIsPerObject) {
    OneReader h;
    auto b = h.make_reader();
    ASSERT_EQ(h.r->CardReaderEnable(), kOk);
    EXPECT_EQ(h.r->CardReaderStatus(), 4);
    EXPECT_EQ(b->CardReaderStatus(), 1);
}

TEST(Status, FaultTimerIsSwitchedOnOnlyWhenOffAndOffOnlyWhenOn) {
    OneReader h;
    h.device->set("device", "FATAL");
    h.r->CardReaderStatus();
    const int64_t first_tick = h.loop.next_due_ms();
    EXPECT_EQ(first_tick, h.now_ms() + kTimer1IntervalMs);
    // A later refresh during the same fault must not restart the 30-second period.
    h.clock.sleep_ms(20000);
    h.r->CardReaderStatus();
    EXPECT_EQ(h.loop.next_due_ms(), first_tick);
    h.device->set("device", "ONLINE");
    h.r->CardReaderStatus();
    EXPECT_FALSE(h.rt.form().timer1().enabled());
}

TEST(Status, AFailingReadStopsTheRefreshAndKeepsThePreviousStatus) {
    OneReader h(R"({"state": {"failGets": {"binState": "bin sensor offline"}}})");
    ASSERT_EQ(h.r->CardReaderEnable(), kOk);
    EXPECT_EQ(error_from([&] { h.r->CardReaderStatus(); }).description(), "bin sensor offline");
    EXPECT_EQ(h.r->reader_status(), 1);
    EXPECT_EQ(h.r->entry_enabled(), 1);
    h.clear_records();
    EXPECT_EQ(h.r->CardReaderGetStatus(), kFailed);
    EXPECT_THAT(h.log(), ElementsAre("CardReaderGetStatus err:bin sensor offline"));
}

TEST(Properties, WriteTrackLengthConvertsOrLeavesTheOldValue) {
    OneReader h;
    h.r->WriteTrackLen(1, "12");
    EXPECT_EQ(h.r->write_track_len(1), 12);
    EXPECT_THROW(h.r->WriteTrackLen(1, "abc"), AutomationError);
    EXPECT_EQ(h.r->write_track_len(1), 12);
    EXPECT_EQ(error_from([&] { h.r->WriteTrackLen(2, "99999999999"); }).hresult(), 0x800A0006u);
    EXPECT_EQ(h.r->write_track_len(2), 0);
}

TEST(Properties, ChipDataIsProcessWideAndVersionTextEmpty) {
    OneReader h;
    auto b = h.make_reader();
    h.r->ChipCardData("00A40400");
    EXPECT_EQ(b->ChipCardData(), "00A40400");
    EXPECT_EQ(b->CardVer(), "");
}

TEST(Properties, GsrvReturnsTheControlsTextUnchangedOrFails) {
    OneReader h(R"({"state": {"lastErrorCode": " E-17 "}})");
    EXPECT_EQ(h.r->GSRV(), " E-17 ");
    EXPECT_THAT(h.journal_matching("call:"), ElementsAre(R"(call: query("LastErrorCode"))"));

    OneReader failing(R"({"on": {"query": [{"fail": "no such key"}]}})");
    EXPECT_THROW(failing.r->GSRV(), AutomationError);
}

TEST(Properties, ResetDoesNothingAtAll) {
    OneReader h;
    h.rt.status_word = 405;
    EXPECT_EQ(h.r->Reset(), kOk);
    EXPECT_EQ(h.rt.status_word, 405);
    EXPECT_THAT(h.journal(), IsEmpty());
    EXPECT_THAT(h.log(), IsEmpty());
}

TEST(Members, TableHoldsThe32MembersInSlotOrder) {
    ASSERT_EQ(kMembers.size(), 32u);
    EXPECT_EQ(kMembers.front().name, "CardReaderStatus");
    EXPECT_EQ(kMembers[13].name, "CardReaderClear");
    EXPECT_EQ(kMembers[13].dispid, 0x60030014);
    EXPECT_EQ(kMembers[28].kind, MemberKind::PropertyGet);
    EXPECT_EQ(kMembers[29].kind, MemberKind::PropertyLet);
    EXPECT_EQ(kMembers[28].dispid, kMembers[29].dispid);
    EXPECT_EQ(kMembers.back().name, "CardVer");
    for (size_t i = 0; i < kMembers.size(); ++i)
        for (size_t j = i + 1; j < kMembers.size(); ++j)
            if (kMembers[i].dispid == kMembers[j].dispid) {
                EXPECT_EQ(kMembers[i].name, "ChipCardData") << kMembers[j].name;
            }
}

TEST(Members, InvocationByIdentifierAndByName) {
    OneReader h;
    ColsZQICCardReader& r = *h.r;
    h.device->set("media", "PRESENT");
    // The method-range form of a property's identifier reaches the property.
    EXPECT_EQ(std::get<int32_t>(invoke(r, 0x60030011, InvokeKind::Method).v), 5);
    EXPECT_EQ(std::get<int32_t>(invoke(r, 0x68030011, InvokeKind::PropertyGet).v), 5);
    Value text("3B00");
    invoke(r, "chipcarddata", InvokeKind::PropertyPut, {&text, 1});
    EXPECT_EQ(*std::get<Text>(invoke(r, 0x68030002, InvokeKind::PropertyGet).v), "3B00");
    Value limit(int16_t{30});
    invoke(r, 0x68030004, InvokeKind::PropertyPut, {&limit, 1});
    EXPECT_EQ(r.card_taken_limit(), 30);
    EXPECT_EQ(std::get<int32_t>(invoke(r, "Reset", InvokeKind::Method).v), 0);
}

TEST(Members, InvocationFailures) {
    OneReader h;
    ColsZQICCardReader& r = *h.r;
    auto number_of = [](auto&& call) { return error_from(call).number(); };
    EXPECT_EQ(number_of([&] { invoke(r, 0x12345, InvokeKind::Method); }), rt_error::kNoSuchMember);
    EXPECT_EQ(number_of([&] { invoke(r, "WriteTrack1", InvokeKind::PropertyGet); }),
              rt_error::kNoSuchMember);
    EXPECT_EQ(number_of([&] { invoke(r, "CardVer", InvokeKind::PropertyPut); }),
              rt_error::kNoSuchMember);
    EXPECT_EQ(number_of([&] { invoke(r, "WriteTrack1", InvokeKind::PropertyPut); }),
              static_cast<int32_t>(kDispEBadParamCount));
    Value bad("abc");
    EXPECT_EQ(number_of([&] {
                  invoke(r, "WriteTrack3Len", InvokeKind::PropertyPut, {&bad, 1});
              }),
              rt_error::kTypeMismatch);
}

// A sink that fails the test if the component ever calls it.
struct NeverCalled final : EventSink {
    void on_event(std::string_view name, std::span<const Value>) override {
        ADD_FAILURE() << "event delivered: " << name;
    }
};

TEST(Events, AConnectedClientSinkIsNeverCalled) {
    OneReader h;
    auto& events = h.r->events();
    auto sink = std::make_shared<NeverCalled>();  // the source holds it weakly
    const uint32_t cookie = events.advise(sink);
    EXPECT_EQ(events.connections(), 1u);
    EXPECT_EQ(h.r->CardReaderInit(), kOk);
    h.device->raise("DeviceError");
    h.loop.pump_for(1000);
    events.unadvise(cookie);
    EXPECT_EQ(events.connections(), 0u);
}

}  // namespace
}  // namespace czqic::testing
