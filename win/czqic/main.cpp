// czqic.exe: the command line on Windows, against the registered component: `run` with the
// same options, steps and output as on Linux (`--virtual-clock` is Linux-only), `demo`
// with the same transaction, and `panel`, the host form's test panel as a window.
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
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "log/log_writer.h"
#include "platform/win32/convert.h"
#include "platform/win32/scoped.h"
#include "tools/czqic/cli_common.h"
#include "tools/czqic/demo_transaction.h"
#include "tools/czqic/session.h"
#include "win/czqic/panel_window.h"
#include "win/czqic/win_host.h"

namespace czqic::cli {
namespace {

std::string steps_help() {
    return std::string(kObjectStepsHelp) +
           "  pump:MS                pump messages for MS milliseconds\n" + kSimStepsHelp +
           R"(  clock                  print the clock: clock = HH:MM:SS.mmm

The component is the registered CZQICCardReader.ColsZQICCardReader, called by name. The
simulated reader takes its scenario from --scenario, else from CZQIC_SIM_SCENARIO.
A failed call prints NAME failed: 0xHHHHHHHH DESCRIPTION and the run goes on. Exit
status: 0 when every step ran, 2 for a usage error.)";
}

void set_environment(const wchar_t* name, const std::string& value) {
    SetEnvironmentVariableW(name, win::widen(value).c_str());
}

int run_command(const RunOptions& options, bool log_given, std::ostream& out, std::ostream& err) {
    if (auto problem = log_option_problem(options, log_given)) return usage_error(err, *problem);
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

// The log file as it stands, to tell the lines a run appends.
std::streamoff log_size() {
    std::ifstream log(std::filesystem::path(win::widen(kLogPath)),
                      std::ios::binary | std::ios::ate);
    return log ? static_cast<std::streamoff>(log.tellg()) : 0;
}

int demo_command(std::ostream& out, std::ostream& err) {
    set_environment(L"CZQIC_REPORT_FAILURES", "stderr");
    const std::streamoff log_start = log_size();
    DemoOutcome outcome;
    {
        WinHost host;
        out << "One card transaction on the registered card-reader control, in real time.\n\n"
            << std::flush;
        outcome = run_demo_transaction(host, out);
    }
    err << std::flush;

    out << "\nLog lines written to " << kLogPath << ":\n";
    std::ifstream log(std::filesystem::path(win::widen(kLogPath)), std::ios::binary);
    bool any = false;
    if (log && log.seekg(log_start)) {
        for (std::string line; std::getline(log, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            out << "    " << line << '\n';
            any = true;
        }
    }
    if (!any) out << "    (none)\n";
    if (outcome.succeeded)
        out << "\nEvery step succeeded.\n";
    else
        out << "\nThe transaction stopped: " << outcome.stopped_at << ".\n";
    out << std::flush;
    return outcome.succeeded ? 0 : 1;
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
    run->footer(steps_help());

    CLI::App* demo = app.add_subcommand(
        "demo", "Run one complete card transaction on the registered control in real time");
    CLI::App* panel = app.add_subcommand(
        "panel", "Show the host form's test panel as a window and use it, in real time");

    if (auto status = parse_command_line(app, std::move(args), out, err, [&] {
            return run->parsed() ? "czqic run --help" : "czqic --help";
        }))
        return *status;
    if (demo->parsed()) return demo_command(out, err);
    if (panel->parsed()) {
        set_environment(L"CZQIC_REPORT_FAILURES", "stderr");
        return run_panel_window(err);
    }
    if (flags.virtual_clock->count() > 0)
        return usage_error(err, "--virtual-clock: the virtual clock is only available on Linux");
    return run_command(options, flags.log->count() > 0, out, err);
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
