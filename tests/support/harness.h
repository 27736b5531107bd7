// The tests' component: the in-process assembly on a virtual clock, with a log writer that
// records every message.
#pragma once

#include <gmock/gmock.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "component/members.h"
#include "device/host_form.h"
#include "tests/support/errors.h"
#include "tools/assembly/in_process.h"

namespace czqic::testing {

// What the cases check logs and journals with.
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Scenario text whose member gives the reaction (a JSON object) to every call.
std::string on_each_call(const std::string& member, const std::string& reaction);
// A scenario whose member answers every call with one event, during the call or
// after_ms later; with no event, the call is never answered.
std::string answer(const std::string& member, const std::string& event, bool during = false,
                   int after_ms = 700);
// A scenario whose member's every call returns the given JSON value at once.
std::string returning(const std::string& member, const std::string& value);

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
    // What a call returned and the milliseconds it took.
    struct Timed {
        int32_t result;
        int64_t ms;
    };
    Timed timed(const std::function<int32_t()>& call);
    // From now on every message that `which` picks fails to be written, as on a full disk.
    void fail_writing(std::function<bool(const std::string& message)> which);

    std::shared_ptr<LogStore> logs = std::make_shared<LogStore>();
};

// A Harness with one reader made, and the records of its making cleared: the start of the
// cases about what one object's calls do.
class OneReader : public Harness {
  public:
    explicit OneReader(const std::string& scenario_json = "",
                       double start_time_of_day = 12 * 3600.0)
        : Harness(scenario_json, start_time_of_day) {
        clear_records();
    }
    ReaderRef r = make_reader();

    using Op = std::function<int32_t(ColsZQICCardReader&)>;
    Timed timed_call(const Op& op) {
        return timed([&] { return op(*r); });
    }
};

}  // namespace czqic::testing
