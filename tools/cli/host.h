// What the command line needs from whatever hosts the component: objects by number,
// late-bound calls by member name, the client's message pump, the simulated reader's
// knobs, the host form's test panel and the clock. The Linux host runs the component
// in-process over the posix platform; a Windows host reaches the registered component
// through its ProgID. Steps are parsed and run against this interface only.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/automation.h"
#include "platform/dispatch.h"

namespace czqic::cli {

enum class ArgType { Long, String };

// The invocation kinds one member name answers to (ChipCardData answers both get and let).
struct MemberShape {
    bool method = false;
    bool get = false;
    bool let = false;
    ArgType let_type = ArgType::String;
};

enum class PanelItem { Button, TextBox };

// The simulated reader's knobs, as a host reaches them: the `sim:` steps.
class SimulatedReader {
  public:
    virtual ~SimulatedReader() = default;
    // Why `sim:KEY=VALUE` would be refused, or nullopt when it would be taken.
    virtual std::optional<std::string> check_set(std::string_view key, std::string_view value) = 0;
    virtual void raise(std::string_view event, std::optional<Value> data) = 0;
    virtual void set(std::string_view key, std::string_view value) = 0;
};

class Host {
  public:
    virtual ~Host() = default;

    // Asked while the steps are checked, before anything runs.
    // The member's shape, or nullopt when the interface has no member of that name
    // (names match case-insensitively, as GetIDsOfNames does).
    virtual std::optional<MemberShape> member(std::string_view name) = 0;
    // Whether the test panel has a button or a text box of that name. Every host's panel
    // is the host form's, whichever way it is reached, so the form's table answers.
    virtual std::optional<PanelItem> panel_item(std::string_view name);

    // Objects of the class, by the client's own numbers (1, 2, ...). create_object raises
    // AutomationError when the component refuses; releasing runs the termination.
    virtual bool has_object(int number) const = 0;
    virtual void create_object(int number) = 0;
    virtual void release_object(int number) = 0;
    virtual std::vector<int> live_objects() const = 0;  // ascending

    // A late-bound call on a live object; failures raise AutomationError.
    virtual Value invoke(int number, std::string_view member, InvokeKind kind,
                         std::span<Value> args) = 0;

    virtual void pump_for(int64_t ms) = 0;
    // The simulated reader's knobs; `sim:KEY=VALUE` is also checked there before anything
    // runs.
    virtual SimulatedReader& simulated_reader() = 0;
    virtual void panel_click(std::string_view button) = 0;
    virtual std::string panel_read(std::string_view text_box) = 0;

    // The clock in use as HH:MM:SS.mmm.
    virtual std::string clock_text() = 0;
};

}  // namespace czqic::cli
