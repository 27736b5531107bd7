// The host form's handlers for the control's events: what each stores, what it logs,
// the chip reply conversion, and what happens when a handler cannot finish.
#include "component/chip_data.h"
#include "tests/support/harness.h"

namespace czqic::testing {
namespace {

struct EventRow {
    const char* event;
    int32_t status_after;  // the status word starts at 777
    int32_t second_after;  // the second status word starts at 888
    const char* line;
};

const EventRow kEventRows[] = {
    {"CardAccepted", 405, 888, "Event CardAccepted405"},
    {"CardInvalid", 407, 888, "Event CardInvalid407"},
    {"CardAcceptCancelled", 777, 416, "Event CardAcceptCancelled416"},
    {"CardTaken", 411, 888, "Event CardTaken411"},
    {"CardCaptured", 412, 888, "Event CardCaptured412"},
    {"CardEjected", 777, 888, "Event CardEjected777"},
    {"Timeout", 10120001, 888, "Event Timeout10120001"},
    {"DeviceError", 23, 888, "Event DeviceError23"},
    {"CardRead", 419, 888, "Event CardRead419"},
    {"CardWritten", 409, 888, "Event CardWritten409"},
    {"FatalError", 23, 888, "Event FatalError23"},
    {"ConnectionOpened", 403, 888, "Event ConnectionOpened403"},
    {"ConnectionClosed", 23, 888, "Event ConnectionClosed23"},
    {"ChipInvalid", 462, 888, "Event ChipInvalid462"},
    {"WaitCancelled", 777, 888, "Event WaitCancelled777"},
    {"ResetComplete", 404, 888, "Event ResetComplete404"},
};

// Handlers are bound without regard to case, as Visual Basic binds them: a control's
// type library may hold "timeout" for the event because another member uses that
// spelling. The log line keeps the handler's own spelling.
TEST(EventSink, EachEventStoresItsValueAndLogsTheWordItNames) {
    for (const EventRow& row : kEventRows) {
        std::string folded(row.event);
        for (char& c : folded) c = static_cast<char>(c ^ 0x20);  // every letter's case swapped
        for (const std::string& name : {std::string(row.event), folded}) {
            SCOPED_TRACE(name);
            OneReader h;
            h.rt.status_word = 777;
            h.rt.second_status_word = 888;
            h.device->raise(name);
            EXPECT_EQ(h.rt.status_word, 777) << "delivered before the thread pumped";
            h.loop.pump();
            EXPECT_EQ(h.rt.status_word, row.status_after);
            EXPECT_EQ(h.rt.second_status_word, row.second_after);
            EXPECT_THAT(h.log(), ElementsAre(row.line));
        }
    }
}

TEST(EventSink, UnhandledEventsChangeNothing) {
    OneReader h;
    h.rt.status_word = 5;
    h.device->raise("MediaDetected");
    h.loop.pump();
    EXPECT_EQ(h.rt.status_word, 5);
    EXPECT_THAT(h.log(), IsEmpty());
}

struct ReplyRow {
    ValueArray data;
    const char* text;
};

TEST(ChipReply, ElementsBecomeTwoUpperCaseDigitsEach) {
    const ReplyRow rows[] = {
        {{Value(int32_t{144}), Value(int32_t{0})}, "9000"},
        {{Value(int32_t{0}), Value(int32_t{15}), Value(int32_t{171})}, "000FAB"},
        // One element is one byte, not nothing.
        {{Value(int32_t{7})}, "07"},
        {{}, ""},
        // Above a byte, every digit stays and no zero is added.
        {{Value(int32_t{256}), Value(int32_t{4095})}, "100FFF"},
        {{Value(2.0), Value(int16_t{10}), Value("11")}, "020A0B"},
        {{Value(int32_t{-1})}, "FFFFFFFF"},
    };
    for (const ReplyRow& row : rows) EXPECT_EQ(chip_reply_to_text(Value(row.data)), row.text);
    EXPECT_THROW(chip_reply_to_text(Value("9000")), AutomationError);
}

TEST(EventSink, ChipDataReceivedStoresTextShowsItAndLogsTwoLines) {
    OneReader h;
    h.device->raise("ChipDataReceived", Value(ValueArray{Value(int32_t{144}), Value(int32_t{0})}));
    h.loop.pump();
    EXPECT_EQ(h.rt.status_word, 461);
    EXPECT_EQ(h.r->ChipCardData(), "9000");
    EXPECT_EQ(h.rt.form().text(11), "9000");
    EXPECT_THAT(h.log(), ElementsAre("Event ChipDataReceived461", "mstrChipCardData:9000"));
}

TEST(EventSink, AReplyThatIsNoArrayLeavesEverythingAsItWas) {
    OneReader h;
    h.rt.status_word = kPending;
    h.r->ChipCardData("0084000004");
    h.device->raise("ChipDataReceived", Value(int32_t{0x90}));
    h.loop.pump();
    EXPECT_EQ(h.rt.status_word, kPending);
    EXPECT_EQ(h.r->ChipCardData(), "0084000004");
    EXPECT_EQ(h.rt.form().text(11), "Text11");
    EXPECT_EQ(h.failures.size(), 1u);
}

TEST(EventSink, AFailingLogStillKeepsTheStoredValue) {
    OneReader h;
    h.fail_writing([](const std::string&) { return true; });
    h.device->raise("CardTaken");
    h.loop.pump();
    EXPECT_EQ(h.rt.status_word, 411);
    ASSERT_EQ(h.failures.size(), 1u);
    EXPECT_EQ(h.failures[0], "Event CardTaken: Disk full");
}

TEST(EventSink, EventsOfAnUnloadedControlAreNeverDelivered) {
    OneReader h;
    auto b = h.make_reader();
    h.device->raise("CardAccepted");
    h.rt.status_word = 0;
    h.r.reset();  // unloads the form before the event's message runs
    h.loop.pump_for(5000);
    EXPECT_EQ(h.rt.status_word, 0);
    EXPECT_THAT(h.log(), IsEmpty());
}

}  // namespace
}  // namespace czqic::testing
