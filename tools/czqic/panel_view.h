// `czqic panel`: the host form's test panel drawn in the terminal, so that a person can
// watch and use it. It is a view of the one form the component writes to: every redraw
// reads the form's text boxes, and every button press runs the form's own click handler.
#pragma once

#include <ostream>
#include <string>

#include "sim/sim_reader.h"
#include "tools/assembly/in_process.h"

namespace czqic::cli {

inline constexpr const char* kPanelKeysHelp = R"(Keys:
  underlined letter      press that button: r Reset, R ReadTracks, E exit; WaitChip
                         and ChipSend have none, select them and press Enter
  Tab, Shift+Tab, arrows select a button or an input box (Text7..Text10)
  Enter, Space           press the selected button, or edit the selected input box
                         (Enter keeps the edit, Esc cancels it)
  q, Ctrl-C              close the panel; the form is unloaded as its exit button does

While a button's operation waits for the reader, the panel goes on showing the form and
taking keys, as the form goes on taking clicks. Failures the component reports show on
the status line and are repeated on standard error when the panel closes.)";

struct PanelOptions {
    sim::Scenario scenario = sim::builtin_scenario();
    std::string scenario_name = "built-in";  // shown on the status line at start
    ReaderSpec reader;
};

// Shows the panel on the real clock until it is closed. Returns 0 once closed, 1 when the
// form or the terminal could not be set up, 2 when standard input or output is no
// terminal. Failures that came up while the panel was on screen are repeated on err
// after it is gone, since the status line that showed them is gone too.
int run_panel(PanelOptions options, std::ostream& err);

}  // namespace czqic::cli
