// `probe` as both programs take it: the options they share, the help's last lines, and
// the probe run on a control with the person at the terminal and the journal file. Each
// program adds how it finds the control (--reader on Linux, --progid on Windows).
#pragma once

#include <CLI/CLI.hpp>
#include <ostream>
#include <string>
#include <string_view>

#include "platform/dispatch.h"
#include "platform/message_loop.h"

namespace czqic::cli {

struct ProbeOptions {
    std::string scenario_file;
    bool non_interactive = false;
    std::string journal_file;
    std::string record_file;
};
void add_probe_options(CLI::App& probe, ProbeOptions& options, const std::string& scenario_help);

// The help's last lines: what the probe prints (after first, when given) and its exit status.
std::string probe_footer(std::string_view first = {});

// Runs the probe on the control classes create by progid, asking the person at the
// terminal to act unless told not to, and writing the journal file and the recording if
// they are named.
// Returns the exit status: 0 when no step failed, 1 when one did, 2 for a usage error.
int run_probe(const ClassRegistry& classes, std::string_view progid, MessageLoop& loop,
              bool simulated, const ProbeOptions& options, std::ostream& out, std::ostream& err);

}  // namespace czqic::cli
