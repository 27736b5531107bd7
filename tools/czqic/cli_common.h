// What `czqic run` says and checks alike on Linux and on Windows: the steps' help, the
// usage errors, the options both take, reading the command line and running its steps.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <initializer_list>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/dispatch.h"
#include "platform/message_loop.h"
#include "tools/czqic/host.h"

namespace czqic::cli {

// The help lines of the steps every host runs: calls and objects first, then the
// simulated reader's. Each platform adds its pump, panel and clock lines around them.
extern const char* const kObjectStepsHelp;
extern const char* const kSimStepsHelp;

// The text on one line, without trailing blanks.
std::string one_line(std::string text);
// Reports a usage error as "czqic: WHAT"; returns the exit status for it.
int usage_error(std::ostream& err, const std::string& what);

struct RunOptions {
    std::string scenario_file;
    std::string virtual_clock;
    std::string log;
    bool calls = false;
    std::vector<std::string> steps;
};

// The options of `czqic run` as both platforms take them; the help texts of --scenario
// and --virtual-clock are each platform's own.
struct RunOptionFlags {
    CLI::Option* virtual_clock = nullptr;
    CLI::Option* log = nullptr;
};
RunOptionFlags add_run_options(CLI::App& run, RunOptions& options, const std::string& scenario_help,
                               const std::string& virtual_clock_help);

// Why --log cannot be used, or nullopt (only standard output is supported).
std::optional<std::string> log_option_problem(const RunOptions& options, bool log_given);

// A command line whose first word is no option and none of commands (or that is empty):
// the usage error naming it and listing the commands, as CLI11 would only say that a
// subcommand is required. nullopt when the command line names a command or starts with
// an option.
std::optional<int> command_word_problem(const std::vector<std::string>& args,
                                        std::initializer_list<const char*> commands,
                                        std::ostream& err);

// Parses args into app. The exit status when that ends the run (help shown, or a usage
// error, whose message points to the help see_help names), else nullopt.
std::optional<int> parse_command_line(CLI::App& app, std::vector<std::string> args,
                                      std::ostream& out, std::ostream& err,
                                      const std::function<std::string()>& see_help);

// `czqic probe` as both platforms take it.
struct ProbeCommand {
    std::string scenario_file;
    bool non_interactive = false;
    std::string journal_file;
};
void add_probe_options(CLI::App& probe, ProbeCommand& options, const std::string& scenario_help);

// Runs the probe on the control classes create by progid, asking the person at the
// terminal to act unless told not to, and writing the journal file if one is named.
// Returns the exit status: 0 when no step failed, 1 when one did, 2 for a usage error.
int run_probe(const ClassRegistry& classes, std::string_view progid, MessageLoop& loop,
              bool simulated, const ProbeCommand& options, std::ostream& out, std::ostream& err);

// Checks every step against the host, then runs them; a wrong step is a usage error.
int check_and_run_steps(const std::vector<std::string>& steps, Host& host, std::ostream& out,
                        std::ostream& err);

}  // namespace czqic::cli
