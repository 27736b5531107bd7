#include "tools/czqic/panel_view.h"

#include <langinfo.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "component/runtime.h"
#include "device/host_form.h"
#include "log/file_log_writer.h"
#include "log/log_writer.h"
#include "panel/panel_form.h"
#include "tools/czqic/demo.h"
#include "tools/czqic/linux_host.h"
#include "tools/czqic/panel_input.h"
#include "tools/czqic/panel_layout.h"

// Included last and without its pseudo-function macros: curses would otherwise turn
// std::move, clear() and erase() in the headers above into curses calls.
#define NCURSES_NOMACROS
#include <curses.h>

#if !NCURSES_WIDECHAR
#error "czqic panel needs the wide-character curses (ncursesw) for the form's caption"
#endif

namespace czqic::cli {
namespace {

using namespace panel_view;

static_assert(sizeof(wchar_t) == sizeof(char32_t), "curses gets the panel's text as wchar_t");

constexpr int kKeyWaitMs = 100;   // how late a key press or a timer's new text may show
constexpr int64_t kTickMs = 200;  // redraws and key polls while a button's handler waits
constexpr auto kFailureHold = std::chrono::seconds(5);

volatile std::sig_atomic_t g_stop_signal = 0;
volatile std::sig_atomic_t g_closing = 0;  // the panel waits only for a handler to return

extern "C" void on_stop_signal(int signal_number) {
    if (g_stop_signal != 0 || g_closing != 0) {
        // Closing already waits for a handler that may go on waiting for up to a minute;
        // leave now instead, with the terminal put back as ncurses' own handler would.
        endwin();
        _exit(128 + signal_number);
    }
    g_stop_signal = signal_number;
}

// The curses screen for as long as this lives: the terminal is restored on every way out,
// exceptions included. Interrupts become a request to close the panel, so that the form
// is unloaded and the component's termination runs as on any other way out.
class CursesSession {
  public:
    CursesSession() {
        g_stop_signal = 0;
        g_closing = 0;
        struct sigaction action {};
        action.sa_handler = on_stop_signal;
        sigemptyset(&action.sa_mask);
        for (size_t i = 0; i < kSignals.size(); ++i) sigaction(kSignals[i], &action, &saved_[i]);
        screen_ = newterm(nullptr, stdout, stdin);
        if (!screen_) {
            restore_signals();
            const char* term = std::getenv("TERM");
            throw std::runtime_error(std::string("cannot use the terminal (TERM=") +
                                     (term ? term : "") + ")");
        }
        cbreak();
        noecho();
        keypad(stdscr, TRUE);
        set_escdelay(25);
        curs_set(0);
    }
    ~CursesSession() {
        endwin();
        delscreen(screen_);
        restore_signals();
    }
    CursesSession(const CursesSession&) = delete;  // one screen, ended once
    CursesSession& operator=(const CursesSession&) = delete;

  private:
    static constexpr std::array<int, 3> kSignals{SIGINT, SIGTERM, SIGHUP};
    void restore_signals() {
        for (size_t i = 0; i < kSignals.size(); ++i) sigaction(kSignals[i], &saved_[i], nullptr);
    }

    SCREEN* screen_ = nullptr;
    std::array<struct sigaction, kSignals.size()> saved_{};
};

bool locale_is_utf8() {
    const std::string_view codeset = nl_langinfo(CODESET);
    return codeset == "UTF-8" || codeset == "utf8";
}

// Where the runtime's failure reports and the log's lines go. They start before the panel
// is on screen and may come after it is gone, so they cannot go to the view directly.
struct Notices {
    struct Shown {
        std::string text;
        int times;  // a timer's failure repeats every tick; it is told once, with a count
    };
    std::function<void(const std::string& text, bool failure)> show;
    std::vector<Shown> failures_shown;
    int failure_count = 0;
    std::ostream* err = nullptr;

    void failure(std::string_view where, std::string_view description) {
        std::string text = std::string(where) + ": " + std::string(description);
        std::replace(text.begin(), text.end(), '\n', ' ');
        if (!show) {
            *err << "czqic: " << text << '\n' << std::flush;
            return;
        }
        ++failure_count;
        if (!failures_shown.empty() && failures_shown.back().text == text)
            ++failures_shown.back().times;
        else
            failures_shown.push_back({text, 1});
        show(text, true);
    }
    void tell_again() const {
        for (const Shown& f : failures_shown) {
            *err << "czqic: " << f.text;
            if (f.times > 1) *err << " (" << f.times << " times)";
            *err << '\n';
        }
        *err << std::flush;
    }
    void log(const std::string& message) {
        if (show) show("log: " + message, false);
    }
};

std::string caption_of(std::string_view button) {
    const panel::Control* c = panel::find_control(button);
    return c ? encode_utf8(parse_caption(c->caption).text) : std::string(button);
}

std::string seconds_text(std::chrono::steady_clock::duration d) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(d).count());
    return text;
}

