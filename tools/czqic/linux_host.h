// The command line's host on Linux: the component in-process over the posix platform,
// with the simulated reader (or a PC/SC reader) registered as the vendor control and the
// file log writer as the log writer, all on this one thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "tools/assembly/in_process.h"
#include "tools/czqic/numbered_host.h"

namespace czqic::cli {

struct LinuxHostOptions {
    sim::Scenario scenario = sim::builtin_scenario();
    ReaderSpec reader;  // the simulated reader unless told otherwise
    // Seconds since midnight for a virtual clock; the real clock when not set.
    std::optional<double> virtual_start;
    std::function<void(const std::string& line)> on_journal;  // each journal line
    std::function<void(const std::string& message)> on_log;   // each message logged
    // False: messages go to on_log only (as the file would store them), no file written.
    bool file_log = true;
    std::function<void(std::string_view where, std::string_view description)> on_failure;
};

class LinuxHost final : public NumberedHost<ReaderRef> {
  public:
    explicit LinuxHost(LinuxHostOptions options);
    // Releases the objects still alive, lowest number first, before the runtime goes.
    ~LinuxHost() override;
    LinuxHost(const LinuxHost&) = delete;  // owns the thread's loop and the component
    LinuxHost& operator=(const LinuxHost&) = delete;

    std::optional<MemberShape> member(std::string_view name) override;
    std::optional<std::string> check_sim_set(std::string_view key, std::string_view value) override;
    std::optional<PanelItem> panel_item(std::string_view name) override;

    void create_object(int number) override;
    Value invoke(int number, std::string_view member, InvokeKind kind,
                 std::span<Value> args) override;

    void sim_raise(std::string_view event, std::optional<Value> data) override;
    void sim_set(std::string_view key, std::string_view value) override;
    void panel_click(std::string_view button) override;
    std::string panel_read(std::string_view text_box) override;

    // Direct access for the demo, which drives the class's methods by their C++ names.
    ColsZQICCardReader& reader(int number) { return *objects_.at(number); }
    Runtime& runtime() { return process_.rt; }
    sim::SimDevice& device() { return *process_.device; }

  private:
    MessageLoop& loop() override { return process_.loop; }

    InProcess process_;

    // `sim:KEY=VALUE` steps are tried here while the steps are checked.
    sim::StateCheck state_check_;
};

}  // namespace czqic::cli
