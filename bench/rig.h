// One process's worth of component for measuring: a clock, the thread's message loop,
// the class table with a simulated reader and an in-memory log writer, and the Runtime.
// The log writer keeps no lines, only counts, so long runs stay flat in memory and the
// figures show the component's own cost rather than the disk's.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "component/reader.h"
#include "component/runtime.h"
#include "log/log_writer.h"
#include "panel/panel_form.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/message_loop.h"
#include "sim/sim_reader.h"

namespace czqic::bench {

struct LogCounts {
    int64_t lines = 0;
    int64_t bytes = 0;
    std::string last;  // reused, so a line costs a copy and no allocation once warm
};

class CountingLogWriter final : public LogWriter {
  public:
    explicit CountingLogWriter(std::shared_ptr<LogCounts> counts) : counts_(std::move(counts)) {}
    int32_t WriteLog(const std::string& path, const std::string& message,
                     const std::string& tag) override;

  private:
    std::shared_ptr<LogCounts> counts_;
};

class Rig {
  public:
    // scenario_json is read over the built-in reader; empty means the built-in reader.
    Rig(std::unique_ptr<Clock> clock, const std::string& scenario_json);
    ~Rig();
    Rig(const Rig&) = delete;  // the Runtime and the loop refer into this object
    Rig& operator=(const Rig&) = delete;

    ReaderRef make_reader() { return ColsZQICCardReader::create(rt); }
    // Failures the Runtime reported with no caller to return them to, joined; empty
    // when there were none.
    std::string failures_text() const;

    std::unique_ptr<Clock> clock;
    MessageLoop loop{*clock};
    ClassRegistry classes;
    std::shared_ptr<LogCounts> log = std::make_shared<LogCounts>();
    std::shared_ptr<sim::SimDevice> device;
    std::vector<std::string> failures;
    Runtime rt{*clock, loop, classes, panel::kFormTimers};
};

}  // namespace czqic::bench