// The curses codes of the keys with no character that the key map knows.
constexpr std::pair<int, Key::Kind> kFunctionKeys[] = {
    {KEY_LEFT, Key::Kind::Left},     {KEY_RIGHT, Key::Kind::Right},
    {KEY_UP, Key::Kind::Up},         {KEY_DOWN, Key::Kind::Down},
    {KEY_BTAB, Key::Kind::BackTab},  {KEY_HOME, Key::Kind::Home},
    {KEY_END, Key::Kind::End},       {KEY_BACKSPACE, Key::Kind::Backspace},
    {KEY_DC, Key::Kind::Delete},     {KEY_ENTER, Key::Kind::Enter},
    {KEY_RESIZE, Key::Kind::Resize},
};

// The curses report of a key press, in the terms of the key map.
Key key_of(int kind, wint_t key) {
    if (kind != KEY_CODE_YES) return typed(static_cast<char32_t>(key));
    for (const auto& [code, named] : kFunctionKeys)
        if (static_cast<wint_t>(code) == key) return pressed(named);
    return pressed(Key::Kind::Other);
}

class PanelView {
  public:
    PanelView(LinuxHost& host, std::shared_ptr<HostForm> form, Notices& notices,
              std::string opening_note)
        : host_(host), form_(std::move(form)), notices_(notices), utf8_(locale_is_utf8()) {
        status_ = std::move(opening_note);
        notices_.show = [this](const std::string& text, bool failure) { note(text, failure); };
    }
    ~PanelView() { notices_.show = nullptr; }
    PanelView(const PanelView&) = delete;  // its ticks on the loop point at this object
    PanelView& operator=(const PanelView&) = delete;

    void run() {
        schedule_tick();
        redraw();
        while (!finished()) {
            host_.runtime().loop().pump();
            if (finished()) break;
            wint_t key = 0;
            wtimeout(stdscr, wait_ms());
            const int kind = wget_wch(stdscr, &key);
            if (kind != ERR) handle_key(kind, key);
            check_stop_signal();
            redraw();
        }
    }

  private:
    bool finished() { return busy_.finished(host_.runtime().form_loaded()); }

    int wait_ms() const {
        MessageLoop& loop = host_.runtime().loop();
        const int64_t until_due = loop.next_due_ms() - loop.clock().now_ms();
        return static_cast<int>(std::clamp<int64_t>(until_due, 0, kKeyWaitMs));
    }

    // A button's handler pumps the loop while it waits for the reader; this tick is how
    // the panel keeps showing the form's texts and taking keys meanwhile, as the form's
    // own window would. The next tick is posted first so that one is pending inside any
    // handler this tick starts.
    void schedule_tick() {
        host_.runtime().loop().post(
            [this] {
                schedule_tick();
                on_tick();
            },
            kTickMs, alive_);
    }

    void on_tick() {
        // Nothing may escape into the loop: it would surface inside whichever operation
        // is pumping, as that operation's failure.
        try {
            if (busy_.waiting()) poll_keys();
            check_stop_signal();
            redraw();
        } catch (const std::exception& e) {
            note(std::string("panel: ") + e.what(), true);
        }
    }

    void poll_keys() {
        for (int i = 0; i < 32; ++i) {
            wint_t key = 0;
            wtimeout(stdscr, 0);
            const int kind = wget_wch(stdscr, &key);
            if (kind == ERR) return;
            handle_key(kind, key);
        }
    }

    void check_stop_signal() {
        if (g_stop_signal != 0 && !busy_.closing()) quit();
    }

