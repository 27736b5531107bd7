#include "tools/cli/probe_command.h"

#include <fstream>
#include <iostream>

#include "tools/cli/command_line.h"
#include "tools/cli/printers.h"
#include "tools/cli/probe.h"

namespace czqic::cli {

void add_probe_options(CLI::App& probe, ProbeOptions& options, const std::string& scenario_help) {
    probe.add_option("--scenario", options.scenario_file, scenario_help)->type_name("FILE");
    probe.add_flag("--non-interactive", options.non_interactive,
                   "Skip the steps that need a person at the reader (none on the simulator)");
    probe
        .add_option("--journal", options.journal_file,
                    "Record the calls and the events in the simulator's call-journal form")
        ->type_name("FILE");
}

std::string probe_footer(std::string_view first) {
    return std::string(first) + (first.empty() ? "One" : "one") +
           " line a step: passed, failed with the reason, or skipped. Exit status: 0 when no "
           "step failed, 1 when one did, 2 for a usage error.";
}

int run_probe(const ClassRegistry& classes, std::string_view progid, MessageLoop& loop,
              bool simulated, const ProbeOptions& options, std::ostream& out, std::ostream& err) {
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

}  // namespace czqic::cli
