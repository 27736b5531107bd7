// The command line's host on Linux: the component in-process over the posix platform,
// with the simulated reader registered as the vendor control and the file log writer as
// the log writer, all on this one thread.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "component/reader.h"
#include "component/runtime.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/message_loop.h"
#include "sim/sim_reader.h"
#include "tools/czqic/host.h"

namespace czqic::cli {

struct LinuxHostOptions {
    sim::Scenario scenario = sim::builtin_scenario();
    // Seconds since midnight for a virtual clock; the real clock when not set.
    std::optional<double> virtual_start;
    std::function<void(const std::string& line)> on_journal;  // each journal line
    std::function<void(const std::string& message)> on_log;   // each message logged
    std::function<void(std::string_view where, std::string_view description)> on_failure;
};

class LinuxHost final : public Host {
  public:
    explicit LinuxHost(LinuxHostOptions options);
    // Releases the objects still alive, lowest number first, before the runtime goes.
    ~LinuxHost() override;
    LinuxHost(const LinuxHost&) = delete;  // owns the thread's loop and the component
    LinuxHost& operator=(const LinuxHost&) = delete;

    std::optional<MemberShape> member(std::string_view name) override;
    std::optional<std::string> check_sim_set(std::string_view key, std::string_view value) override;
    std::optional<PanelItem> panel_item(std::string_view name) override;

    bool has_object(int number) const override;
    void create_object(int number) override;
    void release_object(int number) override;
    std::vector<int> live_objects() const override;
    Value invoke(int number, std::string_view member, InvokeKind kind,
                 std::span<Value> args) override;

    void pump_for(int64_t ms) override;
    void sim_raise(std::string_view event, std::optional<Value> data) override;
    void sim_set(std::string_view key, std::string_view value) override;
    void panel_click(std::string_view button) override;
    std::string panel_read(std::string_view text_box) override;
    std::string clock_text() override;

    // Direct access for the demo, which drives the class's methods by their C++ names.
    ColsZQICCardReader& reader(int number) { return *objects_.at(number); }
    Runtime& runtime() { return runtime_; }
    sim::SimDevice& device() { return *device_; }

  private:
    std::unique_ptr<Clock> clock_;
    MessageLoop loop_;
    ClassRegistry classes_;
    std::shared_ptr<sim::SimDevice> device_;
    Runtime runtime_;
    std::map<int, ReaderRef> objects_;

    // A second device from the same scenario that `sim:KEY=VALUE` steps are tried on while
    // the steps are checked, so that a bad value is refused before anything runs.
    sim::Scenario scenario_;
    std::unique_ptr<VirtualClock> trial_clock_;
    std::unique_ptr<MessageLoop> trial_loop_;
    std::shared_ptr<sim::SimDevice> trial_device_;
};

}  // namespace czqic::cli