    void handle_key(int kind, wint_t curses_key) {
        const Key key = key_of(kind, curses_key);
        const Action action = map_key(key, selected_, edit_.has_value());
        if (action.acknowledges && failure_note_) failure_until_ = {};
        switch (action.kind) {
            case Action::Kind::Nothing:
                return;
            case Action::Kind::Repaint:
                clearok(curscr, TRUE);
                return;
            case Action::Kind::EditKey:
                return edit_key(key);
            case Action::Kind::Select:
                selected_ = action.target;
                return;
            case Action::Kind::Press:
                selected_ = action.target;
                return press(action.target);
            case Action::Kind::BeginEdit:
                return begin_edit(panel::text_box_number(action.target));
            case Action::Kind::Quit:
                return quit();
        }
    }

    void press(std::string_view button) {
        switch (busy_.may_press(host_.runtime().form_loaded())) {
            case BusyState::Press::Go:
                break;
            case BusyState::Press::Ignored:
                return;
            case BusyState::Press::TooMany:
                note(caption_of(busy_.innermost()) + " is still waiting; " + caption_of(button) +
                         " was not pressed",
                     true);
                return;
        }
        const std::string caption = caption_of(button);
        const int failures_before = notices_.failure_count;
        const auto started = std::chrono::steady_clock::now();
        {
            const auto running = busy_.run(button);
            if (button != "Status" && button != "Cmd_Exit") note(caption + ": waiting...", false);
            redraw();
            try {
                // The form's own handler, as a click on the form runs it; a failure ends
                // only this click, as on the form, and is reported like the form's others.
                panel::click(*form_, button);
            } catch (const std::exception& e) {
                host_.runtime().report("panel:" + std::string(button), e);
            }
        }
        if (!host_.runtime().form_loaded()) return start_closing();
        if (notices_.failure_count == failures_before)
            note(caption + " returned after " +
                     seconds_text(std::chrono::steady_clock::now() - started),
                 false);
    }

    void quit() {
        if (busy_.closing()) return;
        edit_.reset();
        press("Cmd_Exit");
        start_closing();  // even when the unload failed: q always closes the panel
    }

    void start_closing() {
        if (busy_.closing()) return;
        edit_.reset();
        if (!busy_.close()) return;
        g_closing = 1;
        note("closing once " + caption_of(busy_.outermost()) + " returns (Ctrl-C leaves at once)",
             false);
    }

    void begin_edit(int box) {
        if (busy_.closing()) return;
        edit_.emplace(box, decode_utf8(form_->text(box)));
    }

    void edit_key(const Key& key) {
        const LineEditor::Outcome outcome = edit_->apply(key);
        if (outcome == LineEditor::Outcome::Editing) return;
        const LineEditor e = std::move(*edit_);
        edit_.reset();
        if (outcome == LineEditor::Outcome::Cancel || busy_.closing() ||
            !host_.runtime().form_loaded())
            return;
        form_->set_text(e.box(), encode_utf8(e.text()));
        note("Text" + std::to_string(e.box()) + " set", false);
    }

    void note(std::string text, bool failure) {
        const auto now = std::chrono::steady_clock::now();
        // A failure stays readable for a while: the log lines that follow it come in
        // bursts and would otherwise hide it at once.
        if (!failure && failure_note_ && now < failure_until_) return;
        status_ = std::move(text);
        failure_note_ = failure;
        if (failure) failure_until_ = now + kFailureHold;
    }

    std::wstring to_screen(std::u32string_view text) const {
        std::wstring out;
        out.reserve(text.size());
        for (char32_t c : text) {
            auto w = static_cast<wchar_t>(c);
            if (!utf8_ && c > 0x7E) w = c == 0x2026 ? L'>' : L'?';
            // The layout took its cells from display_width(): a character the terminal
            // cannot show in that many cells (or at all) shows as "?" and keeps the columns.
            if (c < 0x20 || (c >= 0x7F && c < 0xA0) ||
                ::wcwidth(w) != display_width(static_cast<char32_t>(w)))
                w = L'?';
            out.push_back(w);
        }
        return out;
    }

    void put(int y, int x, std::u32string_view text, attr_t attr = A_NORMAL) const {
        const std::wstring w = to_screen(text);
        wattrset(stdscr, static_cast<int>(attr));
        mvwaddnwstr(stdscr, y, x, w.c_str(), static_cast<int>(w.size()));
        wattrset(stdscr, A_NORMAL);
    }

    void put(int y, int x, std::string_view utf8, attr_t attr = A_NORMAL) const {
        put(y, x, std::u32string_view(decode_utf8(utf8)), attr);
    }

