// czqic.exe panel driven as a technician drives it: the window is found by its class, its
// buttons are pressed and its boxes read from this separate process. Needs a display.
// Usage: panel_check.exe [CZQIC_EXE]; czqic.exe beside this program by default.
#include <windows.h>

#include <chrono>
#include <string>

#include "panel/panel_form.h"
#include "platform/win32/convert.h"
#include "win/czqic/panel_window.h"
#include "win/tests/check.h"

using namespace czqic::check;

namespace {

HWND g_form = nullptr;

HWND control(std::string_view name) {
    const auto controls = czqic::panel::controls();
    for (size_t i = 0; i < controls.size(); ++i)
        if (controls[i].name == name)
            return GetDlgItem(g_form, czqic::cli::kFirstControlId + static_cast<int>(i));
    return nullptr;
}

std::string text_of(std::string_view name) {
    wchar_t text[512] = {};
    DWORD_PTR length = 0;
    SendMessageTimeoutW(control(name), WM_GETTEXT, std::size(text), reinterpret_cast<LPARAM>(text),
                        SMTO_NORMAL, 5000, &length);
    return narrow(text);
}

// Waits until the box shows the text; false after the limit.
bool shows(std::string_view box, const std::string& expected, int limit_ms = 20000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (std::chrono::steady_clock::now() < until) {
        if (text_of(box) == expected) return true;
        Sleep(50);
    }
    return false;
}

void press(std::string_view button) {
    PostMessageW(control(button), BM_CLICK, 0, 0);
}

void expect_box(std::string_view box, const std::string& expected) {
    const bool ok = shows(box, expected);
    expect(ok, std::string(box) + " shows \"" + expected + "\"", "shows \"" + text_of(box) + "\"");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring exe;
    if (argc > 1) {
        exe = argv[1];
    } else {
        wchar_t self[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        exe = self;
        exe = exe.substr(0, exe.find_last_of(L"\\/") + 1) + L"czqic.exe";
    }
    std::wstring command = L"\"" + exe + L"\" panel";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        std::printf("FAIL czqic.exe panel cannot be started\n");
        return 1;
    }
    ScopedHandle process_handle(process.hProcess), thread_handle(process.hThread);

    const int status = run([&] {
        group("the panel window", [&] {
            // The window is shown once its controls stand and its boxes are filled.
            for (int i = 0; i < 200 && !g_form; ++i) {
                HWND found = FindWindowW(czqic::cli::kPanelWindowClass, nullptr);
                if (found && IsWindowVisible(found))
                    g_form = found;
                else
                    Sleep(100);
            }
            if (!expect(g_form != nullptr, "czqic.exe panel shows its window")) return;
            wchar_t caption[64] = {};
            GetWindowTextW(g_form, caption, 64);
            expect_eq(narrow(caption), std::string(czqic::panel::kFormCaption),
                      "the form's caption");
            int buttons = 0, boxes = 0;
            for (const auto& c : czqic::panel::controls()) {
                HWND window = control(c.name);
                if (c.kind == czqic::panel::ControlKind::Button && c.visible && window &&
                    c.name != "Cmd_Exit" && IsWindowVisible(window))
                    ++buttons;
                if (c.kind == czqic::panel::ControlKind::TextBox && window &&
                    IsWindowVisible(window))
                    ++boxes;
            }
            expect_eq(buttons, 10, "ten working buttons are shown");
            expect_eq(boxes, 11, "eleven text boxes are shown");
            wchar_t reset[32] = {};
            GetWindowTextW(control("Cmd_Reset"), reset, 32);
            expect_eq(narrow(reset), std::string("&Reset"), "Reset carries its access key");
            expect_box("Text10", "0084000004");
        });
        if (!g_form) return;
        group("Reset, WaitCard and ReadTracks", [&] {
            press("Cmd_Reset");
            expect_box("Text6", "Reset:0");
            // Timer2, switched on by Reset, refreshes the state boxes every second.
            expect_box("Text1", "ONLINE");
            expect_box("Text2", "NOMEDIA");
            expect_box("Text5", "1");
            // WaitCard by its access key, Alt+C, as the dialog manager receives it.
            PostMessageW(g_form, WM_SYSCHAR, L'c', LPARAM{1} << 29);
            expect_box("Text6", "Enable:0");
            press("Command1");
            expect_box("Text6", "Read:0");
            expect_box("Text8", ";4000000000000002=30122011000000000000?");
            expect_box("Text2", "PRESENT");
        });
        group("closing the window unloads the form and ends czqic.exe", [&] {
            PostMessageW(g_form, WM_CLOSE, 0, 0);
            DWORD exit_code = 1;
            const bool ended = WaitForSingleObject(process.hProcess, 20000) == WAIT_OBJECT_0;
            GetExitCodeProcess(process.hProcess, &exit_code);
            expect(ended && exit_code == 0, "czqic.exe panel exits 0",
                   "ended " + std::to_string(ended) + ", status " + std::to_string(exit_code));
        });
    });
    if (WaitForSingleObject(process.hProcess, 0) != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 1);
    return status;
}
