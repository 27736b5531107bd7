// The host form as a technician's test panel: its controls with their captions and
// positions (twips), the click handlers of its buttons and the status refresh that the
// Status button and Timer2 run. The handlers act on the form's own object of the class.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "component/reader.h"
#include "component/runtime.h"

namespace czqic::panel {

inline constexpr const char* kFormCaption = "读卡器测试程序";
inline constexpr int kFormWidth = 10245;  // client area, twips
inline constexpr int kFormHeight = 5820;

enum class ControlKind { Button, TextBox, Frame };

struct Control {
    std::string_view name;
    ControlKind kind;
    std::string_view caption;      // buttons; "&" marks the access key
    int left, top, width, height;  // form coordinates (frame offsets already added)
    bool visible;
    bool in_frame;
};

// Every control of the panel, frame first, then the frame's ten working buttons, the
// text boxes, the exit button and the ten invisible buttons.
std::span<const Control> controls();
const Control* find_control(std::string_view name);

// The text box number (1 to 11) of "Text1".."Text11", or 0.
int text_box_number(std::string_view name);

// Clicks a button: runs its handler (the invisible buttons have none). Failures inside
// the handler propagate to the caller, who decides how to report them. Unknown names
// raise AutomationError 438.
void click(HostForm& form, std::string_view button);

// Fills Text1..Text5 from the control and from CardReaderStatus of the form's object.
void status_refresh(HostForm& form);

// What the form's timers run, for every Runtime: Timer1 resets the form's own object,
// Timer2 refreshes the panel.
inline constexpr FormTimers kFormTimers{
    .reset = [](ColsZQICCardReader& own_object) { return own_object.CardReaderReset(); },
    .refresh = status_refresh,
};

}  // namespace czqic::panel
