// The command line's host on Linux: the component in-process over the posix platform,
// with the simulated reader (or a PC/SC reader) registered as the vendor control and the
// file log writer as the log writer, all on this one thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "tools/assembly/in_process.h"
#include "tools/cli/numbered_host.h"

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
    void panel_click(std::string_view button) override;
    std::string panel_read(std::string_view text_box) override;

    // The panel's way to the form and the loop.
    Runtime& runtime() { return process_.rt; }

  private:
    MessageLoop& loop() override { return process_.loop; }
    ReaderRef new_object() override { return process_.make_reader(); }
    Value call(ReaderRef& object, std::string_view member, InvokeKind kind,
               std::span<Value> args) override;

    // The simulated device in this process; `sim:KEY=VALUE` steps are tried on a scratch
    // copy of its state while the steps are checked.
    class InProcessSimReader final : public SimulatedReader {
      public:
        InProcessSimReader(sim::SimDevice& device, sim::Scenario scenario)
            : device_(device), state_check_(std::move(scenario)) {}
        std::optional<std::string> check_set(std::string_view key,
                                             std::string_view value) override {
            return state_check_.check(key, value);
        }
        void raise(std::string_view event, std::optional<Value> data) override {
            device_.raise(event, std::move(data));
        }
        void set(std::string_view key, std::string_view value) override { device_.set(key, value); }

      private:
        sim::SimDevice& device_;
        sim::StateCheck state_check_;
    };

    InProcess process_;
    InProcessSimReader sim_reader_;
};

}  // namespace czqic::cli
