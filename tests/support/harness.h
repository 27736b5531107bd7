// The tests' component: the in-process assembly on a virtual clock, with a log writer that
// records every message.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "component/members.h"
#include "device/host_form.h"
#include "tools/assembly/in_process.h"

namespace czqic::testing {

// Keeps every message in memory. All writers created from one registration share the
// store, so the log survives the writer being dropped and created again.
struct LogStore {
    std::vector<std::string> lines;
    int writers_created = 0;
    // When set, called before each write; throwing from it makes WriteLog fail.
    std::function<void(const std::string& message)> before_write;
};

// The component on a virtual clock with a recording log writer: the log a case checks and
// the calls the simulated reader received.
class Harness : public InProcess {
  public:
    // Starts the virtual clock at the given time of day and loads the scenario (JSON
    // text over the built-in reader; empty for the built-in reader itself).
    explicit Harness(const std::string& scenario_json = "", double start_time_of_day = 12 * 3600.0);

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

    std::shared_ptr<LogStore> logs = std::make_shared<LogStore>();
};

}  // namespace czqic::testing
