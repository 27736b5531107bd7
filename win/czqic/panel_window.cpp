#include "win/czqic/panel_window.h"

#include <windows.h>

#include <string>
#include <vector>

#include "panel/panel_form.h"
#include "platform/unique_resource.h"
#include "platform/win32/com/convert.h"
#include "win/czqic/win_host.h"

namespace czqic::cli {
namespace {

constexpr UINT_PTR kRefreshTimer = 1;
constexpr UINT kRefreshMs = 200;

using ScopedFont = UniqueResource<HFONT, ReleasedBy<DeleteObject, nullptr>>;

// One panel window; the host's objects and the component's form live on this thread.
class PanelWindow {
  public:
    explicit PanelWindow(std::ostream& err) : err_(err) {}
    PanelWindow(const PanelWindow&) = delete;  // owns its window and font
    PanelWindow& operator=(const PanelWindow&) = delete;

    int run() {
        if (!create()) return 1;
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            // The dialog manager gives the form its access keys and Tab order.
            if (window_ && IsDialogMessageW(window_, &msg)) continue;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        return 0;
    }

  private:
    int pixels_x(int twips) const { return MulDiv(twips, dpi_x_, 1440); }
    int pixels_y(int twips) const { return MulDiv(twips, dpi_y_, 1440); }

    bool create() {
        HDC screen = GetDC(nullptr);
        dpi_x_ = GetDeviceCaps(screen, LOGPIXELSX);
        dpi_y_ = GetDeviceCaps(screen, LOGPIXELSY);
        ReleaseDC(nullptr, screen);

        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = window_proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        wc.lpszClassName = kPanelWindowClass;
        wc.cbWndExtra = sizeof(void*);
        RegisterClassExW(&wc);

        constexpr DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
        RECT frame{0, 0, pixels_x(panel::kFormWidth), pixels_y(panel::kFormHeight)};
        AdjustWindowRectEx(&frame, style, FALSE, WS_EX_CONTROLPARENT);
        const std::wstring caption = win::widen(panel::kFormCaption);
        window_ = CreateWindowExW(WS_EX_CONTROLPARENT, kPanelWindowClass, caption.c_str(), style,
                                  CW_USEDEFAULT, CW_USEDEFAULT, frame.right - frame.left,
                                  frame.bottom - frame.top, nullptr, nullptr, wc.hInstance, this);
        if (!window_) {
            err_ << "czqic: the panel window cannot be created (is there a display?)\n";
            return false;
        }
        // 9 points in the form's font family, at the screen's DPI.
        font_.reset(CreateFontW(-MulDiv(9, dpi_y_, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                                DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                DEFAULT_QUALITY, DEFAULT_PITCH, L"MS Shell Dlg"));
        create_controls();
        refresh_boxes();
        ShowWindow(window_, SW_SHOWNORMAL);
        UpdateWindow(window_);
        SetTimer(window_, kRefreshTimer, kRefreshMs, nullptr);
        return true;
    }

    void create_controls() {
        const auto controls = panel::controls();
        for (size_t i = 0; i < controls.size(); ++i) {
            const panel::Control& c = controls[i];
            DWORD style = WS_CHILD | WS_CLIPSIBLINGS | (c.visible ? WS_VISIBLE : 0);
            const wchar_t* kind = L"BUTTON";
            DWORD ex_style = 0;
            std::wstring text = win::widen(c.caption);
            switch (c.kind) {
                case panel::ControlKind::Frame:
                    style |= BS_GROUPBOX;
                    break;
                case panel::ControlKind::Button:
                    style |= BS_PUSHBUTTON | WS_TABSTOP;
                    break;
                case panel::ControlKind::TextBox:
                    kind = L"EDIT";
                    ex_style = WS_EX_CLIENTEDGE;
                    style |= ES_AUTOHSCROLL | WS_TABSTOP;
                    text.clear();
                    break;
            }
            HWND child =
                CreateWindowExW(ex_style, kind, text.c_str(), style, pixels_x(c.left),
                                pixels_y(c.top), pixels_x(c.width), pixels_y(c.height), window_,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFirstControlId + i)),
                                GetModuleHandleW(nullptr), nullptr);
            if (child && font_)
                SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), 0);
            if (c.kind == panel::ControlKind::TextBox) boxes_.push_back({child, c.name});
        }
        // The frame is drawn beneath the buttons that stand in it.
        if (HWND frame = GetDlgItem(window_, kFirstControlId))
            SetWindowPos(frame, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    }