    // A full-width line: text clipped to the width, the rest of the row in the same look.
    void put_line(const Rect& row, std::string_view utf8, attr_t attr) const {
        wattrset(stdscr, static_cast<int>(attr));
        mvwhline(stdscr, row.y, row.x, ' ', row.w);
        wattrset(stdscr, A_NORMAL);
        put(row.y, row.x, clip_cells(decode_utf8(utf8), row.w), attr);
    }

    void draw_box(const Rect& r, bool doubled) const {
        if (r.w < 2 || r.h < 2) return;
        const cchar_t* h = doubled ? WACS_D_HLINE : WACS_HLINE;
        const cchar_t* v = doubled ? WACS_D_VLINE : WACS_VLINE;
        mvwhline_set(stdscr, r.y, r.x + 1, h, r.w - 2);
        mvwhline_set(stdscr, r.bottom() - 1, r.x + 1, h, r.w - 2);
        mvwvline_set(stdscr, r.y + 1, r.x, v, r.h - 2);
        mvwvline_set(stdscr, r.y + 1, r.right() - 1, v, r.h - 2);
        mvwadd_wch(stdscr, r.y, r.x, doubled ? WACS_D_ULCORNER : WACS_ULCORNER);
        mvwadd_wch(stdscr, r.y, r.right() - 1, doubled ? WACS_D_URCORNER : WACS_URCORNER);
        mvwadd_wch(stdscr, r.bottom() - 1, r.x, doubled ? WACS_D_LLCORNER : WACS_LLCORNER);
        mvwadd_wch(stdscr, r.bottom() - 1, r.right() - 1,
                   doubled ? WACS_D_LRCORNER : WACS_LRCORNER);
    }

    void draw_button(const PlacedControl& button) const {
        const Rect& r = button.rect;
        const ButtonFace face = button_face(button);
        const bool selected = button.control->name == selected_;
        const bool waiting = busy_.waiting_on(button.control->name);
        // The selection shows without colour or video attributes too, as a doubled
        // border, so that it reads on any terminal and in a plain screen capture.
        if (face.boxed) draw_box(r, selected);
        const int y = r.y + face.caption_dy;
        if (!face.decorated_row) {
            mvwhline(stdscr, y, r.x, ' ', r.w);
        } else if (!face.boxed) {
            put(y, r.x, std::u32string_view(selected ? U"<" : U"["));
            put(y, r.right() - 1, std::u32string_view(selected ? U">" : U"]"));
        }
        attr_t attr = A_NORMAL;
        if (selected) attr |= A_REVERSE;
        if (waiting) attr |= A_BOLD;
        const std::u32string& text = face.caption;
        int x = r.x + face.caption_dx;
        for (size_t i = 0; i < text.size(); ++i) {
            const attr_t key_attr = face.key_index == i ? A_UNDERLINE | A_BOLD : A_NORMAL;
            put(y, x, std::u32string_view(&text[i], 1), attr | key_attr);
            x += display_width(text[i]);
        }
    }

    void draw_text_box(const PlacedControl& box) const {
        const Rect& r = box.rect;
        const int number = panel::text_box_number(box.control->name);
        const bool selected = box.control->name == selected_;
        const bool editing = edit_ && edit_->box() == number;
        attr_t attr = A_UNDERLINE;
        if (selected) attr = A_REVERSE;
        if (editing) attr |= A_BOLD;
        const std::u32string text = editing ? edit_->text() : decode_utf8(form_->text(number));
        put_line(r, encode_utf8(clip_cells(text, r.w)), attr);
    }

    void draw_form(const PanelLayout& layout) const {
        put_line(layout.title, "", A_REVERSE);
        const std::u32string caption = decode_utf8(panel::kFormCaption);
        const int width = display_width(caption);
        put(0, std::max(0, (layout.cols - width) / 2), clip_cells(caption, layout.cols),
            A_REVERSE | A_BOLD);
        for (const PlacedControl& placed : layout.controls) {
            switch (placed.control->kind) {
                case panel::ControlKind::Frame:
                    draw_box(placed.rect, false);
                    break;
                case panel::ControlKind::Button:
                    draw_button(placed);
                    break;
                case panel::ControlKind::TextBox:
                    draw_text_box(placed);
                    break;
            }
        }
    }

