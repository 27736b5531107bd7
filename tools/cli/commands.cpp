// The commands both programs have: `run` and `demo`.
#include <memory>

#include "tools/cli/command_line.h"

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

CommandRun define_demo(CLI::App& demo, Platform& platform) {
    auto reader = std::make_shared<ReaderOption>();
    reader->add_to(demo, platform);
    return [reader, &platform](std::ostream& out, std::ostream& err) {
        return platform.demo(reader->choice(platform), out, err);
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
    };
}

}  // namespace czqic::cli
