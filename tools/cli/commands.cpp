// The commands both programs have: `run`, `demo`, `log` and `replay`.
#include <memory>

#include "diag/log_command.h"
#include "tools/cli/command_line.h"
#include "tools/cli/replay.h"

namespace czqic::cli {
namespace {

constexpr const char* kStepsHelp = R"(Steps:
  NAME                   call method NAME or read property NAME on the current object;
                         prints NAME = 0 (Long) or NAME = "text" (String, JSON-escaped)
  NAME=TEXT              set property NAME; TEXT is the String, or a decimal Long for
                         TimeOutCard and IsChipCard
  #N                     later steps act on object N (1 by default), created on first use
  #N-                    release object N (its termination runs)
  pump:MS                pump messages for MS milliseconds of the clock in use
  sim:EVENT              the simulated reader raises EVENT now
  sim:ChipDataReceived:HEX
                         ... with the chip reply HEX (bytes as hex digits)
  sim:KEY=VALUE          change simulated state: device, media, bin, binFlag, number,
                         lastErrorCode, track1.status, track1.data (2, 3), writable1 (2, 3)
  panel:BUTTON           click a button of the host form's test panel
  panel:TEXTBOX          print a text box of the test panel: Text6 = "Reset:0"
  clock                  print the clock in use: clock = HH:MM:SS.mmm

)";

constexpr const char* kStepsOutcome =
    R"(A failed call prints NAME failed: 0xHHHHHHHH DESCRIPTION and the run goes on. Every step
is checked before any runs. Objects still alive at the end are released in order of their
numbers. Exit status: 0 when every step ran, 2 for a usage error.)";

struct RunOptions {
    ReaderOption reader;
    std::string scenario_file;
    VirtualClockOption virtual_clock;
    CLI::Option* log_flag = nullptr;
    std::string log;
    bool calls = false;
    std::vector<std::string> steps;
};

// The host's settings for a run, once every option is known to go with the others.
HostSettings run_settings(const Platform& platform, const RunOptions& options) {
    HostSettings settings;
    settings.reader = options.reader.choice(platform);
    if (auto problem = sim_only_problem(settings.reader, options.scenario_file, options.steps))
        throw UsageError(*problem);
    // Only the simulated reader keeps a journal of the calls it receives.
    if (options.calls && !settings.reader.simulated())
        throw UsageError("--calls applies to the simulated reader only (--reader sim)");
    if (options.virtual_clock.given() && !platform.has_virtual_clock())
        throw UsageError("--virtual-clock: the virtual clock is only available on Linux");
    settings.virtual_start = options.virtual_clock.start();
    settings.echo_log = options.log_flag->count() > 0;
    if (settings.echo_log && options.log != "-")
        throw UsageError("--log: only - (standard output) is supported, not " +
                         json_string(options.log));
    settings.scenario_file = options.scenario_file;
    settings.echo_calls = options.calls;
    return settings;
}

int run_command(Platform& platform, const RunOptions& options, std::ostream& out,
                std::ostream& err) {
    const std::unique_ptr<Host> host =
        platform.open_host(run_settings(platform, options), out, err);
    std::vector<Step> steps;
    try {
        steps = parse_steps(options.steps, *host);
    } catch (const UsageError& e) {
        return usage_error(err, e.what());
    }
    return run_steps(steps, *host, out, err);
}

CommandRun define_run(CLI::App& run, Platform& platform) {
    auto options = std::make_shared<RunOptions>();
    run.add_option("--scenario", options->scenario_file, kScenarioHelp)->type_name("FILE");
    options->virtual_clock.add_to(run, platform.has_virtual_clock()
                                           ? "Virtual clock from this time of day (default "
                                             "12:00:00): sleeps and pumps advance it, nothing "
                                             "waits in real time"
                                           : "Linux only");
    options->log_flag = run.add_option("--log", options->log,
                                       "Echo every log message as it is written: log: MESSAGE");
    options->log_flag->type_name("-");
    run.add_flag("--calls", options->calls,
                 "Echo every call the simulated reader receives (--reader sim only)");
    run.add_option("STEP", options->steps, "The steps (below)")->required();
    options->reader.add_to(run, platform);
    run.footer(std::string(kStepsHelp) + platform.run_notes() + kStepsOutcome);
    return [options, &platform](std::ostream& out, std::ostream& err) {
        return run_command(platform, *options, out, err);
    };
}

struct DemoOptions {
    ReaderOption reader;
    std::string scenario_file;
    VirtualClockOption virtual_clock;
};

