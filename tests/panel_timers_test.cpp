// The host form's timers and its test panel: fault recovery every 30 seconds, the panel
// refreshing itself every second, and each button's handler.
#include "panel/panel_form.h"
#include "tests/support/harness.h"

namespace czqic::testing {
namespace {

size_t count(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

// Clicks a button of the panel; what the panel then shows as the action and its result.
std::string shown_after_click(Harness& h, const char* button) {
    panel::click(h.rt.form(), button);
    return h.rt.form().text(6);
}

TEST(Timer1, TheFirstResetComesThirtySecondsAfterTheFirstRefreshThatSawTheFault) {
    OneReader h;
    h.device->set("device", "FATAL");
    EXPECT_EQ(h.r->CardReaderStatus(), 3);  // at 0 s
    h.loop.pump_for(20000);
    EXPECT_EQ(h.r->CardReaderStatus(), 3);  // at 20 s: the period is not restarted
    h.clear_records();
    h.loop.pump_for(9900);
    EXPECT_THAT(h.log(), IsEmpty());
    h.loop.pump_for(200);  // 30 s after the first refresh
    ASSERT_FALSE(h.log().empty());
    EXPECT_EQ(h.log()[0], "CardReaderReset");
    EXPECT_EQ(h.log()[1], "CardReaderReset:10120100");
    h.loop.pump_for(1000);
    EXPECT_EQ(h.log().back(), "CardReaderReset end:404");
}

TEST(Timer1, KeepsResettingAfterTheFaultClearsUntilARefreshSeesNone) {
    OneReader h;
    h.device->set("media", "JAMMED");
    h.r->CardReaderStatus();
    h.device->set("media", "NOMEDIA");
    h.clear_records();
    h.loop.pump_for(95000);
    EXPECT_EQ(count(h.log(), "CardReaderReset"), 3u);
    EXPECT_EQ(h.r->CardReaderStatus(), 1);
    h.clear_records();
    h.loop.pump_for(95000);
    EXPECT_THAT(h.log(), IsEmpty());
}

TEST(Timer1, ATickInsideAnotherOperationsWaitDecidesThatOperationsOutcome) {
    // The client's reset is never answered; the tick's reset (second call) is.
    OneReader h(R"({"on": {"cancelWait": [{}],
                         "reset": [{}, {"events": [{"event": "ResetComplete", "afterMs": 500}]}]}})");
    h.device->set("device", "FATAL");
    h.r->CardReaderStatus();
    h.device->set("device", "ONLINE");
    h.clock.sleep_ms(29000);
    h.clear_records();
    // The tick fires about a second into this reset's wait and runs a whole reset frame
    // of its own; the outer wait then finds 404 and ends.
    EXPECT_EQ(h.r->CardReaderReset(), kOk);
    EXPECT_THAT(h.log(), ElementsAre("CardReaderReset:10120100", "CardReaderReset",
                                     "CardReaderReset:10120100", "Event ResetComplete404",
                                     "CardReaderReset end:404", "CardReaderReset end:404"));
}

TEST(Timer1, ATickDuringTheTicksOwnResetIsSkipped) {
    // No reset is ever answered, so each tick's reset waits its full 60 seconds, through
    // the next tick's time.
    OneReader h(R"({"on": {"reset": [{}], "cancelWait": [{}]}})");
    h.device->set("device", "FATAL");
    h.r->CardReaderStatus();
    h.clear_records();
    h.loop.pump_for(100000);
    // The tick at 30 s resets until about 90 s; the tick at 60 s comes inside that reset
    // and is skipped; the tick at 90 s starts the next reset, which runs to its end.
    EXPECT_EQ(count(h.log(), "CardReaderReset"), 2u);
    EXPECT_EQ(count(h.log(), "CardReaderReset end:10120100"), 2u);
    EXPECT_EQ(h.journal_matching("call: reset").size(), 2u);
}

TEST(Timer1, AFailingTickEndsOnlyThatTick) {
    OneReader h;
    h.device->set("device", "FATAL");
    h.r->CardReaderStatus();
    h.fail_writing([](const std::string& m) { return m == "CardReaderReset"; });
    h.loop.pump_for(61000);
    EXPECT_EQ(h.failures.size(), 2u);
    EXPECT_TRUE(h.rt.form().timer1().enabled());
    EXPECT_THAT(h.journal_matching("call: reset"), IsEmpty());
}

TEST(Panel, ResetButtonStartsTheRefreshEvenAfterAFailedInitialisation) {
    Harness h(R"({"on": {"open": [{"fail": "no port"}]}})");
    EXPECT_EQ(shown_after_click(h, "Cmd_Reset"), "Reset:10120003");
    EXPECT_EQ(h.rt.form().mlngResult, kFailed);
    EXPECT_TRUE(h.rt.form().timer2().enabled());
    EXPECT_EQ(h.rt.form().text(1), "Text1");
    h.device->set("media", "PRESENT");
    h.device->set("number", "7");
    h.loop.pump_for(1000);
    EXPECT_EQ(h.rt.form().text(1), "ONLINE");
    EXPECT_EQ(h.rt.form().text(2), "PRESENT");
    EXPECT_EQ(h.rt.form().text(3), "BINOK");
    EXPECT_EQ(h.rt.form().text(4), "7");
    EXPECT_EQ(h.rt.form().text(5), "5");
    h.device->set("media", "JAMMED");
    h.loop.pump_for(1000);
    EXPECT_EQ(h.rt.form().text(5), "3");
    // The refresh reads the status, so it switched the fault timer on.
    EXPECT_TRUE(h.rt.form().timer1().enabled());
}

TEST(Panel, StatusRefreshStopsAtANumberThatIsNoInteger) {
    Harness h(R"({"state": {"number": 70000}})");
    HostForm& form = h.rt.form();
    EXPECT_THROW(panel::click(form, "Status"), AutomationError);
    EXPECT_EQ(form.text(3), "BINOK");
    EXPECT_EQ(form.text(4), "Text4");
    EXPECT_EQ(form.text(5), "Text5");
}

TEST(Panel, EjectWaitsTwentySecondsWhileTheClientKeepsThree) {
    OneReader h(answer("eject", ""));
    HostForm& form = h.rt.form();
    const int64_t took = h.elapsed_during([&] { panel::click(form, "Cmd_Eject"); });
    EXPECT_GE(took, 19500);
    EXPECT_LE(took, 20000);
    EXPECT_EQ(form.text(6), "Eject:10120001");
    EXPECT_EQ(h.r->card_taken_limit(), 3);  // the client's
    EXPECT_GE(h.timed_call(&ColsZQICCardReader::CardReaderReturn).ms, 2500);
}

TEST(Panel, ReadFillsTheTrackBoxesFromTheControlEvenWhenTheReadFailed) {
    Harness h;
    HostForm& form = h.rt.form();
    EXPECT_EQ(shown_after_click(h, "Command1"), "Read:10120003");
    EXPECT_EQ(form.text(7), h.device->state().tracks[0].data);
    EXPECT_EQ(form.text(9), h.device->state().tracks[2].data);
    EXPECT_EQ(own_reader(form).ReadTrack(1), "");
}

TEST(Panel, ChipSendReplacesTheClientsCommandAndTheReplyReachesText11) {
    OneReader h;
    h.r->ChipCardData("00A4040000");  // the client's
    HostForm& form = h.rt.form();
    EXPECT_EQ(shown_after_click(h, "Cmd_ChipSend"), "ChipTrnsp:0");
    EXPECT_THAT(h.journal_matching("call: chipSend"),
                ElementsAre(R"(call: chipSend("SEND", 0, [0, 132, 0, 0, 4], -1))"));
    EXPECT_EQ(form.text(11), h.r->ChipCardData());
    EXPECT_EQ(form.text(11).size(), 12u);
}

TEST(Panel, WriteWithUntouchedBoxesWritesTheirLoadTexts) {
    Harness h;
    EXPECT_EQ(shown_after_click(h, "Cmd_WriteTracks"), "WriteTracks:0");
    EXPECT_THAT(h.journal_matching("call:"), ElementsAre(R"(call: writeTrack("1", "Text7"))",
                                                         R"(call: writeTrack("2", "Text8"))",
                                                         R"(call: writeTrack("3", "Text9"))"));
}

TEST(Panel, EveryActionButtonShowsItsLabelAndResult) {
    const std::pair<const char*, const char*> rows[] = {
        {"Cmd_AcceptAndReadTracks", "Enable:0"},
        {"Cmd_Drawin", "DrawIn:10120011"},
        {"Cmd_ChipInitialise", "WaitChip:0"},
        {"Cmd_CancelAccept", "Disable:0"},
    };
    for (const auto& [button, shown] : rows) {
        SCOPED_TRACE(button);
        Harness h;
        EXPECT_EQ(shown_after_click(h, button), shown);
    }
}

TEST(Panel, InvisibleButtonsDoNothingAndUnknownNamesFail) {
    Harness h;
    HostForm& form = h.rt.form();
    h.clear_records();
    panel::click(form, "Cmd_GetFieldSync");
    EXPECT_THAT(h.journal(), IsEmpty());
    EXPECT_FALSE(form.has_own_object());
    EXPECT_THROW(panel::click(form, "Text6"), AutomationError);
    EXPECT_THROW(panel::click(form, "Cmd_Nothing"), AutomationError);
}

TEST(Panel, ExitUnloadsTheFormAndReleasesItsObjectOnce) {
    Harness h;
    HostForm* form = &h.rt.form();
    panel::click(*form, "Cmd_Reset");
    form->timer2().set_enabled(true);
    h.clear_records();
    panel::click(*form, "Cmd_Exit");
    EXPECT_FALSE(h.rt.form_loaded());
    EXPECT_THAT(h.journal(), ElementsAre("call: close()"));
    EXPECT_EQ(h.loop.next_due_ms(), INT64_MAX);  // both timers gone
    // The next use loads a fresh form with the load texts and both timers off.
    HostForm& fresh = h.rt.form();
    EXPECT_EQ(fresh.text(6), "Text6");
    EXPECT_FALSE(fresh.timer2().enabled());
    EXPECT_FALSE(fresh.has_own_object());
}

TEST(Panel, AClientReleaseUnloadsThePanelToo) {
    OneReader h;
    panel::click(h.rt.form(), "Cmd_Reset");
    h.clear_records();
    h.r.reset();  // the client's
    EXPECT_FALSE(h.rt.form_loaded());
    EXPECT_THAT(h.journal(), ElementsAre("call: close()", "call: close()"));
    h.loop.pump_for(5000);
    EXPECT_THAT(h.journal(), ElementsAre("call: close()", "call: close()"));
}

TEST(Panel, LayoutHoldsEveryControlInsideTheForm) {
    int visible_buttons = 0;
    for (const panel::Control& c : panel::controls()) {
        SCOPED_TRACE(std::string(c.name));
        EXPECT_LE(c.left + c.width, panel::kFormWidth);
        EXPECT_LE(c.top + c.height, panel::kFormHeight);
        if (c.kind == panel::ControlKind::Button && c.visible) ++visible_buttons;
    }
    EXPECT_EQ(visible_buttons, 11);
    EXPECT_EQ(panel::text_box_number("Text10"), 10);
    EXPECT_EQ(panel::find_control("Cmd_Read")->caption, "Read");
}

}  // namespace
}  // namespace czqic::testing
