// The steps of `czqic run`: their grammar, the check of a whole list against a host
// before anything runs, and the run itself with its output lines.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/automation.h"
#include "tools/cli/host.h"
#include "tools/cli/printers.h"

namespace czqic::cli {

// A step list that cannot run. what() says where and what, for example
// `step 3 "Foo": unknown member`.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

namespace step {
struct Select {
    int number;
};
struct Release {
    int number;
};
struct Call {  // a method, or a property get
    std::string name;
    InvokeKind kind;
};
struct Let {
    std::string name;
    Value argument;
};
struct Pump {
    int64_t ms;
};
struct SimRaise {
    std::string event;
    std::optional<Value> data;
};
struct SimSet {
    std::string key;
    std::string value;
};
struct PanelClick {
    std::string button;
};
struct PanelRead {
    std::string text_box;
};
struct Clock {};
}  // namespace step

struct Step {
    int index;         // 1-based position on the command line
    std::string text;  // as given
    std::variant<step::Select, step::Release, step::Call, step::Let, step::Pump, step::SimRaise,
                 step::SimSet, step::PanelClick, step::PanelRead, step::Clock>
        action;
};

// Parses every step and checks it against the host (members, simulated state keys and
// values, panel items). Raises UsageError for the first one that is wrong.
std::vector<Step> parse_steps(const std::vector<std::string>& texts, Host& host);

// Runs the steps in order on the host, then releases the objects still alive in order of
// their numbers. Results go to out; a step that stops for a reason other than a failed
// call is reported on err. Returns 0 when every step ran, 1 otherwise.
int run_steps(const std::vector<Step>& steps, Host& host, std::ostream& out, std::ostream& err);

}  // namespace czqic::cli