CommandRun define_demo(CLI::App& demo, Platform& platform) {
    auto options = std::make_shared<DemoOptions>();
    demo.add_option("--scenario", options->scenario_file,
                    "The simulated reader's scenario (JSON); default: the built-in reader")
        ->type_name("FILE");
    if (platform.has_virtual_clock())
        options->virtual_clock.add_to(demo,
                                      "Virtual clock from this time of day (default 12:00:00): "
                                      "the transaction takes no real time");
    options->reader.add_to(demo, platform);
    return [options, &platform](std::ostream& out, std::ostream& err) {
        HostSettings settings;
        settings.reader = options->reader.choice(platform);
        if (auto problem = sim_only_problem(settings.reader, options->scenario_file))
            throw UsageError(*problem);
        settings.scenario_file = options->scenario_file;
        settings.virtual_start = options->virtual_clock.start();
        return platform.demo(settings, out, err);
    };
}

// `czqic log`: its options, read into options; diag::run_log does the rest.
CommandRun define_log(CLI::App& log, Platform&) {
    using Output = diag::LogOptions::Output;
    auto options = std::make_shared<diag::LogOptions>();
    auto as = [options](Output output) { return [options, output] { options->output = output; }; };
    CLI::Option* json =
        log.add_flag_callback("--json", as(Output::Json), "JSON Lines, one object a call or event");
    CLI::Option* summary = log.add_flag_callback(
        "--summary", as(Output::Summary),
        "Counts by operation and result, time-outs, errors, durations; per file and in total");
    CLI::Option* html =
        log.add_option("--html", options->html_file,
                       "A page with each session's timeline, written to FILE")
            ->type_name("FILE")
            ->each([options](const std::string&) { options->output = Output::Html; });
    json->excludes(summary, html);
    summary->excludes(html);
    log.add_flag("--show-card-data", options->show_card_data,
                 "Chip data as the log holds it (card-holder data is masked otherwise)");
    log.add_option("FILE", options->files,
                   "Log files; a log's day files and the log itself are read in date order")
        ->type_name("FILE");
    return [options](std::ostream& out, std::ostream& err) {
        return diag::run_log(*options, out, err);
    };
}

// `czqic replay`: its options, read into options; run_replay does the rest.
CommandRun define_replay(CLI::App& replay, Platform& platform) {
    auto options = std::make_shared<ReplayOptions>();
    replay.add_option("FILE", options->file, "A log of one session or several")
        ->required()
        ->type_name("FILE");
    replay
        .add_option("--session", options->session,
                    "Which session of the log, from 1 (each begins at a CardReaderInit)")
        ->type_name("N")
        ->check(CLI::Validator(
            [](const std::string& n) {
                return n.find_first_not_of('0') == std::string::npos ? "sessions count from 1" : "";
            },
            ""));
    replay.add_option("--scenario-out", options->scenario_out, "Write the scenario to F")
        ->type_name("F");
    replay.add_option("--steps-out", options->steps_out, "Write the steps to F, one a line")
        ->type_name("F");
    replay.add_flag("--check", options->check,
                    "Run them and compare the messages and results with the log's (exit 1 when "
                    "one differs); every session without --session");
    return [options, &platform](std::ostream& out, std::ostream& err) {
        // The check replays the session as fast as the virtual clock goes; on the real clock
        // it would take as long as the session took on the terminal.
        if (options->check && !platform.has_virtual_clock())
            throw UsageError(
                "--check: replaying a session needs the virtual clock, which only czqic on "
                "Linux has; --scenario-out and --steps-out work here");
        auto host = [&platform](const sim::Scenario& scenario,
                                std::function<void(const std::string&)> on_log) {
            return platform.open_replay_host(scenario, std::move(on_log));
        };
        return run_replay(*options, host, out, err);
    };
}

}  // namespace

std::vector<Command> shared_commands(Platform& platform) {
    auto with = [&platform](CommandRun (*define)(CLI::App&, Platform&)) {
        return [define, &platform](CLI::App& command) { return define(command, platform); };
    };
    return {
        {"run", "Run STEPs in order on one thread, then exit", with(define_run)},
        {"demo", "Run one complete card transaction in real time", with(define_demo)},
        {"log", "Read logs back into the calls and their results (standard input without FILE)",
         with(define_log)},
        {"replay", "Turn one session's log into a scenario and steps that log it again",
         with(define_replay)},
    };
}

}  // namespace czqic::cli
