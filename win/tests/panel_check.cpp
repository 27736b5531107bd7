// czqic.exe panel driven as a technician drives it: the window is found by its class, its
// buttons are pressed and its boxes read from this separate process. Needs a display; the
// czqic.exe beside this program is the one started.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "panel/panel_form.h"
#include "platform/win32/com/convert.h"
#include "platform/win32/scoped.h"
#include "win/czqic/panel_window.h"

namespace czqic::win {
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
    EXPECT_TRUE(shows(box, expected))
        << box << " shows \"" << expected << "\", not \"" << text_of(box) << "\"";
}

// One czqic.exe panel for the whole suite, its window found once it shows.
class PanelWindow : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        wchar_t self[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring exe = self;
        exe = exe.substr(0, exe.find_last_of(L"\\/") + 1) + L"czqic.exe";
        std::wstring command = L"\"" + exe + L"\" panel";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION started{};
        if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                            nullptr, &startup, &started))
            return;
        process_.emplace(started.hProcess);
        ScopedHandle thread(started.hThread);
        // The window is shown once its controls stand and its boxes are filled.
        for (int i = 0; i < 200 && !g_form; ++i) {
            HWND found = FindWindowW(czqic::cli::kPanelWindowClass, nullptr);
            if (found && IsWindowVisible(found))
                g_form = found;
            else
                Sleep(100);
        }
    }
    static void TearDownTestSuite() {
        if (process_ && WaitForSingleObject(process_->get(), 0) != WAIT_OBJECT_0)
            TerminateProcess(process_->get(), 1);
        process_.reset();
    }
    void SetUp() override {
        ASSERT_TRUE(process_) << "czqic.exe panel cannot be started";
        ASSERT_TRUE(g_form != nullptr) << "czqic.exe panel shows its window";
    }
    static std::optional<ScopedHandle> process_;
};
std::optional<ScopedHandle> PanelWindow::process_;

TEST_F(PanelWindow, ShowsTheFormsCaptionButtonsAndBoxes) {
    wchar_t caption[64] = {};
    GetWindowTextW(g_form, caption, 64);
    EXPECT_EQ(narrow(caption), std::string(czqic::panel::kFormCaption)) << "the form's caption";
    int buttons = 0, boxes = 0;
    for (const auto& c : czqic::panel::controls()) {
        HWND window = control(c.name);
        if (c.kind == czqic::panel::ControlKind::Button && c.visible && window &&
            c.name != "Cmd_Exit" && IsWindowVisible(window))
            ++buttons;
        if (c.kind == czqic::panel::ControlKind::TextBox && window && IsWindowVisible(window))
            ++boxes;
    }
    EXPECT_EQ(buttons, 10) << "ten working buttons are shown";
    EXPECT_EQ(boxes, 11) << "eleven text boxes are shown";
    wchar_t reset[32] = {};
    GetWindowTextW(control("Cmd_Reset"), reset, 32);
    EXPECT_EQ(narrow(reset), std::string("&Reset")) << "Reset carries its access key";
    expect_box("Text10", "0084000004");
}

TEST_F(PanelWindow, ResetWaitCardAndReadTracks) {
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
}

TEST_F(PanelWindow, ClosingTheWindowUnloadsTheFormAndEndsCzqic) {
    PostMessageW(g_form, WM_CLOSE, 0, 0);
    DWORD exit_code = 1;
    const bool ended = WaitForSingleObject(process_->get(), 20000) == WAIT_OBJECT_0;
    GetExitCodeProcess(process_->get(), &exit_code);
    EXPECT_TRUE(ended) << "czqic.exe panel ends";
    EXPECT_EQ(exit_code, 0u) << "czqic.exe panel exits 0";
}

}  // namespace
}  // namespace czqic::win
