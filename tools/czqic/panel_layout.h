// What `czqic panel` puts where, kept free of curses so that it can be checked without a
// terminal: the form's controls scaled from twips to character cells, what a button
// face shows, which key presses which button, and how the selection moves.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "panel/panel_form.h"
#include "platform/text.h"

namespace czqic::cli::panel_view {

// Character cells; x counts columns from the left, y rows from the top of the terminal.
struct Rect {
    int x = 0;
    int y = 0;
    int w = 0;
    int h = 0;
    int right() const { return x + w; }   // one past the last column
    int bottom() const { return y + h; }  // one past the last row
};

bool overlaps(const Rect& a, const Rect& b);
// Whether inner lies inside outer's border (outer's edge cells excluded).
bool inside_border(const Rect& inner, const Rect& outer);

struct PlacedControl {
    const panel::Control* control;
    Rect rect;
};

struct PanelLayout {
    int cols = 0;
    int rows = 0;
    Rect title;                           // the form's caption bar
    Rect form;                            // the form's client area
    Rect status;                          // what just happened, or the line being edited
    Rect help;                            // the keys
    std::vector<PlacedControl> controls;  // the visible controls, in the panel's order
    // False when the terminal is too small for every control to stay readable and apart;
    // the view then asks for a larger terminal instead of drawing a mangled form.
    bool usable = false;

    const PlacedControl* find(std::string_view name) const;
};

PanelLayout layout_panel(int cols, int rows);

// The longest prefix that fits in cells; when text is cut, its last cell shows "…".
std::u32string clip_cells(std::u32string_view text, int cells);

// A caption as shown: without the "&" markers ("&&" is a literal "&"), with the index in
// text of the access-key character, if any.
struct Caption {
    std::u32string text;
    std::optional<size_t> key_index;
};
Caption parse_caption(std::string_view caption);

// A button as drawn in its rectangle: a box when it is three rows or more, "[...]"
// otherwise. A caption wider than the space inside the decoration is drawn over it,
// across the whole width, so that as much of it as possible stays readable.
struct ButtonFace {
    bool boxed = false;
    bool decorated_row = true;  // the caption row keeps its border or brackets
    int caption_dy = 0;         // from the rectangle's top-left corner
    int caption_dx = 0;
    std::u32string caption;           // clipped to what fits
    std::optional<size_t> key_index;  // in caption, when still shown
};
ButtonFace button_face(const PlacedControl& button);

// Typed characters that press a button: the access key after "&", in either case. Where
// two buttons share a key ("&Reset" and "&ReadTracks"), the lower case presses the first
// in the panel's order and the upper case the second.
std::optional<std::string_view> button_for_key(char32_t typed);
// The help line's wording of the shared keys, for example "r Reset  R ReadTracks".
std::string shared_key_help();

// The text boxes a person types into: the three tracks and the chip command.
bool is_editable(std::string_view name);
// What a text box holds, for the help line ("track 1", "chip command"...).
std::string_view text_box_role(std::string_view name);

// The controls that take the selection, in reading order (top to bottom, left to right).
const std::vector<std::string_view>& focus_order();
std::string_view next_focus(std::string_view from, int delta);  // Tab, Shift+Tab: +1, -1

enum class Direction { Left, Right, Up, Down };
// The nearest selectable control in that direction on the form; from when there is none.
std::string_view step_focus(std::string_view from, Direction direction);

}  // namespace czqic::cli::panel_view
