// The simulated card reader: a scripted stand-in for the vendor control. One SimDevice
// is one device; every control instance created from it (one per host form load) sees
// the same device state and continues the same reaction lists, but starts not opened.
// Events are posted on the owning thread's message loop and run only when it pumps.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/message_loop.h"

namespace czqic::sim {

// A scenario that cannot be used. what() names the key path first, for example
// `on.reset[1].events[0].event: unknown event "ResetDone"`.
class ScenarioError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct EventSpec {
    std::string event;
    int64_t after_ms = 0;
    bool during = false;
    std::map<std::string, Value> set;  // state key -> value, applied just before delivery
    std::optional<Value> data;         // ChipDataReceived only
};

struct Reaction {
    std::optional<Value> returns;
    std::optional<std::string> fail;
    std::map<std::string, Value> set;
    std::vector<EventSpec> events;
};

struct TimelineEntry {
    int64_t at_ms = 0;
    std::map<std::string, Value> set;
    std::optional<std::string> event;
    std::optional<Value> data;
};

struct DeviceState {
    std::string device = "ONLINE";
    std::string media = "NOMEDIA";
    std::string bin = "BINOK";
    bool bin_flag = false;
    Value number = int32_t{0};
    std::string last_error_code = "0";
    struct Track {
        std::string status;
        std::string data;
    };
    std::array<Track, 3> tracks;
    std::array<Value, 3> writable{Value(true), Value(true), Value(true)};
    std::map<std::string, std::string> fail_gets;  // property name -> error description
};

struct Scenario {
    DeviceState state;                                // built-in values where not given
    std::map<std::string, std::vector<Reaction>> on;  // member key -> reactions
    std::vector<TimelineEntry> timeline;
    // How demanding the registered control is of its container ("lenient", "strict-persist",
    // "strict-window", "strict-thread", "strict-usermode"); only a COM server acts on it.
    std::string control_mode = "lenient";
};

// The built-in reader: a well-behaved reader holding a test card.
Scenario builtin_scenario();
// Parses scenario JSON over the built-in reader's values; raises ScenarioError.
Scenario parse_scenario(std::string_view json_text);
// The largest scenario file read.
inline constexpr size_t kMaxScenarioBytes = size_t{16} << 20;
// Reads and parses a file; an unreadable file, one that is not a regular file (a FIFO, a
// device) or one larger than kMaxScenarioBytes is a ScenarioError naming the file.
Scenario load_scenario_file(const std::string& path);
// The scenario as JSON text that parse_scenario reads back as the same scenario: every
// state key written out, chip data that is an array of bytes as hex text.
std::string write_scenario(const Scenario& scenario);

// The seventeen events the component handles, in the control's order.
const std::vector<std::string>& handled_events();

// The simulated test card's chip: its answer-to-reset and the application identifier
// that SELECT by name accepts, both as upper-case hex text.
inline constexpr std::string_view kAnswerToReset = "3B6800008066435A51499000";
inline constexpr std::string_view kCardApplicationId = "F0435A5149430001";

// The journal line of one late-bound access to the control, and the journal's text of
// one value: what the simulator records, so that another control's calls written down
// this way read as a simulator's journal.
std::string journal_line(DispId id, InvokeKind kind, std::span<const Value> args);
std::string journal_value(const Value& value);

class SimDevice : public std::enable_shared_from_this<SimDevice> {
  public:
    // The card's random answers (GET CHALLENGE) come from seed. Without one they are fresh
    // in every process on the real clock, as a card's are, and repeat run after run on the
    // virtual clock, where whole sessions are compared.
    static std::shared_ptr<SimDevice> create(MessageLoop& loop, Scenario scenario,
                                             std::optional<uint32_t> seed = std::nullopt);
    static constexpr uint32_t kVirtualClockSeed = 0x5EED;
    ~SimDevice();

    // Registers the control class (ProgID KXCARDREADERLib.KXCardReader) so that each
    // creation makes a new control instance on this device.
    void register_class(ClassRegistry& classes);
    // A new control instance (what the class factory returns): Dispatch + EventSource.
    std::shared_ptr<Object> create_control();

    // The call journal, one line per late-bound access, in order: kept only while someone
    // reads it, since a long-running host would otherwise grow with every call.
    const std::vector<std::string>& journal() const { return journal_; }
    void clear_journal() { journal_.clear(); }
    // Whether lines are kept for journal() (they are by default); on_journal sees every
    // line either way. Switching it off drops what is kept.
    void keep_journal(bool keep) {
        keep_journal_ = keep;
        if (!keep) std::vector<std::string>().swap(journal_);
    }
    // Called with each journal line as it is recorded (`--calls`).
    std::function<void(const std::string&)> on_journal;

    // `sim:EVENT[:HEX]`: raises the event on the current control instance, posted now and
    // owned by that instance. Any name goes (the component ignores the ones it does not
    // handle). data is for ChipDataReceived: hex text, or an array sent as it stands;
    // bad hex text raises ScenarioError. Without an instance alive nothing happens.
    void raise(std::string_view event, std::optional<Value> data = std::nullopt);
    // `sim:KEY=VALUE` with the keys device, media, bin, binFlag, number, lastErrorCode,
    // track1.status, track1.data (2, 3), writable1 (2, 3). VALUE is read as JSON when it
    // parses as JSON of the key's type, else as a string (so "0" sets lastErrorCode to the
    // text "0" and "maybe" sets a writable flag to that text). Raises ScenarioError for an
    // unknown key or a value the key cannot take (binFlag wants true/false, number a
    // number).
    void set(std::string_view key, std::string_view value);

    const DeviceState& state() const { return state_; }
    DeviceState& state() { return state_; }
    // Whether the current control instance has been opened (and not closed since).
    bool opened() const;
    int control_instances_created() const { return instances_created_; }

  private:
    struct Impl;
    SimDevice(MessageLoop& loop, Scenario scenario, uint32_t seed);

    MessageLoop& loop_;
    Scenario scenario_;
    DeviceState state_;
    std::vector<std::string> journal_;
    bool keep_journal_ = true;
    int instances_created_ = 0;
    std::unique_ptr<Impl> impl_;
};

// Tries `sim:KEY=VALUE` changes on a device of its own, made from the same scenario, so
// that a bad value is refused before anything runs on the real one.
class StateCheck {
  public:
    explicit StateCheck(Scenario scenario) : scenario_(std::move(scenario)) {}
    // What refuses the change, or nothing when the device would take it.
    std::optional<std::string> check(std::string_view key, std::string_view value);

  private:
    Scenario scenario_;
    std::unique_ptr<VirtualClock> clock_;
    std::unique_ptr<MessageLoop> loop_;
    std::shared_ptr<SimDevice> device_;
};

}  // namespace czqic::sim
