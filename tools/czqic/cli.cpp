#include "tools/czqic/cli.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <variant>

#include "diag/log_command.h"
#include "pcsc/pcsc_control.h"
#include "platform/text.h"
#include "tools/czqic/cli_common.h"
#include "tools/czqic/demo.h"
#include "tools/czqic/linux_host.h"
#include "tools/czqic/panel_view.h"
#include "tools/czqic/replay.h"
#include "tools/czqic/session.h"

namespace czqic::cli {
namespace {

std::string steps_help() {
    return std::string(kObjectStepsHelp) +
           "  pump:MS                pump messages for MS milliseconds of the clock in use\n" +
           kSimStepsHelp +
           R"(  panel:BUTTON           click a button of the host form's test panel
  panel:TEXTBOX          print a text box of the test panel: Text6 = "Reset:0"
  clock                  print the clock in use: clock = HH:MM:SS.mmm

A failed call prints NAME failed: 0xHHHHHHHH DESCRIPTION and the run goes on. Every step
is checked before any runs. Objects still alive at the end are released in order of their
numbers. Exit status: 0 when every step ran, 2 for a usage error.)";
}

// HH:MM:SS with an optional fraction, as seconds since midnight.
std::optional<double> parse_time_of_day(std::string_view text) {
    auto two_digits = [&](size_t at, int limit) -> std::optional<int> {
        if (at + 2 > text.size()) return std::nullopt;
        char a = text[at], b = text[at + 1];
        if (a < '0' || a > '9' || b < '0' || b > '9') return std::nullopt;
        int value = (a - '0') * 10 + (b - '0');
        if (value >= limit) return std::nullopt;
        return value;
    };
    if (text.size() < 8 || text[2] != ':' || text[5] != ':') return std::nullopt;
    auto h = two_digits(0, 24), m = two_digits(3, 60), s = two_digits(6, 60);
    if (!h || !m || !s) return std::nullopt;
    double seconds = *h * 3600.0 + *m * 60.0 + *s;
    std::string_view fraction = text.substr(8);
    if (fraction.empty()) return seconds;
    if (fraction.size() < 2 || fraction.size() > 4 || fraction.front() != '.') return std::nullopt;
    double scale = 0.1;
    for (char c : fraction.substr(1)) {
        if (c < '0' || c > '9') return std::nullopt;
        seconds += (c - '0') * scale;
        scale /= 10;
    }
    return seconds;
}

// CLI11 shows a flag with a default value as "--virtual-clock{12:00:00}"; show the
// syntax the option is used with instead.
class HelpFormatter : public CLI::Formatter {
  public:
    std::string make_option_name(const CLI::Option* option, bool positional) const override {
        if (option->get_name() == "--virtual-clock") return "--virtual-clock[=HH:MM:SS]";
        return CLI::Formatter::make_option_name(option, positional);
    }
};

// The Windows build's simulated control takes its scenario from this variable when no
// --scenario is given; reading it here too keeps one script working on both.
std::string scenario_file_in_use(std::string given) {
    if (given.empty())
        if (const char* from_env = std::getenv("CZQIC_SIM_SCENARIO")) given = from_env;
    return given;
}

// --reader, or the environment's choice when it is not given.
struct ReaderOption {
    std::string given;

    void add_to(CLI::App& command) {
        command
            .add_option("--reader", given,
                        std::string("The control to host: sim (the simulated reader), pcsc (the "
                                    "first PC/SC reader) or pcsc:NAME (the first whose name "
                                    "contains NAME); default: $") +
                            kReaderVariable + ", else sim")
            ->type_name("READER");
    }

