// czqic.exe: the command line on Windows, against the registered component: `run` with the
// same options, steps and output as on Linux (`--virtual-clock` is Linux-only), `demo`
// with the same transaction, `panel`, the host form's test panel as a window, and `probe`,
// the guided check of a registered control.
//
// What happens inside the servers reaches the output through this process's environment,
// set before any of them loads: the log writer echoes each message (--log -), the
// simulated control each journal line (--calls), and the component reports failures that
// have no caller on standard error.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <CLI/CLI.hpp>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "device/control_contract.h"
#include "device/host_form.h"
#include "log/log_writer.h"
#include "platform/win32/convert.h"
#include "platform/win32/scoped.h"
#include "sim/sim_reader.h"
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

// The component reads which control to host from this process's environment first, so
// the choice made here wins over a per-user setting left on the machine: --reader vendor
// means the vendor's control even where that setting names the simulator.
void choose_control(bool vendor) {
    SetEnvironmentVariableW(L"CZQIC_CONTROL_PROGID",
                            win::widen(vendor ? kControlProgId : kSimControlProgId).c_str());
}

int run_command(const RunOptions& options, bool log_given, bool vendor, std::ostream& out,
                std::ostream& err) {
    if (auto problem = log_option_problem(options, log_given)) return usage_error(err, *problem);
    if (vendor && !options.scenario_file.empty())
        return usage_error(err, "--scenario: applies to the simulated reader only");
    choose_control(vendor);
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

// The default value of HKEY_CURRENT_USER's or HKEY_LOCAL_MACHINE's Software\Classes\KEY
// in this process's registry view, the user's first as COM reads it; nullopt if neither.
struct ClassesValue {
    std::string value;
    const char* root;
};
std::optional<ClassesValue> classes_value(const std::string& key) {
    const std::wstring path = L"Software\\Classes\\" + win::widen(key);
    for (auto [root, name] : {std::pair{HKEY_CURRENT_USER, "HKCU"}, {HKEY_LOCAL_MACHINE, "HKLM"}}) {
        wchar_t data[1024] = {};
        DWORD size = sizeof data;
        if (RegGetValueW(root, path.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, data, &size) ==
            ERROR_SUCCESS)
            return ClassesValue{win::narrow(data), name};
    }
    return std::nullopt;
}

// Which control, from where, and what its registration in this architecture's view says.
void describe_control(const std::string& progid, const std::string& source, std::ostream& out) {
    out << "control: " << progid << " (from " << source << ")\n";
    const char* bits = sizeof(void*) == 8 ? "64-bit" : "32-bit";
    const auto clsid = classes_value(progid + "\\CLSID");
    if (!clsid) {
        out << "registration: " << progid << " is not registered (" << bits << " view)\n";
        return;
    }
    const auto server = classes_value("CLSID\\" + clsid->value + "\\InprocServer32");
    out << "registration: " << clsid->value << " (" << clsid->root << "), server "
        << (server ? server->value + " (" + server->root + ")" : "not registered") << " (" << bits
        << " view)\n";
    if (progid == kSimControlProgId && source != "--scenario" && source != "--progid")
        out << "warning: the component hosts the simulated reader, not a card reader\n";
}

// Probes the control the component would host (the choice printed first), or with a
// scenario the simulated reader, or whatever control --progid names.
int probe_command(const ProbeCommand& options, std::string progid, std::ostream& out,
                  std::ostream& err) {
    std::string source = "--progid";
    if (!options.scenario_file.empty()) {
        // Checked here, where a bad file is a usage error, not inside the control's creation.
        try {
            sim::load_scenario_file(options.scenario_file);
        } catch (const sim::ScenarioError& e) {
            return usage_error(err, std::string("scenario ") + e.what());
        }
        set_environment(L"CZQIC_SIM_SCENARIO", options.scenario_file);
        if (progid.empty()) {
            progid = kSimControlProgId;
            source = "--scenario";
        }
    }
    if (progid.empty()) {
        const ControlChoice choice = control_choice();
        progid = choice.progid;
        source = choice.source;
    }
    describe_control(progid, source, out);
    auto clock = make_real_clock();
    MessageLoop loop(*clock);
    const ClassRegistry classes;  // empty: every ProgID goes to the registry
    // With a scenario the control is the simulator, whatever ProgID it answers to.
    const bool simulated = !options.scenario_file.empty() || progid == kSimControlProgId;
    return run_probe(classes, progid, loop, simulated, options, out, err);
}

// The log file as it stands: which file the path names, and its size.
struct LogMark {
    bool exists = false;
    DWORD volume = 0, index_high = 0, index_low = 0;
    std::streamoff size = 0;
    bool same_file(const LogMark& other) const {
        return exists && other.exists && volume == other.volume && index_high == other.index_high &&
               index_low == other.index_low;
    }
};

LogMark log_mark() {
    win::ScopedHandle file(CreateFileW(win::widen(kLogPath).c_str(), FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file.valid() || !GetFileInformationByHandle(file.get(), &info)) return {};
    return {true, info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow,
            static_cast<std::streamoff>(static_cast<uint64_t>(info.nFileSizeHigh) << 32 |
                                        info.nFileSizeLow)};
}

int demo_command(std::ostream& out, std::ostream& err) {
    set_environment(L"CZQIC_REPORT_FAILURES", "stderr");
    const LogMark before = log_mark();
    DemoOutcome outcome;
    {
        WinHost host;
        out << "One card transaction on the registered card-reader control, in real time.\n\n"
            << std::flush;
        outcome = run_demo_transaction(host, out);
    }
    err << std::flush;

    out << "\nLog lines written to " << kLogPath << ":\n";
    // The run's lines follow what the file held before, unless its first line began a new
    // day's file: the old one was renamed then, and the run's lines start the new one.
    const std::streamoff log_start = before.same_file(log_mark()) ? before.size : 0;
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
    std::string reader = "sim";
    run->add_option("--reader", reader,
                    "The control the component hosts: sim (the simulated reader) or vendor (the "
                    "registered KXCARDREADERLib.KXCardReader)")
        ->check(CLI::IsMember({"sim", "vendor"}));
    run->footer(steps_help());

    ProbeCommand probe_options;
    std::string probe_progid;
    CLI::App* probe = app.add_subcommand(
        "probe", "Check step by step that a registered control does what the component relies on");
    add_probe_options(*probe, probe_options,
                      std::string("Probe the simulated reader (") + kSimControlProgId +
                          ") with this scenario (JSON)");
    probe
        ->add_option("--progid", probe_progid,
                     std::string("The control to probe; default: the one the component would "
                                 "host (CZQIC_CONTROL_PROGID, else the user's setting of that "
                                 "name, else ") +
                         kControlProgId + "), or the simulated reader with --scenario")
        ->type_name("PROGID");
    probe->footer(
        "First the control probed, where its ProgID came from and its registration; then one "
        "line a step: passed, failed with the reason, or skipped. Exit status: 0 when no step "
        "failed, 1 when one did, 2 for a usage error.");

    CLI::App* demo = app.add_subcommand(
        "demo",
        "Run one complete card transaction in real time (the simulated reader unless "
        "--reader vendor)");
    demo->add_option("--reader", reader, "sim (the simulated reader) or vendor")
        ->check(CLI::IsMember({"sim", "vendor"}));
    CLI::App* panel = app.add_subcommand(
        "panel", "Show the host form's test panel as a window and use it, in real time");
    panel->add_option("--reader", reader, "sim (the simulated reader) or vendor")
        ->check(CLI::IsMember({"sim", "vendor"}));

    if (auto status = command_word_problem(args, {"run", "demo", "panel", "probe"}, err))
        return *status;
    if (auto status = parse_command_line(app, std::move(args), out, err, [&] {
            return run->parsed() ? "czqic run --help" : "czqic --help";
        }))
        return *status;
    if (probe->parsed()) return probe_command(probe_options, probe_progid, out, err);
    choose_control(reader == "vendor");
    if (demo->parsed()) return demo_command(out, err);
    if (panel->parsed()) {
        set_environment(L"CZQIC_REPORT_FAILURES", "stderr");
        return run_panel_window(err);
    }
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
