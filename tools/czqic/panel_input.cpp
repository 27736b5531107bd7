#include "tools/czqic/panel_input.h"

#include <algorithm>

#include "panel/panel_form.h"
#include "tools/czqic/panel_layout.h"

namespace czqic::cli::panel_view {
namespace {

constexpr char32_t kEscape = 27;
constexpr char32_t kCtrlL = 12;
constexpr char32_t kCtrlU = 21;
constexpr char32_t kCtrlA = 1;
constexpr char32_t kCtrlE = 5;

Action select(std::string_view target) {
    return {Action::Kind::Select, target, true};
}

Action activate(std::string_view selected) {
    if (is_editable(selected)) return {Action::Kind::BeginEdit, selected, true};
    return {Action::Kind::Press, selected, true};
}

}  // namespace

Action map_key(const Key& key, std::string_view selected, bool editing) {
    using K = Key::Kind;
    if (key.kind == K::Resize) return {};  // the next redraw measures again
    if (key.kind == K::Char && key.ch == kCtrlL) return {Action::Kind::Repaint, {}, false};
    if (editing) return {Action::Kind::EditKey, {}, false};
    switch (key.kind) {
        case K::Right:
            return select(step_focus(selected, Direction::Right));
        case K::Left:
            return select(step_focus(selected, Direction::Left));
        case K::Up:
            return select(step_focus(selected, Direction::Up));
        case K::Down:
            return select(step_focus(selected, Direction::Down));
        case K::BackTab:
            return select(next_focus(selected, -1));
        case K::Enter:
            return activate(selected);
        case K::Char:
            break;
        default:
            return {Action::Kind::Nothing, {}, true};
    }
    switch (key.ch) {
        case U'\t':
            return select(next_focus(selected, +1));
        case U'\n':
        case U'\r':
        case U' ':
            return activate(selected);
        case U'q':
        case U'Q':
            return {Action::Kind::Quit, {}, true};
        default:
            break;
    }
    if (auto button = button_for_key(key.ch)) return {Action::Kind::Press, *button, true};
    return {Action::Kind::Nothing, {}, true};
}

LineEditor::LineEditor(int box, std::u32string text)
    : box_(box), text_(std::move(text)), cursor_(text_.size()) {}

LineEditor::Outcome LineEditor::apply(const Key& key) {
    using K = Key::Kind;
    auto erase_before_cursor = [this] {
        if (cursor_ > 0) text_.erase(--cursor_, 1);
    };
    switch (key.kind) {
        case K::Left:
            if (cursor_ > 0) --cursor_;
            return Outcome::Editing;
        case K::Right:
            if (cursor_ < text_.size()) ++cursor_;
            return Outcome::Editing;
        case K::Home:
            cursor_ = 0;
            return Outcome::Editing;
        case K::End:
            cursor_ = text_.size();
            return Outcome::Editing;
        case K::Backspace:
            erase_before_cursor();
            return Outcome::Editing;
        case K::Delete:
            if (cursor_ < text_.size()) text_.erase(cursor_, 1);
            return Outcome::Editing;
        case K::Enter:
            return Outcome::Keep;
        case K::Char:
            break;
        default:
            return Outcome::Editing;
    }
    switch (key.ch) {
        case U'\n':
        case U'\r':
            return Outcome::Keep;
        case kEscape:
            return Outcome::Cancel;
        case 8:
        case 127:
            erase_before_cursor();
            return Outcome::Editing;
        case kCtrlU:
            text_.clear();
            cursor_ = 0;
            return Outcome::Editing;
        case kCtrlA:
            cursor_ = 0;
            return Outcome::Editing;
        case kCtrlE:
            cursor_ = text_.size();
            return Outcome::Editing;
        default:
            break;
    }
    if (key.ch >= 0x20 && key.ch != 0x7F) text_.insert(cursor_++, 1, key.ch);
    return Outcome::Editing;
}

LineEditor::View LineEditor::view(int room) {
    View v;
    if (room < 1) return v;
    const std::u32string_view text(text_);
    if (cursor_ < scroll_) scroll_ = cursor_;
    while (display_width(text.substr(scroll_, cursor_ - scroll_)) > room) ++scroll_;
    int used = 0;
    for (size_t i = scroll_; i < text_.size(); ++i) {
        const int w = display_width(text_[i]);
        if (used + w > room) break;
        v.shown.push_back(text_[i]);
        used += w;
    }
    v.cursor_cell = display_width(text.substr(scroll_, cursor_ - scroll_));
    return v;
}

BusyState::Press BusyState::may_press(bool form_loaded) const {
    if (closing_ || !form_loaded) return Press::Ignored;
    if (waiting_.size() >= kMaxWaiting) return Press::TooMany;
    return Press::Go;
}

BusyState::Running BusyState::run(std::string_view button) {
    waiting_.push_back(button);
    return Running(*this);
}

bool BusyState::waiting_on(std::string_view button) const {
    return std::find(waiting_.begin(), waiting_.end(), button) != waiting_.end();
}

bool BusyState::close() {
    if (closing_) return false;
    closing_ = true;
    return !waiting_.empty();
}

bool BusyState::finished(bool form_loaded) {
    if (!form_loaded) closing_ = true;
    return closing_ && waiting_.empty();
}

}  // namespace czqic::cli::panel_view
