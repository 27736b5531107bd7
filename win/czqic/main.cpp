// czqic.exe: `czqic run` on Windows, against the registered component. Same options,
// steps and output as the Linux command line; `--virtual-clock` is Linux-only.
//
// What happens inside the servers reaches the output through this process's environment,
// set before any of them loads: the log writer echoes each message (--log -), the
// simulated control each journal line (--calls), and the component reports failures that
// have no caller on standard error.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "platform/win32/convert.h"
#include "platform/win32/scoped.h"
#include "tools/czqic/session.h"
#include "win/czqic/win_host.h"

namespace czqic::cli {
namespace {

constexpr const char* kStepsHelp = R"(Steps:
  NAME                   call method NAME or read property NAME on the current object;
                         prints NAME = 0 (Long) or NAME = "text" (String, JSON-escaped)
  NAME=TEXT              set property NAME; TEXT is the String, or a decimal Long for
                         TimeOutCard and IsChipCard
  #N                     later steps act on object N (1 by default), created on first use
  #N-                    release object N (its termination runs)
  pump:MS                pump messages for MS milliseconds
  sim:EVENT              the simulated reader raises EVENT now
  sim:ChipDataReceived:HEX
                         ... with the chip reply HEX (bytes as hex digits)
  sim:KEY=VALUE          change simulated state: device, media, bin, binFlag, number,
                         lastErrorCode, track1.status, track1.data (2, 3), writable1 (2, 3)
  clock                  print the clock: clock = HH:MM:SS.mmm

The component is the registered CZQICCardReader.ColsZQICCardReader, called by name. The
simulated reader takes its scenario from --scenario, else from CZQIC_SIM_SCENARIO.
A failed call prints NAME failed: 0xHHHHHHHH DESCRIPTION and the run goes on. Exit
status: 0 when every step ran, 2 for a usage error.)";

std::string one_line(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

int usage_error(std::ostream& err, const std::string& what) {
    err << "czqic: " << one_line(what) << '\n' << std::flush;
    return 2;
}

void set_environment(const wchar_t* name, const std::string& value) {
    SetEnvironmentVariableW(name, win::widen(value).c_str());
}

struct RunOptions {
    std::string scenario_file;
    std::string log;
    bool calls = false;
    std::vector<std::string> steps;
};

int run_command(const RunOptions& options, bool log_given, std::ostream& out, std::ostream& err) {
    if (log_given && options.log != "-")
        return usage_error(
            err, "--log: only - (standard output) is supported, not " + json_string(options.log));
    if (!options.scenario_file.empty())
        set_environment(L"CZQIC_SIM_SCENARIO", options.scenario_file);
    if (log_given) set_environment(L"CZQIC_LOG_ECHO", "stdout");
    if (options.calls) set_environment(L"CZQIC_SIM_ECHO", "stdout");
    set_environment(L"CZQIC_REPORT_FAILURES", "stderr");

    WinHost host;
    const bool scenario_named = !options.scenario_file.empty() ||
                                GetEnvironmentVariableW(L"CZQIC_SIM_SCENARIO", nullptr, 0) > 0;
    if (scenario_named)
        if (auto problem = host.scenario_problem()) return usage_error(err, "scenario " + *problem);

    std::vector<Step> steps;
    try {
        steps = parse_steps(options.steps, host);
    } catch (const UsageError& e) {
        return usage_error(err, e.what());
    }
    return run_steps(steps, host, out, err);
}

int run_czqic(std::vector<std::string> args, std::ostream& out, std::ostream& err) {
    CLI::App app{"Drives the registered ColsZQICCardReader component.", "czqic"};
    app.require_subcommand(1);

    RunOptions options;
    std::string virtual_clock;
    CLI::App* run = app.add_subcommand("run", "Run STEPs in order on one thread, then exit");
    run->add_option("--scenario", options.scenario_file,
                    "The simulated reader's scenario (JSON); default: CZQIC_SIM_SCENARIO, else "
                    "the built-in reader")
        ->type_name("FILE");
    CLI::Option* virtual_option =
        run->add_flag("--virtual-clock{12:00:00}", virtual_clock, "Linux only");
    CLI::Option* log = run->add_option("--log", options.log,
                                       "Echo every log message as it is written: log: MESSAGE");
    log->type_name("-");
    run->add_flag("--calls", options.calls, "Echo every call the simulated reader receives");
    run->add_option("STEP", options.steps, "The steps (below)")->required();
    run->footer(kStepsHelp);

    std::reverse(args.begin(), args.end());  // CLI11 takes a vector last argument first
    try {
        app.parse(args);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e, out, err);
    } catch (const CLI::ParseError& e) {
        return usage_error(err, std::string(e.what()) + " (see czqic --help)");
    }
    if (virtual_option->count() > 0)
        return usage_error(err, "--virtual-clock: the virtual clock is only available on Linux");
    return run_command(options, log->count() > 0, out, err);
}

}  // namespace
}  // namespace czqic::cli

int wmain(int argc, wchar_t** argv) {
    // Output lines end in "\n" alone, as on Linux, whatever the console would translate.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    czqic::win::ScopedComApartment apartment;
    if (FAILED(apartment.result())) {
        std::fputs("czqic: COM cannot be initialised on this thread\n", stderr);
        return 1;
    }
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(czqic::win::narrow(argv[i]));
    return czqic::cli::run_czqic(std::move(args), std::cout, std::cerr);
}
