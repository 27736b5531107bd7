// `czqic replay`: one session's log turned into a scenario for the simulated reader and
// the steps that repeat the client's calls, so that running them logs the same messages.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "sim/sim_reader.h"
#include "tools/cli/host.h"

namespace czqic::cli {

struct ReplayOptions {
    std::string file;          // a log of one session or several
    size_t session = 0;        // which one, from 1; 0: the only one (--check: each)
    std::string scenario_out;  // where the scenario goes (standard output when empty)
    std::string steps_out;     // where the steps go, one a line (standard output when empty)
    bool check = false;        // run them and compare the messages with the log's
};

// The host the check runs the steps on: the simulated reader running the scenario on the
// virtual clock, each message handed to on_log as the log stores it, no file written.
using ReplayHost = std::function<std::unique_ptr<Host>(
    const sim::Scenario& scenario, std::function<void(const std::string& message)> on_log)>;

// Exit status: 0, or 1 when the log cannot be read, an output cannot be written or the
// replay's messages or results differ from the log's (said on err; the check's outcome on
// out), or 2 when the session asked for is not in the log, or none was asked for in a log
// of several without --check.
int run_replay(const ReplayOptions& options, const ReplayHost& replay_host, std::ostream& out,
               std::ostream& err);

}  // namespace czqic::cli
