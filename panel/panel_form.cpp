#include "panel/panel_form.h"

#include <array>
#include <functional>

#include "component/reader.h"
#include "component/runtime.h"
#include "device/host_form.h"

namespace czqic::panel {
namespace {

constexpr int kFrameLeft = 120;
constexpr int kFrameTop = 0;
constexpr auto B = ControlKind::Button;
constexpr auto T = ControlKind::TextBox;

constexpr Control frame_button(std::string_view name, std::string_view caption, int left, int top) {
    return {name, B, caption, kFrameLeft + left, kFrameTop + top, 1335, 975, true, true};
}
constexpr Control hidden_button(std::string_view name, int left, int top) {
    // Captioned with its own name less the "Cmd_" prefix.
    return {name, B, name.substr(4), left, top, 1335, 975, false, false};
}
constexpr Control text_box(std::string_view name, int left, int top, int width) {
    return {name, T, "", left, top, width, 375, true, false};
}

constexpr std::array kControls{
    Control{"Frame1", ControlKind::Frame, "", kFrameLeft, kFrameTop, 7575, 2655, true, false},
    frame_button("Cmd_Reset", "&Reset", 240, 360),
    frame_button("Cmd_AcceptAndReadTracks", "Wait&Card", 1680, 360),
    frame_button("Command1", "&ReadTracks", 3120, 360),
    frame_button("Cmd_Eject", "E&ject", 4560, 360),
    frame_button("Cmd_Drawin", "&Drawin", 6000, 360),
    frame_button("Cmd_ChipInitialise", "WaitChip", 240, 1440),
    frame_button("Cmd_ChipSend", "ChipSend", 1680, 1440),
    frame_button("Cmd_WriteTracks", "&WriteData", 3120, 1440),
    frame_button("Cmd_CancelAccept", "&Break", 4560, 1440),
    frame_button("Status", "&Status", 6000, 1440),
    text_box("Text1", 7920, 360, 1575),
    text_box("Text2", 7920, 960, 1575),
    text_box("Text3", 7920, 1560, 1575),
    text_box("Text4", 7920, 2040, 1575),
    text_box("Text5", 7920, 2520, 1575),
    text_box("Text6", 120, 3000, 2895),
    text_box("Text7", 120, 3480, 7575),
    text_box("Text8", 120, 3960, 7575),
    text_box("Text9", 120, 4440, 9375),
    text_box("Text10", 7920, 3480, 1575),
    text_box("Text11", 7920, 3960, 1575),
    Control{"Cmd_Exit", B, "&E 退出", 8280, 4920, 1215, 855, true, false},
    hidden_button("Cmd_AcceptAndRead", 120, 240),
    hidden_button("Cmd_AcceptAndReadAvailableTracks", 1560, 240),
    hidden_button("Cmd_Read", 3000, 240),
    hidden_button("Cmd_CancelWaitForCardTaken", 4440, 240),
    hidden_button("Cmd_ResetBinCountSync", 5880, 240),
    hidden_button("Cmd_GetExtendedStatusSync", 120, 1320),
    hidden_button("Cmd_IsValidChipProtocolSync", 1560, 1320),
    hidden_button("Cmd_IsValidFieldSync", 3000, 1320),
    hidden_button("Cmd_GetFieldSync", 4440, 1320),
    hidden_button("Cmd_UpdataFormInfoSync", 5880, 1320),
};

struct Action {
    std::string_view button;
    std::string_view label;
    std::function<void(HostForm&, ColsZQICCardReader&)> prepare;
    int32_t (ColsZQICCardReader::*operation)();
    std::function<void(HostForm&)> follow_up;
};

void fill_tracks_from_control(HostForm& form) {
    // Straight from the control: the boxes show what it holds, read or not.
    for (int track = 1; track <= 3; ++track)
        form.set_text(6 + track, to_string(form.control().get(ctl::kTrack1Data + track - 1)));
}

const std::array<Action, 9>& actions() {
    static const std::array<Action, 9> table{{
        {"Cmd_Reset",
         "Reset:",
         {},
         &ColsZQICCardReader::CardReaderInit,
         [](HostForm& f) { f.timer2().set_enabled(true); }},
        {"Cmd_AcceptAndReadTracks", "Enable:", {}, &ColsZQICCardReader::CardReaderEnable, {}},
        {"Command1", "Read:", {}, &ColsZQICCardReader::CardReaderRead, fill_tracks_from_control},
        {"Cmd_Eject",
         "Eject:",
         [](HostForm&, ColsZQICCardReader& r) { r.TimeOutCard(20); },
         &ColsZQICCardReader::CardReaderReturn,
         {}},
        {"Cmd_Drawin", "DrawIn:", {}, &ColsZQICCardReader::CardReaderRetain, {}},
        {"Cmd_ChipInitialise", "WaitChip:", {}, &ColsZQICCardReader::QOR_WaitChip, {}},
        {"Cmd_ChipSend", "ChipTrnsp:", {}, &ColsZQICCardReader::Qor_ChipTrnsp, {}},
        {"Cmd_WriteTracks",
         "WriteTracks:",
         [](HostForm& f, ColsZQICCardReader& r) {
             for (int track = 1; track <= 3; ++track) r.WriteTrack(track, f.text(6 + track));
         },
         &ColsZQICCardReader::CardReaderWrite,
         {}},
        {"Cmd_CancelAccept", "Disable:", {}, &ColsZQICCardReader::CardReaderDisable, {}},
    }};
    return table;
}

void run_action(HostForm& form, const Action& action) {
    // Hold the form and the object for the whole handler: the operation pumps messages,
    // and whatever runs there may unload the form.
    auto keep_form = form.shared_from_this();
    if (action.button == "Cmd_ChipSend") form.host().chip_card_data = form.text(10);
    ReaderRef reader = own_reader_ref(form);
    if (action.prepare) action.prepare(form, *reader);
    const int32_t result = ((*reader).*action.operation)();
    form.mlngResult = result;
    form.set_text(6, std::string(action.label) + std::to_string(form.mlngResult));
    if (action.follow_up) action.follow_up(form);
}

}  // namespace

std::span<const Control> controls() {
    return kControls;
}

const Control* find_control(std::string_view name) {
    for (const Control& c : kControls)
        if (c.name == name) return &c;
    return nullptr;
}

int text_box_number(std::string_view name) {
    const Control* c = find_control(name);
    if (!c || c->kind != ControlKind::TextBox) return 0;
    return std::stoi(std::string(name.substr(4)));
}

void status_refresh(HostForm& form) {
    auto keep_form = form.shared_from_this();
    Dispatch& control = form.control();
    form.set_text(1, to_string(control.get(ctl::kDeviceState)));
    form.set_text(2, to_string(control.get(ctl::kMediaState)));
    form.set_text(3, to_string(control.get(ctl::kBinState)));
    form.set_text(4, std::to_string(to_i2(control.get(ctl::kNumber))));
    ReaderRef reader = own_reader_ref(form);
    form.set_text(5, std::to_string(reader->CardReaderStatus()));
}

void click(HostForm& form, std::string_view button) {
    const Control* c = find_control(button);
    if (!c || c->kind != ControlKind::Button)
        raise_runtime_error(rt_error::kNoSuchMember,
                            "the panel has no button named " + std::string(button));
    for (const Action& action : actions())
        if (action.button == button) return run_action(form, action);
    if (button == "Status") return status_refresh(form);
    if (button == "Cmd_Exit") return form.host().unload_form();
    // The invisible buttons have no handler.
}

}  // namespace czqic::panel
