#include "tools/czqic/panel_layout.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <utility>

namespace czqic::cli::panel_view {
namespace {

using panel::ControlKind;

constexpr char32_t kEllipsis = 0x2026;

// Text boxes narrower than this could not show a state word such as "NOMEDIA" whole.
constexpr int kMinTextBoxCells = 8;
constexpr size_t kLegibleCaptionChars = 4;

int scale(int twips, int cells, int twips_span) {
    return static_cast<int>(int64_t{twips} * cells / twips_span);
}

bool legible(const PlacedControl& placed) {
    const Rect& r = placed.rect;
    if (placed.control->kind == ControlKind::TextBox) return r.w >= kMinTextBoxCells;
    if (placed.control->kind != ControlKind::Button) return true;
    const std::u32string full = parse_caption(placed.control->caption).text;
    const size_t wanted = std::min(full.size(), kLegibleCaptionChars);
    const std::u32string shown = button_face(placed).caption;
    return shown.size() >= wanted && std::equal(full.begin(), full.begin() + wanted, shown.begin());
}

bool check_usable(const PanelLayout& layout) {
    if (layout.cols < 1 || layout.form.h < 1) return false;
    const auto& placed = layout.controls;
    for (const PlacedControl& p : placed) {
        const Rect& r = p.rect;
        if (r.w < 1 || r.h < 1 || r.x < layout.form.x || r.y < layout.form.y ||
            r.right() > layout.form.right() || r.bottom() > layout.form.bottom())
            return false;
        if (!legible(p)) return false;
    }
    for (size_t i = 0; i < placed.size(); ++i)
        for (size_t j = i + 1; j < placed.size(); ++j) {
            const PlacedControl& a = placed[i];
            const PlacedControl& b = placed[j];
            // The frame's own buttons sit on the frame; they only have to clear its border.
            if (a.control->kind == ControlKind::Frame && b.control->in_frame) {
                if (!inside_border(b.rect, a.rect)) return false;
                continue;
            }
            if (overlaps(a.rect, b.rect)) return false;
        }
    return true;
}

// One axis of a control on the form, in twips: [first, last).
struct Span {
    int first;
    int last;
};

int64_t gap(Span a, Span b) {
    return std::max({0, b.first - a.last, a.first - b.last});
}
int64_t mid_gap(Span a, Span b) {
    return std::abs((a.first + a.last) - (b.first + b.last)) / 2;
}

}  // namespace

bool overlaps(const Rect& a, const Rect& b) {
    return a.x < b.right() && b.x < a.right() && a.y < b.bottom() && b.y < a.bottom();
}

bool inside_border(const Rect& inner, const Rect& outer) {
    return inner.x > outer.x && inner.right() < outer.right() && inner.y > outer.y &&
           inner.bottom() < outer.bottom();
}

const PlacedControl* PanelLayout::find(std::string_view name) const {
    for (const PlacedControl& p : controls)
        if (p.control->name == name) return &p;
    return nullptr;
}

PanelLayout layout_panel(int cols, int rows) {
    PanelLayout layout;
    layout.cols = cols;
    layout.rows = rows;
    if (cols < 1 || rows < 4) return layout;
    layout.title = {0, 0, cols, 1};
    layout.form = {0, 1, cols, rows - 3};
    layout.status = {0, rows - 2, cols, 1};
    layout.help = {0, rows - 1, cols, 1};

    // Both edges are scaled, not the size: rounding down is monotonic, so controls that
    // are apart on the form cannot come to overlap on the screen.
    auto x_of = [&](int twips) { return layout.form.x + scale(twips, cols, panel::kFormWidth); };
    auto y_of = [&](int twips) {
        return layout.form.y + scale(twips, layout.form.h, panel::kFormHeight);
    };
    for (const panel::Control& c : panel::controls()) {
        if (!c.visible) continue;
        Rect r{x_of(c.left), y_of(c.top), 0, 0};
        r.w = x_of(c.left + c.width) - r.x;
        r.h = y_of(c.top + c.height) - r.y;
        if (c.kind == ControlKind::TextBox) {
            // A single-line text box: one row, in the middle of the rows its height spans.
            if (r.h > 1) r.y += (r.h - 1) / 2;
            r.h = 1;
        }
        layout.controls.push_back({&c, r});
    }
    layout.usable = check_usable(layout);
    return layout;
}

std::u32string clip_cells(std::u32string_view text, int cells) {
    if (display_width(text) <= cells) return std::u32string(text);
    std::u32string out;
    int used = 0;
    for (char32_t c : text) {
        const int w = display_width(c);
        if (used + w > cells - 1) break;
        out.push_back(c);
        used += w;
    }
    if (cells >= 1) out.push_back(kEllipsis);
    return out;
}

Caption parse_caption(std::string_view caption) {
    const std::u32string raw = decode_utf8(caption);
    Caption parsed;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != U'&') {
            parsed.text.push_back(raw[i]);
            continue;
        }
        if (++i >= raw.size()) break;  // a trailing "&" marks nothing
        if (raw[i] != U'&' && !parsed.key_index) parsed.key_index = parsed.text.size();
        parsed.text.push_back(raw[i]);
    }
    return parsed;
}