    // The form's texts into the boxes; the box being typed into is left alone.
    void refresh_boxes() {
        if (closing_) return;
        HWND focus = GetFocus();
        updating_ = true;
        for (const Box& box : boxes_) {
            if (box.window == focus) continue;
            std::string text;
            try {
                text = host_.panel_read(box.name);
            } catch (const std::exception&) {
                continue;  // the form failed to load; the click that loads it reports why
            }
            const std::wstring wide = win::widen(text);
            if (window_text(box.window) != wide) SetWindowTextW(box.window, wide.c_str());
        }
        updating_ = false;
    }

    static std::wstring window_text(HWND window) {
        std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
        text.resize(static_cast<size_t>(
            GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
        return text;
    }

    void typed(HWND box) {
        if (updating_) return;
        for (const Box& b : boxes_)
            if (b.window == box) {
                try {
                    host_.panel_write(b.name, win::narrow(window_text(box)));
                } catch (const std::exception& e) {
                    err_ << "czqic: " << b.name << ": " << e.what() << '\n' << std::flush;
                }
            }
    }

    void press(size_t index) {
        const auto controls = panel::controls();
        if (index >= controls.size() || controls[index].kind != panel::ControlKind::Button) return;
        const std::string name(controls[index].name);
        ++busy_;
        try {
            // The form's handler; a failure ends only this click and is reported by the
            // component as the form's failures are.
            host_.panel_click(name);
        } catch (const std::exception& e) {
            err_ << "czqic: panel:" << name << ": " << e.what() << '\n' << std::flush;
        }
        --busy_;
        refresh_boxes();
        if (name == "Cmd_Exit") closing_ = true;
        if (busy_ > 0) return;
        if (closing_) {
            DestroyWindow(window_);
        } else if (close_requested_) {
            close_requested_ = false;
            press(exit_index());
        }
    }

    LRESULT handle(UINT message, WPARAM w, LPARAM l) {
        switch (message) {
            case WM_COMMAND: {
                const int id = LOWORD(w);
                if (id < kFirstControlId) break;
                const size_t index = static_cast<size_t>(id - kFirstControlId);
                if (HIWORD(w) == BN_CLICKED)
                    press(index);
                else if (HIWORD(w) == EN_CHANGE)
                    typed(reinterpret_cast<HWND>(l));
                return 0;
            }
            case WM_TIMER:
                if (w == kRefreshTimer) refresh_boxes();
                return 0;
            case WM_CLOSE:
                // Closing the window is the Exit button; a click still waiting finishes first.
                if (closing_) return 0;
                if (busy_ > 0)
                    close_requested_ = true;
                else
                    press(exit_index());
                return 0;
            case WM_DESTROY:
                KillTimer(window_, kRefreshTimer);
                window_ = nullptr;
                PostQuitMessage(0);
                return 0;
        }
        return DefWindowProcW(window_, message, w, l);
    }

    static size_t exit_index() {
        const auto controls = panel::controls();
        for (size_t i = 0; i < controls.size(); ++i)
            if (controls[i].name == "Cmd_Exit") return i;
        return controls.size();
    }

    static LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM w, LPARAM l) {
        if (message == WM_NCCREATE) {
            auto* self =
                static_cast<PanelWindow*>(reinterpret_cast<CREATESTRUCTW*>(l)->lpCreateParams);
            SetWindowLongPtrW(window, 0, reinterpret_cast<LONG_PTR>(self));
            self->window_ = window;
        }
        auto* self = reinterpret_cast<PanelWindow*>(GetWindowLongPtrW(window, 0));
        if (!self || !self->window_) return DefWindowProcW(window, message, w, l);
        return self->handle(message, w, l);
    }

    struct Box {
        HWND window;
        std::string_view name;
    };

    std::ostream& err_;
    WinHost host_;
    HWND window_ = nullptr;
    ScopedFont font_;
    int dpi_x_ = 96, dpi_y_ = 96;
    std::vector<Box> boxes_;
    bool updating_ = false;
    bool closing_ = false;
    bool close_requested_ = false;
    int busy_ = 0;
};

}  // namespace

int run_panel_window(std::ostream& err) {
    PanelWindow window(err);
    return window.run();
}

}  // namespace czqic::cli
