// What `czqic panel` does with a key press, kept free of curses so that it can be checked
// without a terminal: the key map, the line editor of the input boxes (Text7..Text10) and
// the state of the buttons whose handlers are still running.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace czqic::cli::panel_view {

// A key press as the terminal reports it: a typed character, or a key with no character.
struct Key {
    enum class Kind {
        Char,
        Left,
        Right,
        Up,
        Down,
        BackTab,
        Home,
        End,
        Backspace,
        Delete,
        Enter,
        Resize,
        Other
    };
    Kind kind = Kind::Other;
    char32_t ch = 0;  // the character, for Char
};
constexpr Key typed(char32_t c) {
    return {Key::Kind::Char, c};
}
constexpr Key pressed(Key::Kind kind) {
    return {kind, 0};
}

struct Action {
    enum class Kind {
        Nothing,
        Repaint,    // the whole screen again (Ctrl-L)
        EditKey,    // the key goes to the line being edited
        Select,     // the selection moves to target
        Press,      // target is selected and its button pressed
        BeginEdit,  // editing of the input box target starts
        Quit,
    };
    Kind kind = Kind::Nothing;
    std::string_view target;
    // A key press acknowledges the failure on the status line; a resize or a repaint
    // is no answer to it, and neither is typing into the edit line.
    bool acknowledges = false;
};

// The key map: what a key does with selected the control that has the selection.
Action map_key(const Key& key, std::string_view selected, bool editing);

// The status line's editor of one input box's text.
class LineEditor {
  public:
    LineEditor(int box, std::u32string text);  // the cursor starts at the end

    enum class Outcome { Editing, Keep, Cancel };
    Outcome apply(const Key& key);

    int box() const { return box_; }
    const std::u32string& text() const { return text_; }
    size_t cursor() const { return cursor_; }

    // What shows of the text in room cells, scrolled sideways just enough to keep the
    // cursor on screen, and the cursor's cell in it.
    struct View {
        std::u32string shown;
        int cursor_cell = 0;
    };
    View view(int room);

  private:
    int box_;
    std::u32string text_;
    size_t cursor_;
    size_t scroll_ = 0;
};

// The buttons whose handlers run, outermost first: a handler pumps the loop while it waits
// for the reader, and the panel goes on taking presses meanwhile, as the form does.
class BusyState {
  public:
    static constexpr size_t kMaxWaiting = 4;  // handlers pressed inside waiting handlers

    enum class Press { Go, Ignored, TooMany };
    // Whether a button may be pressed now: never while closing or once the form is gone,
    // and not deeper than kMaxWaiting handlers.
    Press may_press(bool form_loaded) const;

    // While this lives, button's handler counts as running.
    class Running {
      public:
        ~Running() { busy_.waiting_.pop_back(); }
        Running(const Running&) = delete;  // pops its own button once
        Running& operator=(const Running&) = delete;

      private:
        friend class BusyState;
        explicit Running(BusyState& busy) : busy_(busy) {}
        BusyState& busy_;
    };
    [[nodiscard]] Running run(std::string_view button);

    bool waiting() const { return !waiting_.empty(); }
    bool waiting_on(std::string_view button) const;
    std::string_view outermost() const { return waiting_.front(); }
    std::string_view innermost() const { return waiting_.back(); }

    // Starts closing; true when that has to wait for running handlers to return.
    bool close();
    bool closing() const { return closing_; }
    // Closed: closing (or the form gone) and no handler left running.
    bool finished(bool form_loaded);

  private:
    std::vector<std::string_view> waiting_;
    bool closing_ = false;
};

}  // namespace czqic::cli::panel_view
