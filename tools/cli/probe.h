// The guided check of a card-reader control: hosts the control the way the host form
// does (created by ProgID, given its device name, events bound by name, messages pumped
// on the clock in use) and drives its members step by step, checking what the component
// relies on: the event that must arrive and the value its handler stores, the events that
// must not come, the state strings, and the time taken against the component's limits.
// The same steps run on every platform; only the host around them differs.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dispatch.h"
#include "platform/message_loop.h"

namespace czqic::probe {

enum class Outcome { Passed, Failed, Skipped };

struct StepReport {
    std::string step;
    Outcome outcome;
    std::string detail;  // what was seen when passed, the reason otherwise
};

// Told of every access the probe makes to the control and every event the control raises,
// in order, on the clock in use: what a recording of the control is made from.
class Observer {
  public:
    virtual ~Observer() = default;
    // A member about to be called, a property about to be read or set; then its answer, or
    // the description it failed with.
    virtual void calling(DispId id, InvokeKind kind, std::span<const Value> args,
                         int64_t at_ms) = 0;
    virtual void answered(const Value& answer) = 0;
    virtual void failed(const std::string& description) = 0;
    // An event, inside the call under way or after it.
    virtual void event(std::string_view name, std::span<const Value> args, int64_t at_ms) = 0;
};

struct Options {
    // The simulated reader: its card comes and goes by itself, so no step needs a person.
    bool card_comes_by_itself = false;
    // Asks the person at the reader to act and returns once they say they are ready; false
    // when nobody answers. Not set: nobody is at the reader and such steps are skipped.
    std::function<bool(std::string_view request)> ask_person;
    // Each journal line as it happens: the calls in the simulator's call-journal form, and
    // each event received as `event: NAME(ARGS) after MS ms` (from the call before it).
    std::function<void(const std::string& line)> on_journal;
    Observer* observer = nullptr;
};

// Creates the control from classes by progid and runs every step on loop, printing each
// step's report line to out as it ends.
std::vector<StepReport> run(const ClassRegistry& classes, std::string_view progid,
                            MessageLoop& loop, const Options& options, std::ostream& out);

// 0 when no step failed, else 1.
int exit_status(const std::vector<StepReport>& reports);

}  // namespace czqic::probe