    std::string help_text(int cols) const {
        if (edit_) return "Enter keeps  Esc cancels  arrows Home End  Backspace Del  Ctrl-U clears";
        struct Part {
            std::string text;
            int keep;  // the part with the highest number goes first when the line is full
        };
        std::vector<Part> parts;
        if (is_editable(selected_)) {
            parts.push_back({std::string(selected_) + " (" + std::string(text_box_role(selected_)) +
                                 "): Enter edits it",
                             0});
            parts.push_back({"Tab/arrows select", 1});
            parts.push_back({"underlined keys press buttons", 3});
        } else {
            parts.push_back(
                {"Press the underlined key (" + shared_key_help() + ") or Tab/arrows+Enter", 0});
        }
        parts.push_back({"q quits", 2});
        auto joined = [&parts] {
            std::string text;
            for (const auto& part : parts) text += (text.empty() ? "" : "  ") + part.text;
            return text;
        };
        while (parts.size() > 1 && display_width(decode_utf8(joined())) > cols)
            parts.erase(std::max_element(parts.begin(), parts.end(),
                                         [](auto& a, auto& b) { return a.keep < b.keep; }));
        return joined();
    }

    void draw_status(const PanelLayout& layout) const {
        if (!edit_) {
            put_line(layout.status, status_, failure_note_ ? A_BOLD : A_NORMAL);
            return;
        }
        const std::u32string prompt = decode_utf8("Text" + std::to_string(edit_->box()) + "> ");
        const int room = layout.cols - display_width(prompt) - 1;
        put_line(layout.status, "", A_NORMAL);
        put(layout.status.y, 0, prompt, A_BOLD);
        if (room < 1) return;
        const LineEditor::View view = edit_->view(room);
        const int x = display_width(prompt);
        put(layout.status.y, x, view.shown);
        wmove(stdscr, layout.status.y, x + view.cursor_cell);
    }

    void redraw() {
        int rows = 0;
        int cols = 0;
        getmaxyx(stdscr, rows, cols);
        const PanelLayout layout = layout_panel(cols, rows);
        werase(stdscr);
        if (!layout.usable) {
            char text[96];
            std::snprintf(text, sizeof text,
                          "%dx%d is too small for the panel; 80x24 suits it. q quits", cols, rows);
            put(rows / 2, 0, clip_cells(decode_utf8(text), cols), A_BOLD);
            curs_set(0);
            wrefresh(stdscr);
            return;
        }
        draw_form(layout);
        put_line(layout.help, help_text(layout.cols), A_REVERSE);
        draw_status(layout);  // last: the cursor stays where the edit is
        curs_set(edit_ ? 1 : 0);
        wrefresh(stdscr);
    }

    LinuxHost& host_;
    std::shared_ptr<HostForm> form_;
    Notices& notices_;
    const bool utf8_;
    // The ticks posted on the loop are dropped unseen once this is gone.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);

    std::string_view selected_ = focus_order().front();
    BusyState busy_;
    mutable std::optional<LineEditor> edit_;  // drawing scrolls the edit line

    std::string status_;
    bool failure_note_ = false;
    std::chrono::steady_clock::time_point failure_until_{};
};

}  // namespace

int run_panel(PanelOptions options, std::ostream& err) {
    if (!::isatty(STDIN_FILENO) || !::isatty(STDOUT_FILENO)) {
        err << "czqic: panel: standard input and output must be a terminal\n" << std::flush;
        return 2;
    }
    std::setlocale(LC_ALL, "");

    Notices notices;
    notices.err = &err;
    LinuxHostOptions host_options;
    host_options.scenario = std::move(options.scenario);
    host_options.reader = options.reader;
    host_options.on_failure = [&notices](std::string_view where, std::string_view description) {
        notices.failure(where, description);
    };
    host_options.on_log = [&notices](const std::string& message) { notices.log(message); };

    std::string log_place = kLogPath;
    try {
        log_place = map_drive_path(kLogPath);
    } catch (const std::exception&) {
        // Shown as the component names it; the first log line will report the failure.
    }

    int status = 0;
    {
        LinuxHost host(std::move(host_options));
        std::shared_ptr<HostForm> form;
        try {
            form = host.runtime().form_ref();
        } catch (const std::exception& e) {
            err << "czqic: panel: the host form did not load: " << e.what() << '\n' << std::flush;
            return 1;
        }
        try {
            CursesSession session;
            PanelView view(
                host, form, notices,
                reader_title(options.reader, options.scenario_name) + ". Log: " + log_place);
            view.run();
        } catch (const std::exception& e) {
            err << "czqic: panel: " << e.what() << '\n' << std::flush;
            status = 1;
        }
    }
    notices.tell_again();
    return status;
}

}  // namespace czqic::cli
