// `demo`, the same on every platform: one object of the class driven by member name
// through the command line's host, each step printed with its result code, what it means
// and how long it took; then the lines the transaction logged and the verdict.
#pragma once

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tools/cli/host.h"

namespace czqic::cli {

struct DemoOutcome {
    bool succeeded = false;
    std::string stopped_at;  // why it stopped, when it did not succeed
};

// Creates object 1, runs the transaction on it and releases it. Without a magnetic head
// the card is only read for its presence and nothing is written.
DemoOutcome run_demo_transaction(Host& host, std::ostream& out, bool magnetic = true);

// What the transaction logged: where the log file is, as the demo names it, and its lines.
struct DemoLog {
    std::string where;
    std::vector<std::string> lines;
};

// The whole demo: the heading, the transaction on host, which then goes (closing the
// device is part of what the log shows), and what log_written reads of the log after it.
// Returns 0 when every step succeeded, else 1.
int run_demo(std::unique_ptr<Host> host, const std::string& heading, bool magnetic,
             const std::function<DemoLog()>& log_written, std::ostream& out, std::ostream& err);

}  // namespace czqic::cli
