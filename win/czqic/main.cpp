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
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "platform/win32/convert.h"
#include "platform/win32/scoped.h"
#include "tools/czqic/cli_common.h"
#include "tools/czqic/session.h"
#include "win/czqic/win_host.h"

namespace czqic::cli {
namespace {

std::string steps_help() {
    return std::string(kObjectStepsHelp) +
           "  pump:MS                pump messages for MS milliseconds\n" + kSimStepsHelp +
           R"(  clock                  print the clock: clock = HH:MM:SS.mmm

The component is the registered CZQICCardReader.ColsZQICCardReader, called by name. It
hosts the simulated reader (CZQICSim.KXCardReader) unless --reader vendor asks for the
registered vendor control. The simulated reader takes its scenario from --scenario, else
from CZQIC_SIM_SCENARIO.
A failed call prints NAME failed: 0xHHHHHHHH DESCRIPTION and the run goes on. Exit
status: 0 when every step ran, 2 for a usage error.)";
}

void set_environment(const wchar_t* name, const std::string& value) {
    SetEnvironmentVariableW(name, win::widen(value).c_str());
}

int run_command(const RunOptions& options, bool log_given, bool vendor, std::ostream& out,
                std::ostream& err) {
    if (auto problem = log_option_problem(options, log_given)) return usage_error(err, *problem);
    if (vendor && !options.scenario_file.empty())
        return usage_error(err, "--scenario: applies to the simulated reader only");
    // The component reads which control to host from this process's environment; the
    // vendor's own registration (or the user's setting) decides without it.
    SetEnvironmentVariableW(L"CZQIC_CONTROL_PROGID",
                            vendor ? nullptr : win::widen(kSimControlProgId).c_str());
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

    return check_and_run_steps(options.steps, host, out, err);
}

int run_czqic(std::vector<std::string> args, std::ostream& out, std::ostream& err) {
    CLI::App app{"Drives the registered ColsZQICCardReader component.", "czqic"};
    app.require_subcommand(1);

    RunOptions options;
    CLI::App* run = app.add_subcommand("run", "Run STEPs in order on one thread, then exit");
    const RunOptionFlags flags =
        add_run_options(*run, options,
                        "The simulated reader's scenario (JSON); default: CZQIC_SIM_SCENARIO, else "
                        "the built-in reader",
                        "Linux only");
    std::string reader = "sim";
    run->add_option("--reader", reader,
                    "The control the component hosts: sim (the simulated reader) or vendor (the "
                    "registered KXCARDREADERLib.KXCardReader)")
        ->check(CLI::IsMember({"sim", "vendor"}));
    run->footer(steps_help());

    if (auto status =
            parse_command_line(app, std::move(args), out, err, [] { return "czqic --help"; }))
        return *status;
    if (flags.virtual_clock->count() > 0)
        return usage_error(err, "--virtual-clock: the virtual clock is only available on Linux");
    return run_command(options, flags.log->count() > 0, reader == "vendor", out, err);
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
