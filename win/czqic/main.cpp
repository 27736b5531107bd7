// czqic.exe: the command line on Windows, against the registered component: the commands
// of the shared core (`run` with the same options, steps and output as on Linux but
// `--virtual-clock`, `demo` with the same transaction, `log` and `replay` on a terminal's
// log), `panel`, the host form's test panel as a window, and `probe`, the guided check of
// a registered control.
//
// What happens inside the servers reaches the output through this process's environment,
// set before any of them loads: the log writer echoes each message (--log -), the
// simulated control each journal line (--calls), and the component reports failures that
// have no caller on standard error.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "component/members.h"
#include "device/control_contract.h"
#include "device/host_form.h"
#include "log/log_writer.h"
#include "platform/win32/com/convert.h"
#include "platform/win32/scoped.h"
#include "tools/cli/command_line.h"
#include "tools/cli/demo.h"
#include "tools/cli/probe_command.h"
#include "win/czqic/panel_window.h"
#include "win/czqic/win_host.h"

namespace czqic::cli {
namespace {

void set_environment(const wchar_t* name, const std::string& value) {
    SetEnvironmentVariableW(name, win::widen(value).c_str());
}

// The component reads which control to host from this process's environment first, so
// the choice made here wins over a per-user setting left on the machine: --reader vendor
// means the vendor's control even where that setting names the simulator.
void choose_control(const ReaderChoice& reader) {
    set_environment(L"CZQIC_CONTROL_PROGID",
                    reader.kind == ReaderKind::Vendor ? kControlProgId : kSimControlProgId);
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

struct ProbeCommand {
    ProbeOptions options;
    std::string progid;
};

// Probes the control the component would host (the choice printed first), or with a
// scenario the simulated reader, or whatever control --progid names.
int probe_command(const ProbeCommand& command, std::ostream& out, std::ostream& err) {
    const ProbeOptions& options = command.options;
    std::string progid = command.progid;
    std::string source = "--progid";
    if (!options.scenario_file.empty()) {
        // Checked here, where a bad file is a usage error, not inside the control's creation.
        load_scenario(options.scenario_file);
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

// The lines the log file gained since before was taken.
DemoLog log_since(const LogMark& before) {
    DemoLog written{kLogPath, {}};
    // The run's lines follow what the file held before, unless its first line began a new
    // day's file: the old one was renamed then, and the run's lines start the new one.
    const std::streamoff log_start = before.same_file(log_mark()) ? before.size : 0;
    std::ifstream log(std::filesystem::path(win::widen(kLogPath)), std::ios::binary);
    if (log && log.seekg(log_start)) {
        for (std::string line; std::getline(log, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            written.lines.push_back(line);
        }
    }
    return written;
}

class WindowsPlatform final : public Platform {
  public:
    std::string description() const override {
        return "Drives the registered ColsZQICCardReader component.";
    }

    std::vector<Command> own_commands() override {
        return {
            {"panel", "Show the host form's test panel as a window and use it, in real time",
             [this](CLI::App& app) { return define_panel(app); }},
            {"probe",
             "Check step by step that a registered control does what the component relies on",
             [](CLI::App& app) { return define_probe(app); }},
        };
    }

    bool hosts(ReaderKind kind) const override { return kind != ReaderKind::Pcsc; }
    ReaderChoice default_reader() const override { return {}; }
    std::string default_reader_help() const override { return "sim"; }

    bool has_virtual_clock() const override { return false; }
    std::string run_notes() const override {
        return "The component is the registered " + std::string(kProgId) +
               ", called by name. It\nhosts the simulated reader (" + kSimControlProgId +
               ") unless --reader vendor asks for the\nregistered vendor control. The "
               "simulated reader takes its scenario from --scenario, else\nfrom "
               "CZQIC_SIM_SCENARIO.\n";
    }

    std::unique_ptr<Host> open_host(const HostSettings& settings, std::ostream&,
                                    std::ostream&) override {
        choose_control(settings.reader);
        if (!settings.scenario_file.empty())
            set_environment(L"CZQIC_SIM_SCENARIO", settings.scenario_file);
        if (settings.echo_log) set_environment(L"CZQIC_LOG_ECHO", "stdout");
        if (settings.echo_calls) set_environment(L"CZQIC_SIM_ECHO", "stdout");
        set_environment(L"CZQIC_REPORT_FAILURES", "stderr");

        auto host = std::make_unique<WinHost>();
        if (GetEnvironmentVariableW(L"CZQIC_SIM_SCENARIO", nullptr, 0) > 0)
            if (auto problem = host->scenario_problem()) throw UsageError("scenario " + *problem);
        return host;
    }

    int demo(const HostSettings& settings, std::ostream& out, std::ostream& err) override {
        choose_control(settings.reader);
        set_environment(L"CZQIC_REPORT_FAILURES", "stderr");
        if (!settings.scenario_file.empty())
            set_environment(L"CZQIC_SIM_SCENARIO", settings.scenario_file);
        auto host = std::make_unique<WinHost>();
        if (!settings.scenario_file.empty())
            if (auto problem = host->scenario_problem()) throw UsageError("scenario " + *problem);
        const LogMark before = log_mark();
        return run_demo(
            std::move(host),
            "One card transaction on the registered card-reader control, in real time.", true,
            [&before] { return log_since(before); }, out, err);
    }

    // `replay --check` is refused first: there is no virtual clock here.
    std::unique_ptr<Host> open_replay_host(const sim::Scenario&,
                                           std::function<void(const std::string&)>) override {
        throw UsageError("replay --check: only czqic on Linux replays a session");
    }

  private:
    CommandRun define_panel(CLI::App& panel) {
        auto reader = std::make_shared<ReaderOption>();
        reader->add_to(panel, *this);
        return [this, reader](std::ostream&, std::ostream& err) {
            choose_control(reader->choice(*this));
            set_environment(L"CZQIC_REPORT_FAILURES", "stderr");
            return run_panel_window(err);
        };
    }

    static CommandRun define_probe(CLI::App& probe) {
        auto command = std::make_shared<ProbeCommand>();
        add_probe_options(probe, command->options,
                          std::string("Probe the simulated reader (") + kSimControlProgId +
                              ") with this scenario (JSON)");
        probe
            .add_option("--progid", command->progid,
                        std::string("The control to probe; default: the one the component "
                                    "would host (CZQIC_CONTROL_PROGID, else the user's setting "
                                    "of that name, else ") +
                            kControlProgId + "), or the simulated reader with --scenario")
            ->type_name("PROGID");
        probe.footer(
            probe_footer("First the control probed, where its ProgID came from and its "
                         "registration; then "));
        return [command](std::ostream& out, std::ostream& err) {
            return probe_command(*command, out, err);
        };
    }
};

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
    czqic::cli::WindowsPlatform platform;
    return czqic::cli::run_command_line(platform, std::move(args), std::cout, std::cerr);
}
