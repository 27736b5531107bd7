// The component for measuring: the in-process assembly on the given clock, with a log
// writer that keeps no lines, only counts, so long runs stay flat in memory and the
// figures show the component's own cost rather than the disk's.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tools/assembly/in_process.h"

namespace czqic::bench {

struct LogCounts {
    int64_t lines = 0;
    int64_t bytes = 0;
    std::string last;  // reused, so a line costs a copy and no allocation once warm
};

class Rig : public InProcess {
  public:
    // scenario_json is read over the built-in reader; empty means the built-in reader.
    // reader picks the control (the simulated reader by default).
    Rig(std::unique_ptr<Clock> clock, const std::string& scenario_json, ReaderSpec reader = {});

    // Failures the Runtime reported with no caller to return them to, joined; empty
    // when there were none.
    std::string failures_text() const;

    std::shared_ptr<LogCounts> log = std::make_shared<LogCounts>();
};

}  // namespace czqic::bench
