#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "panel/panel_form.h"
#include "tools/czqic/panel_input.h"
#include "tools/czqic/panel_layout.h"

namespace czqic::cli::panel_view {
namespace {

using panel::ControlKind;

struct Size {
    int cols;
    int rows;
};

std::string describe(const PlacedControl& p) {
    const Rect& r = p.rect;
    return std::string(p.control->name) + " at " + std::to_string(r.x) + "," + std::to_string(r.y) +
           " size " + std::to_string(r.w) + "x" + std::to_string(r.h);
}

class PanelLayoutAt : public ::testing::TestWithParam<Size> {
  protected:
    // The placed controls of one kind, at the case's size.
    static std::vector<PlacedControl> placed(ControlKind kind) {
        std::vector<PlacedControl> out;
        for (const PlacedControl& p : layout_panel(GetParam().cols, GetParam().rows).controls)
            if (p.control->kind == kind) out.push_back(p);
        return out;
    }
};

TEST_P(PanelLayoutAt, EveryVisibleControlIsPlacedInsideTheFormArea) {
    const auto [cols, rows] = GetParam();
    const PanelLayout layout = layout_panel(cols, rows);
    EXPECT_TRUE(layout.usable);

    size_t visible = 0;
    for (const panel::Control& c : panel::controls()) visible += c.visible ? 1 : 0;
    EXPECT_EQ(layout.controls.size(), visible);

    // The caption bar above and the status and help lines below stay clear of the form.
    EXPECT_EQ(layout.title.y, 0);
    EXPECT_EQ(layout.help.y, rows - 1);
    EXPECT_EQ(layout.status.y, rows - 2);
    for (const PlacedControl& p : layout.controls) {
        SCOPED_TRACE(describe(p));
        EXPECT_GE(p.rect.w, 1);
        EXPECT_GE(p.rect.h, 1);
        EXPECT_GE(p.rect.x, 0);
        EXPECT_LE(p.rect.right(), cols);
        EXPECT_GT(p.rect.y, layout.title.y);
        EXPECT_LE(p.rect.bottom(), layout.status.y);
    }
}

TEST_P(PanelLayoutAt, NoTwoControlsOverlapAndTheFrameHoldsItsButtons) {
    const auto [cols, rows] = GetParam();
    const PanelLayout layout = layout_panel(cols, rows);
    const PlacedControl* frame = layout.find("Frame1");
    ASSERT_NE(frame, nullptr);
    for (size_t i = 0; i < layout.controls.size(); ++i) {
        const PlacedControl& a = layout.controls[i];
        if (a.control->in_frame) {
            // Inside the frame's border, so that the border stays whole around them.
            EXPECT_GT(a.rect.x, frame->rect.x) << describe(a);
            EXPECT_LT(a.rect.right(), frame->rect.right()) << describe(a);
            EXPECT_GT(a.rect.y, frame->rect.y) << describe(a);
            EXPECT_LT(a.rect.bottom(), frame->rect.bottom()) << describe(a);
        }
        for (size_t j = i + 1; j < layout.controls.size(); ++j) {
            const PlacedControl& b = layout.controls[j];
            if (&a == frame && b.control->in_frame) continue;
            const bool apart = a.rect.right() <= b.rect.x || b.rect.right() <= a.rect.x ||
                               a.rect.bottom() <= b.rect.y || b.rect.bottom() <= a.rect.y;
            EXPECT_TRUE(apart) << describe(a) << " overlaps " << describe(b);
        }
    }
}

TEST_P(PanelLayoutAt, EveryButtonShowsAtLeastTheFirstFourCharactersOfItsCaption) {
    for (const PlacedControl& p : placed(ControlKind::Button)) {
        SCOPED_TRACE(describe(p));
        const std::u32string full = parse_caption(p.control->caption).text;
        const ButtonFace face = button_face(p);
        const size_t wanted = std::min<size_t>(4, full.size());
        ASSERT_GE(face.caption.size(), wanted);
        EXPECT_EQ(face.caption.substr(0, wanted), full.substr(0, wanted));
        // ...and what it shows stays inside the button.
        EXPECT_GE(face.caption_dx, 0);
        EXPECT_LE(face.caption_dx + display_width(face.caption), p.rect.w);
        EXPECT_LT(face.caption_dy, p.rect.h);
    }
}

TEST_P(PanelLayoutAt, TextBoxesAreWideEnoughForAStateWord) {
    for (const PlacedControl& p : placed(ControlKind::TextBox)) {
        EXPECT_GE(p.rect.w, static_cast<int>(std::string_view("NOMEDIA").size())) << describe(p);
    }
}

INSTANTIATE_TEST_SUITE_P(Terminals, PanelLayoutAt,
                         ::testing::Values(Size{80, 24}, Size{80, 23}, Size{120, 40},
                                           Size{200, 60}),
                         [](const auto& info) {
                             return std::to_string(info.param.cols) + "x" +
                                    std::to_string(info.param.rows);
                         });

TEST(PanelLayout, ATerminalTooSmallForTheFormIsNotUsedForIt) {
    EXPECT_FALSE(layout_panel(40, 12).usable);
    EXPECT_FALSE(layout_panel(80, 8).usable);
    EXPECT_FALSE(layout_panel(0, 0).usable);
}

TEST(PanelKeys, EveryAccessKeyPressesItsButtonInOneCaseOrTheOther) {
    for (const panel::Control& c : panel::controls()) {
        if (c.kind != ControlKind::Button || !c.visible) continue;
        const Caption caption = parse_caption(c.caption);
        if (!caption.key_index) continue;
        const char32_t key = caption.text[*caption.key_index];
        const char32_t lower = key >= U'A' && key <= U'Z' ? key - U'A' + U'a' : key;
        const char32_t upper = key >= U'a' && key <= U'z' ? key - U'a' + U'A' : key;
        EXPECT_TRUE(button_for_key(lower) == c.name || button_for_key(upper) == c.name) << c.name;
    }
}

TEST(PanelKeys, TheSharedKeyIsSplitByCaseAndQuitIsNoButton) {
    EXPECT_EQ(button_for_key(U'r'), "Cmd_Reset");
    EXPECT_EQ(button_for_key(U'R'), "Command1");
    EXPECT_EQ(button_for_key(U'j'), "Cmd_Eject");
    EXPECT_EQ(button_for_key(U'E'), "Cmd_Exit");
    EXPECT_EQ(button_for_key(U'e'), "Cmd_Exit");
    EXPECT_FALSE(button_for_key(U'q'));
    EXPECT_EQ(shared_key_help(), "r Reset  R ReadTracks");
}

TEST(PanelFocus, TabVisitsEveryButtonAndEveryInputBoxOnce) {
    std::multiset<std::string_view> expected;
    for (const panel::Control& c : panel::controls())
        if (c.visible && c.kind == ControlKind::Button) expected.insert(c.name);
    for (auto box : {"Text7", "Text8", "Text9", "Text10"}) expected.insert(box);

    std::multiset<std::string_view> visited;
    std::string_view at = focus_order().front();
    for (size_t i = 0; i < expected.size(); ++i) {
        visited.insert(at);
        at = next_focus(at, +1);
    }
    EXPECT_EQ(visited, expected);
    EXPECT_EQ(at, focus_order().front());
    EXPECT_EQ(next_focus(focus_order().front(), -1), focus_order().back());
}

TEST(PanelFocus, ArrowsMoveToTheNeighbourOnTheFormAndReachEverything) {
    using enum Direction;
    const struct {
        const char* from;
        Direction way;
        const char* to;
    } steps[] = {
        {"Cmd_Reset", Down, "Cmd_ChipInitialise"},
        {"Cmd_ChipInitialise", Up, "Cmd_Reset"},
        {"Cmd_Reset", Right, "Cmd_AcceptAndReadTracks"},
        {"Text7", Right, "Text10"},
        {"Text7", Down, "Text8"},
        {"Text7", Up, "Cmd_WriteTracks"},
        {"Text9", Down, "Cmd_Exit"},
        {"Cmd_Reset", Left, "Cmd_Reset"},  // nothing to its left
    };
    for (const auto& s : steps) EXPECT_EQ(step_focus(s.from, s.way), s.to) << s.from;

    std::set<std::string_view> reached{"Cmd_Reset"};
    std::deque<std::string_view> todo{"Cmd_Reset"};
    while (!todo.empty()) {
        const std::string_view from = todo.front();
        todo.pop_front();
        for (auto d : {Left, Right, Up, Down})
            if (reached.insert(step_focus(from, d)).second) todo.push_back(step_focus(from, d));
    }
    EXPECT_EQ(reached.size(), focus_order().size());
}

TEST(PanelText, WideCharactersTakeTwoCellsAndClippingNeverOverflows) {
    const std::u32string caption = decode_utf8(panel::kFormCaption);
    EXPECT_EQ(caption.size(), 7u);
    EXPECT_EQ(display_width(caption), 14);
    for (int cells = 0; cells <= 16; ++cells) {
        const std::u32string clipped = clip_cells(caption, cells);
        EXPECT_LE(display_width(clipped), std::max(cells, 0)) << cells;
    }
    EXPECT_EQ(clip_cells(U"ABCDEFGH", 5), U"ABCD\u2026");
    EXPECT_EQ(clip_cells(U"ABCD", 4), U"ABCD");
}

TEST(PanelText, Utf8RoundTripsAndMalformedBytesBecomeReplacementCharacters) {
    const std::string text = "&E 退出 ;4000=3012?";
    EXPECT_EQ(encode_utf8(decode_utf8(text)), text);
    EXPECT_EQ(decode_utf8("A\xFF"
                          "B"),
              U"A\uFFFDB");
    EXPECT_EQ(decode_utf8("\xE8\xAF"), U"\uFFFD");
    EXPECT_EQ(decode_utf8("\xC0\x80"), U"\uFFFD");  // overlong
}

TEST(PanelText, CaptionsDropTheirMarkersAndKeepTheKeyPosition) {
    const Caption exit = parse_caption("&E 退出");
    EXPECT_EQ(exit.text, U"E 退出");
    EXPECT_EQ(exit.key_index, 0u);
    const Caption eject = parse_caption("E&ject");
    EXPECT_EQ(eject.text, U"Eject");
    EXPECT_EQ(eject.key_index, 1u);
    const Caption literal = parse_caption("A&&B");
    EXPECT_EQ(literal.text, U"A&B");
    EXPECT_FALSE(literal.key_index);
}

TEST(PanelKeyMap, TabArrowsAndEnterMoveTheSelectionAndActOnIt) {
    using K = Key::Kind;
    const Action tab = map_key(typed(U'\t'), focus_order().front(), false);
    EXPECT_EQ(tab.kind, Action::Kind::Select);
    EXPECT_EQ(tab.target, next_focus(focus_order().front(), +1));
    EXPECT_EQ(map_key(pressed(K::BackTab), "Cmd_Reset", false).target, next_focus("Cmd_Reset", -1));
    EXPECT_EQ(map_key(pressed(K::Down), "Cmd_Reset", false).target, "Cmd_ChipInitialise");

    for (const Key enter : {pressed(K::Enter), typed(U'\n'), typed(U'\r'), typed(U' ')}) {
        const Action on_button = map_key(enter, "Cmd_ChipSend", false);
        EXPECT_EQ(on_button.kind, Action::Kind::Press);
        EXPECT_EQ(on_button.target, "Cmd_ChipSend");
        const Action on_box = map_key(enter, "Text9", false);
        EXPECT_EQ(on_box.kind, Action::Kind::BeginEdit);
        EXPECT_EQ(on_box.target, "Text9");
    }
}

TEST(PanelKeyMap, AccessKeysPressTheirButtonWhereverTheSelectionIsAndQQuits) {
    const Action reset = map_key(typed(U'r'), "Text7", false);
    EXPECT_EQ(reset.kind, Action::Kind::Press);
    EXPECT_EQ(reset.target, "Cmd_Reset");
    EXPECT_EQ(map_key(typed(U'R'), "Text7", false).target, "Command1");
    EXPECT_EQ(map_key(typed(U'q'), "Cmd_Reset", false).kind, Action::Kind::Quit);
    EXPECT_EQ(map_key(typed(U'Q'), "Cmd_Reset", false).kind, Action::Kind::Quit);
    EXPECT_EQ(map_key(typed(U'%'), "Cmd_Reset", false).kind, Action::Kind::Nothing);
}

TEST(PanelKeyMap, OnlyAKeyMeantForThePanelAcknowledgesAFailure) {
    using K = Key::Kind;
    EXPECT_TRUE(map_key(typed(U'%'), "Cmd_Reset", false).acknowledges);
    EXPECT_TRUE(map_key(pressed(K::Other), "Cmd_Reset", false).acknowledges);
    const Action resize = map_key(pressed(K::Resize), "Cmd_Reset", true);
    EXPECT_EQ(resize.kind, Action::Kind::Nothing);
    EXPECT_FALSE(resize.acknowledges);
    const Action repaint = map_key(typed(12), "Text7", true);  // Ctrl-L, even while editing
    EXPECT_EQ(repaint.kind, Action::Kind::Repaint);
    EXPECT_FALSE(repaint.acknowledges);
    // While editing every other key is the editor's, q included.
    const Action typed_q = map_key(typed(U'q'), "Text7", true);
    EXPECT_EQ(typed_q.kind, Action::Kind::EditKey);
    EXPECT_FALSE(typed_q.acknowledges);
}

TEST(PanelLineEditor, KeysEditAtTheCursor) {
    using K = Key::Kind;
    using O = LineEditor::Outcome;
    LineEditor e(7, U"abc");
    EXPECT_EQ(e.cursor(), 3u);
    for (const Key k : {pressed(K::Left), typed(U'X'), pressed(K::Home), typed(U'\u9000'),
                        pressed(K::End), pressed(K::Backspace), pressed(K::Up), typed(U'\x01'),
                        pressed(K::Delete), typed(U'\x7f'), typed(U'\x05'), typed(U'\x02')})
        EXPECT_EQ(e.apply(k), O::Editing);
    // End Backspace dropped the last, Ctrl-A Delete the first; Up, DEL at the start and
    // Ctrl-B did nothing.
    EXPECT_EQ(e.text(), U"abX");
    EXPECT_EQ(e.cursor(), 3u);
    e.apply(pressed(K::Right));  // not past the end
    EXPECT_EQ(e.cursor(), 3u);
    e.apply(typed(21));  // Ctrl-U
    EXPECT_EQ(e.text(), U"");
    EXPECT_EQ(e.cursor(), 0u);
    e.apply(pressed(K::Backspace));  // nothing before the cursor
    e.apply(pressed(K::Left));
    EXPECT_EQ(e.cursor(), 0u);
}

TEST(PanelLineEditor, EnterKeepsTheEditAndEscapeCancelsIt) {
    LineEditor e(10, U"00A4");
    EXPECT_EQ(e.apply(typed(27)), LineEditor::Outcome::Cancel);
    EXPECT_EQ(e.apply(typed(U'\n')), LineEditor::Outcome::Keep);
    EXPECT_EQ(e.apply(typed(U'\r')), LineEditor::Outcome::Keep);
    EXPECT_EQ(e.apply(pressed(Key::Kind::Enter)), LineEditor::Outcome::Keep);
    EXPECT_EQ(e.box(), 10);
}

TEST(PanelLineEditor, TheViewScrollsJustEnoughToKeepTheCursorShown) {
    LineEditor e(8, U"0123456789");
    LineEditor::View end = e.view(5);  // the cursor past the end is the cell after room
    EXPECT_EQ(end.shown, U"56789");
    EXPECT_EQ(end.cursor_cell, 5);
    for (int i = 0; i < 7; ++i) e.apply(pressed(Key::Kind::Left));
    LineEditor::View back = e.view(5);  // scrolled back only as far as the cursor
    EXPECT_EQ(back.shown, U"34567");
    EXPECT_EQ(back.cursor_cell, 0);

    LineEditor wide(9, U"\u9000\u9000\u9000");  // two cells each
    LineEditor::View v = wide.view(4);
    EXPECT_EQ(v.shown, U"\u9000\u9000");
    EXPECT_EQ(v.cursor_cell, 4);
    EXPECT_TRUE(wide.view(0).shown.empty());
}

TEST(PanelBusyState, HandlersNestUpToTheLimitAndEachEndsItsOwn) {
    BusyState busy;
    EXPECT_FALSE(busy.waiting());
    {
        const auto outer = busy.run("Cmd_Reset");
        const auto a = busy.run("Cmd_Eject");
        const auto b = busy.run("Status");
        EXPECT_EQ(busy.may_press(true), BusyState::Press::Go);
        const auto c = busy.run("Status");
        EXPECT_EQ(busy.may_press(true), BusyState::Press::TooMany);
        EXPECT_EQ(busy.outermost(), "Cmd_Reset");
        EXPECT_EQ(busy.innermost(), "Status");
        EXPECT_TRUE(busy.waiting_on("Cmd_Eject"));
        EXPECT_FALSE(busy.waiting_on("Cmd_Exit"));
    }
    EXPECT_FALSE(busy.waiting());
    EXPECT_EQ(busy.may_press(true), BusyState::Press::Go);
}

TEST(PanelBusyState, ClosingWaitsForRunningHandlersAndTakesNoMorePresses) {
    BusyState busy;
    {
        const auto running = busy.run("Cmd_AcceptAndReadTracks");
        EXPECT_TRUE(busy.close());   // has to wait
        EXPECT_FALSE(busy.close());  // already closing
        EXPECT_EQ(busy.may_press(true), BusyState::Press::Ignored);
        EXPECT_FALSE(busy.finished(true));
    }
    EXPECT_TRUE(busy.finished(true));

    BusyState idle;
    EXPECT_FALSE(idle.close());  // nothing to wait for
    EXPECT_TRUE(idle.finished(true));
}

TEST(PanelBusyState, TheFormGoneClosesThePanelOnceNoHandlerRuns) {
    BusyState busy;
    EXPECT_EQ(busy.may_press(false), BusyState::Press::Ignored);
    {
        const auto running = busy.run("Cmd_Exit");
        EXPECT_FALSE(busy.finished(false));
        EXPECT_TRUE(busy.closing());
    }
    EXPECT_TRUE(busy.finished(true));
}

}  // namespace
}  // namespace czqic::cli::panel_view
