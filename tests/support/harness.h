// One process's worth of component on a virtual clock: the message loop, the class
// table with the simulated reader and a recording log writer, and the Runtime.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "component/members.h"
#include "component/reader.h"
#include "component/runtime.h"
#include "device/host_form.h"
#include "log/log_writer.h"
#include "panel/panel_form.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/message_loop.h"
#include "sim/sim_reader.h"

namespace czqic::testing {

// Keeps every message in memory. All instances created from one registration share
// the store, so the log survives the writer being dropped and created again.
struct LogStore {
    std::vector<std::string> lines;
    int writers_created = 0;
    // When set, called before each write; throwing from it makes WriteLog fail.
    std::function<void(const std::string& message)> before_write;
};

class RecordingLogWriter final : public LogWriter {
  public:
    explicit RecordingLogWriter(std::shared_ptr<LogStore> store) : store_(std::move(store)) {}
    int32_t WriteLog(const std::string& path, const std::string& message,
                     const std::string& tag) override;

  private:
    std::shared_ptr<LogStore> store_;
};

class Harness {
  public:
    // Starts the virtual clock at the given time of day and loads the scenario (JSON
    // text over the built-in reader; empty for the built-in reader itself).
    explicit Harness(const std::string& scenario_json = "", double start_time_of_day = 12 * 3600.0);
    ~Harness();

    ReaderRef make_reader() { return ColsZQICCardReader::create(rt); }

    std::vector<std::string>& log() { return logs->lines; }
    const std::vector<std::string>& journal() const { return device->journal(); }
    // Journal lines that start with the given prefix ("call: reset", "get: ").
    std::vector<std::string> journal_matching(const std::string& prefix) const;
    void clear_records() {
        logs->lines.clear();
        device->clear_journal();
    }
    // Milliseconds of virtual time since the harness started.
    int64_t now_ms() { return clock.now_ms(); }
    // Milliseconds slept or pumped through while running fn.
    int64_t elapsed_during(const std::function<void()>& fn);

    VirtualClock clock;
    MessageLoop loop{clock};
    ClassRegistry classes;
    std::shared_ptr<LogStore> logs = std::make_shared<LogStore>();
    std::shared_ptr<sim::SimDevice> device;
    std::vector<std::string> failures;  // what the Runtime reported
    Runtime rt{clock, loop, classes, panel::kFormTimers};
};

}  // namespace czqic::testing