ButtonFace button_face(const PlacedControl& button) {
    const Rect& r = button.rect;
    const Caption caption = parse_caption(button.control->caption);
    ButtonFace face;
    face.boxed = r.h >= 3;
    face.caption_dy = face.boxed ? (r.h - 1) / 2 : 0;
    const int inside = r.w - 2;
    const int width = display_width(caption.text);
    if (width <= inside) {
        face.caption = caption.text;
        face.caption_dx = 1 + (inside - width) / 2;
    } else {
        face.decorated_row = false;
        face.caption = clip_cells(caption.text, r.w);
        face.caption_dx = std::max(0, (r.w - display_width(face.caption)) / 2);
    }
    const bool cut = face.caption != caption.text;
    const size_t kept =
        cut && !face.caption.empty() ? face.caption.size() - 1 : face.caption.size();
    if (caption.key_index && *caption.key_index < kept) face.key_index = caption.key_index;
    return face;
}

namespace {

// Buttons by their access key (lower case), in the panel's order.
const std::map<char32_t, std::vector<std::string_view>>& buttons_by_key() {
    static const auto table = [] {
        std::map<char32_t, std::vector<std::string_view>> keys;
        for (const panel::Control& c : panel::controls()) {
            if (c.kind != ControlKind::Button || !c.visible) continue;
            const Caption caption = parse_caption(c.caption);
            if (caption.key_index)
                keys[ascii_lower(caption.text[*caption.key_index])].push_back(c.name);
        }
        return keys;
    }();
    return table;
}

}  // namespace

std::optional<std::string_view> button_for_key(char32_t typed) {
    const auto& keys = buttons_by_key();
    auto it = keys.find(ascii_lower(typed));
    if (it == keys.end()) return std::nullopt;
    const auto& names = it->second;
    const bool upper_case = typed != ascii_lower(typed);
    if (names.size() > 1 && upper_case) return names[1];
    return names[0];
}

std::string shared_key_help() {
    std::string help;
    for (const auto& [key, names] : buttons_by_key()) {
        if (names.size() < 2) continue;
        for (size_t i = 0; i < 2; ++i) {
            if (!help.empty()) help += "  ";
            help += encode_utf8(std::u32string(1, i == 0 ? key : ascii_upper(key)));
            help += ' ';
            help += encode_utf8(parse_caption(panel::find_control(names[i])->caption).text);
        }
    }
    return help;
}

bool is_editable(std::string_view name) {
    const int box = panel::text_box_number(name);
    return box >= 7 && box <= 10;
}

std::string_view text_box_role(std::string_view name) {
    switch (panel::text_box_number(name)) {
        case 1:
            return "device state";
        case 2:
            return "media state";
        case 3:
            return "bin state";
        case 4:
            return "bin count";
        case 5:
            return "status word";
        case 6:
            return "last result";
        case 7:
            return "track 1";
        case 8:
            return "track 2";
        case 9:
            return "track 3";
        case 10:
            return "chip command in hex";
        case 11:
            return "chip reply";
        default:
            return "";
    }
}

const std::vector<std::string_view>& focus_order() {
    static const auto order = [] {
        std::vector<const panel::Control*> selectable;
        for (const panel::Control& c : panel::controls())
            if (c.visible && (c.kind == ControlKind::Button || is_editable(c.name)))
                selectable.push_back(&c);
        std::stable_sort(selectable.begin(), selectable.end(), [](auto* a, auto* b) {
            return a->top != b->top ? a->top < b->top : a->left < b->left;
        });
        std::vector<std::string_view> names;
        for (const auto* c : selectable) names.push_back(c->name);
        return names;
    }();
    return order;
}

std::string_view next_focus(std::string_view from, int delta) {
    const auto& order = focus_order();
    auto it = std::find(order.begin(), order.end(), from);
    if (it == order.end()) return order.front();
    const auto n = static_cast<int>(order.size());
    const int at = static_cast<int>(it - order.begin());
    return order[static_cast<size_t>(((at + delta) % n + n) % n)];
}

std::string_view step_focus(std::string_view from, Direction direction) {
    const panel::Control* origin = panel::find_control(from);
    if (!origin) return focus_order().front();
    const Span ox{origin->left, origin->left + origin->width};
    const Span oy{origin->top, origin->top + origin->height};
    std::string_view best = from;
    std::pair<int64_t, int64_t> best_score{INT64_MAX, INT64_MAX};
    for (std::string_view name : focus_order()) {
        if (name == from) continue;
        const panel::Control* c = panel::find_control(name);
        const Span cx{c->left, c->left + c->width};
        const Span cy{c->top, c->top + c->height};
        // Only what lies wholly beyond the edge faced: Right from Text7 must not land on
        // Text9 below it only because Text9 is wider.
        const bool sideways = direction == Direction::Left || direction == Direction::Right;
        const bool backwards = direction == Direction::Left || direction == Direction::Up;
        const Span& o_along = sideways ? ox : oy;
        const Span& c_along = sideways ? cx : cy;
        const Span& o_across = sideways ? oy : ox;
        const Span& c_across = sideways ? cy : cx;
        const int along = backwards ? o_along.first - c_along.last : c_along.first - o_along.last;
        if (along < 0) continue;
        const int64_t across = gap(o_across, c_across);
        const int64_t off_center = mid_gap(o_across, c_across);
        // Straying sideways counts double; among equals the one most in line wins, so Up
        // from a wide text box lands on the button above its middle.
        const std::pair<int64_t, int64_t> score{along + 2 * across, off_center};
        if (score < best_score) best_score = score, best = name;
    }
    return best;
}

}  // namespace czqic::cli::panel_view
