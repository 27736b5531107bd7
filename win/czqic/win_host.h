// The command line's host on Windows: the registered component, reached through its
// ProgID and late-bound by name (GetIDsOfNames, then Invoke), with the registered
// simulated control and log writer loaded into this process by the component itself.
// The simulated device is reached through the simulator's console class.
#pragma once

#include <windows.h>

#include <oaidl.h>

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "platform/message_loop.h"
#include "platform/win32/scoped.h"
#include "tools/cli/numbered_host.h"

namespace czqic::cli {

inline constexpr const char* kSimConsoleProgId = "CZQICSim.SimConsole";
inline constexpr const char* kSimControlProgId = "CZQICSim.KXCardReader";

class WinHost final : public NumberedHost<win::ComPtr<IDispatch>> {
  public:
    WinHost();
    ~WinHost() override;
    WinHost(const WinHost&) = delete;  // owns the objects and the thread's pump
    WinHost& operator=(const WinHost&) = delete;

    // Why the simulated reader cannot run its scenario, or nullopt. Creating the console
    // loads the simulator with the scenario of this process's environment.
    std::optional<std::string> scenario_problem() { return sim_console_.scenario_problem(); }

    std::optional<MemberShape> member(std::string_view name) override;
    void panel_click(std::string_view button) override;
    std::string panel_read(std::string_view text_box) override;

  private:
    MessageLoop& loop() override { return loop_; }
    win::ComPtr<IDispatch> new_object() override;
    Value call(win::ComPtr<IDispatch>& object, std::string_view member, InvokeKind kind,
               std::span<Value> args) override {
        return call_by_name(object.get(), member, kind, args);
    }
    // Calls a member of a late-bound object by name.
    static Value call_by_name(IDispatch* object, std::string_view name, InvokeKind kind,
                              std::span<Value> args);
    void load_shapes();
    // The component's panel exports, from the module its registered class loads from.
    struct PanelExports {
        HRESULT(WINAPI* click)(LPCWSTR button);
        HRESULT(WINAPI* get_text)(LPCWSTR box, BSTR* text);
        HRESULT(WINAPI* set_text)(LPCWSTR box, LPCWSTR text);
        HRESULT(WINAPI* release)();
    };
    const PanelExports& panel();

  public:
    // The panel window's way to the form: what a technician types into a text box.
    void panel_write(std::string_view text_box, std::string_view text);

  private:
    // The simulated device, reached through the simulator's console class, created on
    // first use.
    class SimConsole final : public SimulatedReader {
      public:
        std::optional<std::string> scenario_problem();
        std::optional<std::string> check_set(std::string_view key, std::string_view value) override;
        void raise(std::string_view event, std::optional<Value> data) override;
        void set(std::string_view key, std::string_view value) override;
        void release() { console_.reset(); }

      private:
        IDispatch* console();
        win::ComPtr<IDispatch> console_;
    };

    std::unique_ptr<Clock> clock_;
    MessageLoop loop_;
    SimConsole sim_console_;
    std::optional<std::map<std::string, MemberShape>> shapes_;  // upper-cased names
    win::ScopedModule component_module_;
    std::optional<PanelExports> panel_;
};

}  // namespace czqic::cli
