#include "tools/czqic/cli.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdlib>
#include <optional>

#include "log/log_line.h"
#include "tools/czqic/cli_common.h"
#include "tools/czqic/demo.h"
#include "tools/czqic/linux_host.h"
#include "tools/czqic/panel_view.h"
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

int panel_command(const std::string& given_scenario, std::ostream& err) {
    PanelOptions options;
    const std::string scenario_file = scenario_file_in_use(given_scenario);
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

int run_command(const RunOptions& options, bool virtual_clock, bool log_given, std::ostream& out,
                std::ostream& err) {
    LinuxHostOptions host_options;
    if (virtual_clock) {
        host_options.virtual_start = parse_time_of_day(options.virtual_clock);
        if (!host_options.virtual_start)
            return usage_error(err, "--virtual-clock: " + json_string(options.virtual_clock) +
                                        " is not a time of day HH:MM:SS");
    }
    if (auto problem = log_option_problem(options, log_given)) return usage_error(err, *problem);

    const std::string scenario_file = scenario_file_in_use(options.scenario_file);
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

    CLI::App* demo = app.add_subcommand(
        "demo", "Run one complete card transaction on the built-in reader in real time");

    std::string panel_scenario;
    CLI::App* panel = app.add_subcommand(
        "panel", "Show the host form's test panel in the terminal and use it, in real time");
    panel
        ->add_option("--scenario", panel_scenario,
                     "The simulated reader's scenario (JSON); default: the built-in reader")
        ->type_name("FILE");
    panel->footer(kPanelKeysHelp);

    // CLI11 words these as "A subcommand is required" whatever was given; say what was.
    if (args.empty())
        return usage_error(err, "a command is required: run, demo or panel (see czqic --help)");
    if (!args.front().starts_with('-') && args.front() != "run" && args.front() != "demo" &&
        args.front() != "panel")
        return usage_error(err, "unknown command " + json_string(args.front()) +
                                    ": expected run, demo or panel (see czqic --help)");

    if (auto status = parse_command_line(app, std::move(args), out, err, [&] {
            return run->parsed()     ? "czqic run --help"
                   : panel->parsed() ? "czqic panel --help"
                                     : "czqic --help";
        }))
        return *status;

    if (demo->parsed()) return run_demo(out, err);
    if (panel->parsed()) return panel_command(panel_scenario, err);
    return run_command(options, flags.virtual_clock->count() > 0, flags.log->count() > 0, out, err);
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
