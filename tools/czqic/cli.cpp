#include "tools/czqic/cli.h"

#include <cstdlib>
#include <memory>

#include "pcsc/pcsc_control.h"
#include "platform/text.h"
#include "tools/cli/command_line.h"
#include "tools/cli/printers.h"
#include "tools/cli/probe_command.h"
#include "tools/czqic/demo.h"
#include "tools/czqic/linux_host.h"
#include "tools/czqic/panel_view.h"

namespace czqic::cli {
namespace {

// The environment variable that chooses the reader when --reader is not given.
constexpr const char* kReaderVariable = "CZQIC_READER";

ReaderSpec reader_spec(const ReaderChoice& reader) {
    return {reader.kind == ReaderKind::Pcsc, reader.pcsc_name};
}

// The simulated reader's scenario: the file in use, else the built-in reader. A reader
// other than the simulated one runs none.
sim::Scenario scenario_for(const ReaderChoice& reader, const std::string& given) {
    const std::string file = reader.simulated() ? scenario_file_in_use(given) : "";
    return file.empty() ? sim::builtin_scenario() : load_scenario(file);
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

struct PanelCommand {
    std::string scenario_file;
    ReaderOption reader;
};

int panel_command(const Platform& platform, const PanelCommand& command, std::ostream& err) {
    PanelOptions options;
    const ReaderChoice reader = command.reader.choice(platform);
    if (auto problem = sim_only_problem(reader, command.scenario_file)) throw UsageError(*problem);
    options.reader = reader_spec(reader);
    options.scenario = scenario_for(reader, command.scenario_file);
    if (const std::string file = scenario_file_in_use(command.scenario_file);
        reader.simulated() && !file.empty())
        options.scenario_name = file;
    return run_panel(std::move(options), err);
}

struct ProbeCommand {
    ProbeOptions options;
    ReaderOption reader;
    VirtualClockOption virtual_clock;
};

int probe_command(const Platform& platform, const ProbeCommand& command, std::ostream& out,
                  std::ostream& err) {
    const ReaderChoice reader = command.reader.choice(platform);
    if (auto problem = sim_only_problem(reader, command.options.scenario_file))
        throw UsageError(*problem);
    std::unique_ptr<Clock> clock = make_real_clock();
    if (auto start = command.virtual_clock.start()) clock = std::make_unique<VirtualClock>(*start);
    // The probe's own loop and class table: it hosts the control without the component.
    InProcess process(std::move(clock), scenario_for(reader, command.options.scenario_file),
                      reader_spec(reader));
    return run_probe(process.classes, kControlProgId, process.loop, reader.simulated(),
                     command.options, out, err);
}

class LinuxPlatform final : public Platform {
  public:
    std::string description() const override {
        return "Drives the ColsZQICCardReader component against a simulated card reader.";
    }

    std::vector<Command> own_commands() override {
        return {
            {"panel", "Show the host form's test panel in the terminal and use it, in real time",
             [this](CLI::App& app) { return define_panel(app); }},
            {"probe",
             "Check step by step that the reader's control does what the component relies on",
             [this](CLI::App& app) { return define_probe(app); }},
            {"readers", "List the PC/SC readers with their card state and ATR",
             [](CLI::App&) -> CommandRun { return readers_command; }},
        };
    }

    bool hosts(ReaderKind kind) const override { return kind != ReaderKind::Vendor; }

    ReaderChoice default_reader() const override {
        const char* value = std::getenv(kReaderVariable);
        if (!value || !*value) return {};
        const auto reader = parse_reader(value);
        if (!reader || !hosts(reader->kind))
            throw UsageError(std::string(kReaderVariable) + "=" + value +
                             " is not sim, pcsc or pcsc:NAME");
        return *reader;
    }
    std::string default_reader_help() const override {
        return std::string("$") + kReaderVariable + ", else sim";
    }

    bool has_virtual_clock() const override { return true; }
    std::string run_notes() const override { return {}; }

    std::unique_ptr<Host> open_host(const HostSettings& settings, std::ostream& out,
                                    std::ostream& err) override {
        LinuxHostOptions options;
        options.reader = reader_spec(settings.reader);
        options.virtual_start = settings.virtual_start;
        options.scenario = scenario_for(settings.reader, settings.scenario_file);
        if (settings.echo_calls)
            options.on_journal = [&out](const std::string& line) {
                out << line << '\n' << std::flush;
            };
        if (settings.echo_log)
            options.on_log = [&out](const std::string& message) {
                out << "log: " << escape_controls(message) << '\n' << std::flush;
            };
        options.on_failure = [&out, &err](std::string_view where, std::string_view description) {
            out.flush();
            err << "czqic: " << where << ": " << one_line(std::string(description)) << '\n'
                << std::flush;
        };
        return std::make_unique<LinuxHost>(std::move(options));
    }

    std::unique_ptr<Host> open_replay_host(
        const sim::Scenario& scenario,
        std::function<void(const std::string& message)> on_log) override {
        LinuxHostOptions options;
        options.scenario = scenario;
        options.virtual_start = 12 * 3600.0;
        options.file_log = false;
        options.on_log = std::move(on_log);
        return std::make_unique<LinuxHost>(std::move(options));
    }

    int demo(const HostSettings& settings, std::ostream& out, std::ostream& err) override {
        LinuxDemo demo;
        demo.reader = reader_spec(settings.reader);
        demo.virtual_start = settings.virtual_start;
        // Only the file given: the demo's reader is the built-in one otherwise.
        if (!settings.scenario_file.empty()) {
            demo.scenario = load_scenario(settings.scenario_file);
            demo.scenario_name = settings.scenario_file;
        }
        return run_linux_demo(std::move(demo), out, err);
    }

  private:
    CommandRun define_panel(CLI::App& panel) {
        auto command = std::make_shared<PanelCommand>();
        panel.add_option("--scenario", command->scenario_file, kScenarioHelp)->type_name("FILE");
        command->reader.add_to(panel, *this);
        panel.footer(kPanelKeysHelp);
        return [this, command](std::ostream&, std::ostream& err) {
            return panel_command(*this, *command, err);
        };
    }

    CommandRun define_probe(CLI::App& probe) {
        auto command = std::make_shared<ProbeCommand>();
        add_probe_options(probe, command->options, kScenarioHelp);
        command->reader.add_to(probe, *this);
        command->virtual_clock.add_to(
            probe,
            "Virtual clock from this time of day (default 12:00:00): waits cost no real time");
        probe.footer(probe_footer());
        return [this, command](std::ostream& out, std::ostream& err) {
            return probe_command(*this, *command, out, err);
        };
    }
};

}  // namespace

int run_czqic(std::vector<std::string> args, std::ostream& out, std::ostream& err) {
    LinuxPlatform platform;
    return run_command_line(platform, std::move(args), out, err);
}

}  // namespace czqic::cli
