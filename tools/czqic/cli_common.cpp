#include "tools/czqic/cli_common.h"

#include <algorithm>
#include <fstream>
#include <iostream>

#include "tools/probe/probe.h"

#include "tools/czqic/session.h"

namespace czqic::cli {

const char* const kObjectStepsHelp = R"(Steps:
  NAME                   call method NAME or read property NAME on the current object;
                         prints NAME = 0 (Long) or NAME = "text" (String, JSON-escaped)
  NAME=TEXT              set property NAME; TEXT is the String, or a decimal Long for
                         TimeOutCard and IsChipCard
  #N                     later steps act on object N (1 by default), created on first use
  #N-                    release object N (its termination runs)
)";

const char* const kSimStepsHelp = R"(  sim:EVENT              the simulated reader raises EVENT now
  sim:ChipDataReceived:HEX
                         ... with the chip reply HEX (bytes as hex digits)
  sim:KEY=VALUE          change simulated state: device, media, bin, binFlag, number,
                         lastErrorCode, track1.status, track1.data (2, 3), writable1 (2, 3)
)";

std::string one_line(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

int usage_error(std::ostream& err, const std::string& what) {
    err << "czqic: " << one_line(what) << '\n' << std::flush;
    return 2;
}

RunOptionFlags add_run_options(CLI::App& run, RunOptions& options, const std::string& scenario_help,
                               const std::string& virtual_clock_help) {
    RunOptionFlags flags;
    run.add_option("--scenario", options.scenario_file, scenario_help)->type_name("FILE");
    // A flag, not an option with an optional value: the time is only ever attached with
    // "=", so `--virtual-clock CardReaderInit` must leave the step alone.
    flags.virtual_clock =
        run.add_flag("--virtual-clock{12:00:00}", options.virtual_clock, virtual_clock_help);
    flags.log = run.add_option("--log", options.log,
                               "Echo every log message as it is written: log: MESSAGE");
    flags.log->type_name("-");
    run.add_flag("--calls", options.calls, "Echo every call the simulated reader receives");
    run.add_option("STEP", options.steps, "The steps (below)")->required();
    return flags;
}

std::optional<std::string> log_option_problem(const RunOptions& options, bool log_given) {
    if (!log_given || options.log == "-") return std::nullopt;
    return "--log: only - (standard output) is supported, not " + json_string(options.log);
}

std::optional<int> command_word_problem(const std::vector<std::string>& args,
                                        std::initializer_list<const char*> commands,
                                        std::ostream& err) {
    std::string listed;
    size_t i = 0;
    for (const char* command : commands) {
        if (!args.empty() && args.front() == command) return std::nullopt;
        listed += (i == 0 ? "" : i + 1 == commands.size() ? " or " : ", ") + std::string(command);
        ++i;
    }
    if (args.empty())
        return usage_error(err, "a command is required: " + listed + " (see czqic --help)");
    if (args.front().starts_with('-')) return std::nullopt;
    return usage_error(err, "unknown command " + json_string(args.front()) + ": expected " +
                                listed + " (see czqic --help)");
}

std::optional<int> parse_command_line(CLI::App& app, std::vector<std::string> args,
                                      std::ostream& out, std::ostream& err,
                                      const std::function<std::string()>& see_help) {
    std::reverse(args.begin(), args.end());  // CLI11 takes a vector last argument first
    try {
        app.parse(args);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e, out, err);
    } catch (const CLI::ParseError& e) {
        return usage_error(err, std::string(e.what()) + " (see " + see_help() + ")");
    }
    return std::nullopt;
}

void add_probe_options(CLI::App& probe, ProbeCommand& options, const std::string& scenario_help) {
    probe.add_option("--scenario", options.scenario_file, scenario_help)->type_name("FILE");
    probe.add_flag("--non-interactive", options.non_interactive,
                   "Skip the steps that need a person at the reader (none on the simulator)");
    probe
        .add_option("--journal", options.journal_file,
                    "Record the calls and the events in the simulator's call-journal form")
        ->type_name("FILE");
}

int run_probe(const ClassRegistry& classes, std::string_view progid, MessageLoop& loop,
              bool simulated, const ProbeCommand& options, std::ostream& out, std::ostream& err) {
    std::ofstream journal;
    if (!options.journal_file.empty()) {
        journal.open(options.journal_file, std::ios::binary | std::ios::trunc);
        if (!journal)
            return usage_error(err, "--journal: cannot write " + json_string(options.journal_file));
    }
    probe::Options probe_options;
    probe_options.card_comes_by_itself = simulated;
    if (!options.non_interactive)
        probe_options.ask_person = [&out](std::string_view request) {
            out << ">> " << request << "; press Enter when ready" << std::endl;
            std::string answer;
            return static_cast<bool>(std::getline(std::cin, answer));
        };
    if (journal.is_open())
        probe_options.on_journal = [&journal](const std::string& line) {
            journal << line << '\n' << std::flush;
        };
    return probe::exit_status(probe::run(classes, progid, loop, probe_options, out));
}

int check_and_run_steps(const std::vector<std::string>& steps, Host& host, std::ostream& out,
                        std::ostream& err) {
    std::vector<Step> parsed;
    try {
        parsed = parse_steps(steps, host);
    } catch (const UsageError& e) {
        return usage_error(err, e.what());
    }
    return run_steps(parsed, host, out, err);
}

}  // namespace czqic::cli
