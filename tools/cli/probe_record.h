// `probe --record`: the probed control written down as a scenario for the simulated
// reader, so that a lab captures a reader once and runs applications against it without
// the hardware.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "sim/sim_reader.h"
#include "tools/cli/probe.h"

namespace czqic::probe {

// What the control showed the probe, as a scenario: each state string as it first read,
// and a change of it on the event (or the call) that came last before the read that saw
// it; for each member the probe called, one reaction a call, in order, with its answer or
// failure and the events that followed it, at the delays they came after the call (inside
// it when they came before the call returned). Events before any call go on the timeline.
// What the probe never reads (the write flags, a track it had no reason to read) keeps the
// built-in reader's value, a track's status "MISSING".
class Recorder final : public Observer {
  public:
    Recorder();

    void calling(DispId id, InvokeKind kind, std::span<const Value> args, int64_t at_ms) override;
    void answered(const Value& answer) override;
    void failed(const std::string& description) override;
    void event(std::string_view name, std::span<const Value> args, int64_t at_ms) override;

    const sim::Scenario& scenario() const { return scenario_; }

  private:
    struct Access {
        DispId id;
        InvokeKind kind;
        bool has_reaction = false;     // a method the simulator has: it took a reaction
        bool last_error_code = false;  // the keyed query for "LastErrorCode"
    };

    sim::Reaction& reaction();
    std::map<std::string, Value>& latest_set();
    void state_seen(const std::string& key, const Value& answer);

    sim::Scenario scenario_;
    // Each state key read so far, as the scenario holds it at this point (journal text).
    std::map<std::string, std::string> known_;
    std::optional<Access> access_;  // the access under way
    std::optional<int64_t> created_ms_;
    int64_t access_ms_ = 0;
    // The reaction of the last method called: its member key, its place, when it was called.
    std::string method_key_;
    size_t method_index_ = 0;
    int64_t method_ms_ = 0;
    // What the scenario did last, where a state change seen after it goes.
    enum class Latest { Nothing, Call, Event, Timeline } latest_ = Latest::Nothing;
};

}  // namespace czqic::probe