    // The reader, or the usage error that says why there is none.
    std::variant<ReaderSpec, std::string> choice() const {
        if (given.empty()) {
            try {
                return reader_from_environment();
            } catch (const std::invalid_argument& e) {
                return std::string(e.what());
            }
        }
        if (auto reader = parse_reader_spec(given)) return *reader;
        return "--reader: " + json_string(given) + " is not sim, pcsc or pcsc:NAME";
    }
};

// Scenarios and sim: steps drive the simulated reader and mean nothing to a real one.
std::optional<std::string> sim_only_problem(const ReaderSpec& reader, const std::string& scenario,
                                            const std::vector<std::string>& steps) {
    if (!reader.pcsc) return std::nullopt;
    if (!scenario.empty()) return "--scenario applies to the simulated reader only (--reader sim)";
    for (size_t i = 0; i < steps.size(); ++i)
        if (steps[i].starts_with("sim:"))
            return "step " + std::to_string(i + 1) + " " + json_string(steps[i]) +
                   ": sim: steps apply to the simulated reader only (--reader sim)";
    return std::nullopt;
}

// `czqic readers`: one line a reader, its name, whether a card is in and the card's ATR.
int readers_command(std::ostream& out, std::ostream& err) {
    std::vector<pcsc::ReaderInfo> readers;
    try {
        readers = pcsc::list_readers(*pcsc::system_api());
    } catch (const std::exception& e) {
        err << "czqic: readers: " << e.what() << '\n' << std::flush;
        return 1;
    }
    for (const auto& r : readers) {
        out << json_string(r.name) << ' '
            << (!r.card  ? "no card"
                : r.mute ? "card (mute)"
                         : "card");
        if (!r.atr.empty()) out << " ATR " << r.atr;
        out << '\n';
    }
    out << std::flush;
    // Standard output holds reader lines only, for scripts that read them; the empty list
    // is said where a person sees it.
    if (readers.empty()) err << "czqic: readers: no PC/SC reader\n" << std::flush;
    return 0;
}

int panel_command(const std::string& given_scenario, const ReaderSpec& reader, std::ostream& err) {
    PanelOptions options;
    options.reader = reader;
    if (auto problem = sim_only_problem(reader, given_scenario, {}))
        return usage_error(err, *problem);
    const std::string scenario_file = reader.pcsc ? "" : scenario_file_in_use(given_scenario);
    if (!scenario_file.empty()) {
        try {
            options.scenario = sim::load_scenario_file(scenario_file);
        } catch (const sim::ScenarioError& e) {
            return usage_error(err, std::string("scenario ") + e.what());
        }
        options.scenario_name = scenario_file;
    }
    return run_panel(std::move(options), err);
}

// The control each reader choice hosts, registered under the vendor's ProgID; true when
// it is the simulated reader, whose card comes and goes by itself.
bool register_reader(ClassRegistry& classes, MessageLoop& loop, sim::Scenario scenario,
                     const ReaderSpec& reader, std::shared_ptr<sim::SimDevice>& device) {
    device = sim::SimDevice::create(loop, std::move(scenario));
    if (!reader.pcsc) {
        device->register_class(classes);
        return true;
    }
    classes.register_class(kControlProgId, "",
                           [&loop, reader, device] { return make_control(loop, reader, *device); });
    return false;
}

int probe_command(const ProbeCommand& options, const ReaderSpec& reader, bool virtual_clock,
                  const std::string& virtual_start, std::ostream& out, std::ostream& err) {
    if (auto problem = sim_only_problem(reader, options.scenario_file, {}))
        return usage_error(err, *problem);
    std::unique_ptr<Clock> clock = make_real_clock();
    if (virtual_clock) {
        const auto start = parse_time_of_day(virtual_start);
        if (!start)
            return usage_error(err, "--virtual-clock: " + json_string(virtual_start) +
                                        " is not a time of day HH:MM:SS");
        clock = std::make_unique<VirtualClock>(*start);
    }
    sim::Scenario scenario = sim::builtin_scenario();
    const std::string scenario_file = scenario_file_in_use(options.scenario_file);
    if (!scenario_file.empty()) {
        try {
            scenario = sim::load_scenario_file(scenario_file);
        } catch (const sim::ScenarioError& e) {
            return usage_error(err, std::string("scenario ") + e.what());
        }
    }
    MessageLoop loop(*clock);
    ClassRegistry classes;
    std::shared_ptr<sim::SimDevice> device;
    const bool simulated = register_reader(classes, loop, std::move(scenario), reader, device);
    return run_probe(classes, kControlProgId, loop, simulated, options, out, err);
}

int run_command(const RunOptions& options, const ReaderSpec& reader, bool virtual_clock,
                bool log_given, std::ostream& out, std::ostream& err) {
    LinuxHostOptions host_options;
    host_options.reader = reader;
    if (auto problem = sim_only_problem(reader, options.scenario_file, options.steps))
        return usage_error(err, *problem);
    if (virtual_clock) {
        host_options.virtual_start = parse_time_of_day(options.virtual_clock);
        if (!host_options.virtual_start)
            return usage_error(err, "--virtual-clock: " + json_string(options.virtual_clock) +
                                        " is not a time of day HH:MM:SS");
    }
    if (auto problem = log_option_problem(options, log_given)) return usage_error(err, *problem);

    const std::string scenario_file =
        reader.pcsc ? "" : scenario_file_in_use(options.scenario_file);
    if (!scenario_file.empty()) {
        try {
            host_options.scenario = sim::load_scenario_file(scenario_file);
        } catch (const sim::ScenarioError& e) {
            return usage_error(err, std::string("scenario ") + e.what());
        }
    }

    if (options.calls)
        host_options.on_journal = [&out](const std::string& line) {
            out << line << '\n' << std::flush;
        };
    if (log_given)
        host_options.on_log = [&out](const std::string& message) {
            out << "log: " << escape_controls(message) << '\n' << std::flush;
        };
    host_options.on_failure = [&out, &err](std::string_view where, std::string_view description) {
        out.flush();
        err << "czqic: " << where << ": " << one_line(std::string(description)) << '\n'
            << std::flush;
    };

    LinuxHost host(std::move(host_options));
    return check_and_run_steps(options.steps, host, out, err);
}

// `czqic log`: its options, read into options; diag::run_log does the rest.
CLI::App* add_log_command(CLI::App& app, diag::LogOptions& options) {
    using Output = diag::LogOptions::Output;
    CLI::App* log = app.add_subcommand(
        "log", "Read logs back into the calls and their results (standard input without FILE)");
    auto as = [&options](Output output) { return [&options, output] { options.output = output; }; };
    CLI::Option* json = log->add_flag_callback("--json", as(Output::Json),
                                               "JSON Lines, one object a call or event");
    CLI::Option* summary = log->add_flag_callback(
        "--summary", as(Output::Summary),
        "Counts by operation and result, time-outs, errors, durations; per file and in total");
    CLI::Option* html =
        log->add_option("--html", options.html_file,
                        "A page with each session's timeline, written to FILE")
            ->type_name("FILE")
            ->each([&options](const std::string&) { options.output = Output::Html; });
    json->excludes(summary, html);
    summary->excludes(html);
    log->add_flag("--show-card-data", options.show_card_data,
                  "Chip data as the log holds it (card-holder data is masked otherwise)");
    log->add_option("FILE", options.files,
                    "Log files; a log's day files and the log itself are read in date order")
        ->type_name("FILE");
    return log;
}

// `czqic replay`: its options, read into options; run_replay does the rest.
CLI::App* add_replay_command(CLI::App& app, ReplayOptions& options) {
    CLI::App* replay = app.add_subcommand(
        "replay", "Turn one session's log into a scenario and steps that log it again");
    replay->add_option("FILE", options.file, "One session's log")->required()->type_name("FILE");
    replay->add_option("--scenario-out", options.scenario_out, "Write the scenario to F")
        ->type_name("F");
    replay->add_option("--steps-out", options.steps_out, "Write the steps to F, one a line")
        ->type_name("F");
    replay->add_flag("--check", options.check,
                     "Run them and compare the messages with the log's (exit 1 when one differs)");
    return replay;
}

int run_command_line(std::vector<std::string> args, std::ostream& out, std::ostream& err) {
    CLI::App app{"Drives the ColsZQICCardReader component against a simulated card reader.",
                 "czqic"};
    app.require_subcommand(1);
    auto formatter = std::make_shared<HelpFormatter>();
    formatter->column_width(30);
    app.formatter(formatter);  // before the subcommands, which take their parent's

    RunOptions options;
    CLI::App* run = app.add_subcommand("run", "Run STEPs in order on one thread, then exit");
    const RunOptionFlags flags = add_run_options(
        *run, options, "The simulated reader's scenario (JSON); default: the built-in reader",
        "Virtual clock from this time of day (default 12:00:00): sleeps "
        "and pumps advance it, nothing waits in real time");
    run->footer(steps_help());
    ReaderOption run_reader, demo_reader, panel_reader, probe_reader;
    run_reader.add_to(*run);

    CLI::App* demo = app.add_subcommand(
        "demo", "Run one complete card transaction on the built-in reader in real time");
    demo_reader.add_to(*demo);
    CLI::App* readers =
        app.add_subcommand("readers", "List the PC/SC readers with their card state and ATR");

    std::string panel_scenario;
    CLI::App* panel = app.add_subcommand(
        "panel", "Show the host form's test panel in the terminal and use it, in real time");
    panel
        ->add_option("--scenario", panel_scenario,
                     "The simulated reader's scenario (JSON); default: the built-in reader")
        ->type_name("FILE");
    panel_reader.add_to(*panel);
    panel->footer(kPanelKeysHelp);

    ProbeCommand probe_options;
    std::string probe_clock;
    CLI::App* probe = app.add_subcommand(
        "probe", "Check step by step that the reader's control does what the component relies on");
    add_probe_options(*probe, probe_options,
                      "The simulated reader's scenario (JSON); default: the built-in reader");
    probe_reader.add_to(*probe);
    CLI::Option* probe_virtual_clock = probe->add_flag(
        "--virtual-clock{12:00:00}", probe_clock,
        "Virtual clock from this time of day (default 12:00:00): waits cost no real time");
    probe->footer(
        "One line a step: passed, failed with the reason, or skipped. Exit status: 0 when no "
        "step failed, 1 when one did, 2 for a usage error.");

    diag::LogOptions log_options;
    CLI::App* log = add_log_command(app, log_options);
    ReplayOptions replay_options;
    CLI::App* replay = add_replay_command(app, replay_options);

    if (auto status = command_word_problem(
            args, {"run", "demo", "panel", "probe", "readers", "log", "replay"}, err))
        return *status;

    if (auto status = parse_command_line(app, std::move(args), out, err, [&] {
            return run->parsed()      ? "czqic run --help"
                   : panel->parsed()  ? "czqic panel --help"
                   : probe->parsed()  ? "czqic probe --help"
                   : log->parsed()    ? "czqic log --help"
                   : replay->parsed() ? "czqic replay --help"
                                      : "czqic --help";
        }))
        return *status;

    if (log->parsed()) return diag::run_log(log_options, out, err);
    if (replay->parsed()) return run_replay(replay_options, out, err);
    if (readers->parsed()) return readers_command(out, err);
    const ReaderOption& reader_option = demo->parsed()    ? demo_reader
                                        : panel->parsed() ? panel_reader
                                        : probe->parsed() ? probe_reader
                                                          : run_reader;
    const auto reader = reader_option.choice();
    if (const auto* problem = std::get_if<std::string>(&reader)) return usage_error(err, *problem);
    const ReaderSpec& chosen = std::get<ReaderSpec>(reader);
    if (demo->parsed()) return run_demo(out, err, chosen);
    if (panel->parsed()) return panel_command(panel_scenario, chosen, err);
    if (probe->parsed())
        return probe_command(probe_options, chosen, probe_virtual_clock->count() > 0, probe_clock,
                             out, err);
    return run_command(options, chosen, flags.virtual_clock->count() > 0, flags.log->count() > 0,
                       out, err);
}

}  // namespace

int run_czqic(std::vector<std::string> args, std::ostream& out, std::ostream& err) {
    const int status = run_command_line(std::move(args), out, err);
    // Output that never arrived (a full disk, a closed descriptor) is a run that did not
    // do what it said, whatever its steps did.
    if (out.flush()) return status;
    err << "czqic: writing standard output failed: the output is incomplete\n" << std::flush;
    return status == 0 ? 1 : status;
}

}  // namespace czqic::cli
