#include "tools/cli/probe_command.h"

#include <fstream>
#include <iostream>
#include <optional>

#include "tools/cli/command_line.h"
#include "tools/cli/printers.h"
#include "tools/cli/probe.h"
#include "tools/cli/probe_record.h"

namespace czqic::cli {

void add_probe_options(CLI::App& probe, ProbeOptions& options, const std::string& scenario_help) {
    probe.add_option("--scenario", options.scenario_file, scenario_help)->type_name("FILE");
    probe.add_flag("--non-interactive", options.non_interactive,
                   "Skip the steps that need a person at the reader (none on the simulator)");
    probe
        .add_option("--journal", options.journal_file,
                    "Record the calls and the events in the simulator's call-journal form")
        ->type_name("FILE");
    probe
        .add_option("--record", options.record_file,
                    "Write the control down as a scenario for the simulated reader: its state "
                    "strings, and each call's answer and events at the delays they came")
        ->type_name("FILE");
}

std::string probe_footer(std::string_view first) {
    return std::string(first) + (first.empty() ? "One" : "one") +
           " line a step: passed, failed with the reason, or skipped. Exit status: 0 when no "
           "step failed, 1 when one did, 2 for a usage error.";
}

namespace {

// The file an option names, opened for writing before the probe starts, so that a path
// that cannot be written is a usage error rather than a probe run for nothing.
std::optional<std::ofstream> open_output(const std::string& option, const std::string& file,
                                         std::ostream& err) {
    std::ofstream stream;
    if (file.empty()) return std::optional<std::ofstream>(std::move(stream));
    stream.open(file, std::ios::binary | std::ios::trunc);
    if (stream) return std::optional<std::ofstream>(std::move(stream));
    usage_error(err, option + ": cannot write " + json_string(file));
    return std::nullopt;
}

}  // namespace

int run_probe(const ClassRegistry& classes, std::string_view progid, MessageLoop& loop,
              bool simulated, const ProbeOptions& options, std::ostream& out, std::ostream& err) {
    auto journal = open_output("--journal", options.journal_file, err);
    if (!journal) return 2;
    auto record = open_output("--record", options.record_file, err);
    if (!record) return 2;
    probe::Recorder recorder;
    probe::Options probe_options;
    if (record->is_open()) probe_options.observer = &recorder;
    probe_options.card_comes_by_itself = simulated;
    if (!options.non_interactive)
        probe_options.ask_person = [&out](std::string_view request) {
            out << ">> " << request << "; press Enter when ready" << std::endl;
            std::string answer;
            return static_cast<bool>(std::getline(std::cin, answer));
        };
    if (journal->is_open())
        probe_options.on_journal = [&journal](const std::string& line) {
            *journal << line << '\n' << std::flush;
        };
    const int status = probe::exit_status(probe::run(classes, progid, loop, probe_options, out));
    if (!record->is_open()) return status;
    *record << sim::write_scenario(recorder.scenario());
    if (record->flush()) return status;
    err << "czqic: --record: writing " << json_string(options.record_file) << " failed\n"
        << std::flush;
    return 1;
}

}  // namespace czqic::cli
