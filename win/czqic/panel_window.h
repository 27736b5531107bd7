// `czqic panel` on Windows: the host form's test panel as a real window, laid out from the
// form's twips at the screen's DPI, with its caption, access keys, ten buttons and eleven
// text boxes. The buttons run the form's own handlers inside the component; the boxes
// show the form's texts, Timer2's refresh included, and pass typed input back to it.
#pragma once

#include <ostream>

namespace czqic::cli {

// The window class of the panel; its controls' identifiers are kFirstControlId plus their
// index in the panel's control table, so that a test can find them.
inline constexpr wchar_t kPanelWindowClass[] = L"CzqicTestPanel";
inline constexpr int kFirstControlId = 1000;

// Shows the panel until it is closed (Exit, or closing the window); 0 unless it could not
// be shown.
int run_panel_window(std::ostream& err);

}  // namespace czqic::cli
