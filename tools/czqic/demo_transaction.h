// The demo's card transaction, the same on every platform: one object of the class driven
// by member name through the command line's host, each step printed with its result code,
// what it means and how long it took.
#pragma once

#include <ostream>
#include <string>

#include "tools/czqic/host.h"

namespace czqic::cli {

struct DemoOutcome {
    bool succeeded = false;
    std::string stopped_at;  // why it stopped, when it did not succeed
};

// Creates object 1, runs the transaction on it and releases it. Without a magnetic head
// the card is only read for its presence and nothing is written.
DemoOutcome run_demo_transaction(Host& host, std::ostream& out, bool magnetic = true);

}  // namespace czqic::cli
