// The command line both programs share, `czqic` on Linux and `czqic.exe` on Windows: its
// commands, read with CLI11 and each run by its own callback, the options several
// commands take, and the usage errors. What differs between the two programs is asked of
// the Platform each one implements.
//
// A command both programs have is added once, to shared_commands(); a command only one
// program has is that program's Platform::own_commands().
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "sim/sim_reader.h"
#include "tools/cli/host.h"
#include "tools/cli/session.h"

namespace czqic::cli {

// What a command does once the whole command line has been read and checked; returns the
// exit status. A UsageError it raises ends the run with exit status 2.
using CommandRun = std::function<int(std::ostream& out, std::ostream& err)>;

// One command: its name, its line in --help, and `define`, which adds the command's
// options to its CLI11 app (bound to state the returned run keeps) and returns its run.
struct Command {
    std::string name;
    std::string summary;
    std::function<CommandRun(CLI::App& command)> define;
};

// --reader: which control the component hosts, named by the same words in both programs.
enum class ReaderKind {
    Sim,     // the simulated reader
    Pcsc,    // a PC/SC reader (Linux)
    Vendor,  // the registered vendor control (Windows)
};
struct ReaderChoice {
    ReaderKind kind = ReaderKind::Sim;
    std::string pcsc_name;  // pcsc:NAME; empty for the first PC/SC reader
    bool simulated() const { return kind == ReaderKind::Sim; }
};
// "sim", "pcsc", "pcsc:NAME" or "vendor"; nullopt for anything else.
std::optional<ReaderChoice> parse_reader(std::string_view text);

// How a `run` asks for its host.
struct HostSettings {
    ReaderChoice reader;
    std::string scenario_file;            // --scenario; empty when not given
    std::optional<double> virtual_start;  // seconds since midnight; the real clock if not set
    bool echo_log = false;                // --log -: every message logged, as `log: MESSAGE`
    bool echo_calls = false;              // --calls: every call the simulated reader receives
};

// What differs between the programs.
class Platform {
  public:
    virtual ~Platform() = default;

    // The first line of --help.
    virtual std::string description() const = 0;
    // The commands only this program has; --help lists them after the shared ones.
    virtual std::vector<Command> own_commands() = 0;

    virtual bool hosts(ReaderKind kind) const = 0;
    // The reader when --reader is not given (raises UsageError), and how --help says it.
    virtual ReaderChoice default_reader() const = 0;
    virtual std::string default_reader_help() const = 0;

    virtual bool has_virtual_clock() const = 0;
    // What `run --help` says after the steps about the component and the reader it hosts.
    virtual std::string run_notes() const = 0;
    // The host a `run` drives; raises UsageError when the simulated reader cannot run the
    // scenario.
    virtual std::unique_ptr<Host> open_host(const HostSettings& settings, std::ostream& out,
                                            std::ostream& err) = 0;
    // `demo` on the reader (the simulated one with the scenario file, when one is given, and
    // on the virtual clock when a start is); returns 0 when every step of the transaction
    // succeeded. Raises UsageError when the simulated reader cannot run the scenario.
    virtual int demo(const HostSettings& settings, std::ostream& out, std::ostream& err) = 0;
    // The host `replay --check` runs a session's steps on: the simulated reader running
    // scenario on the virtual clock, each message handed to on_log as the log stores it, no
    // file written. Asked for only where has_virtual_clock().
    virtual std::unique_ptr<Host> open_replay_host(
        const sim::Scenario& scenario, std::function<void(const std::string& message)> on_log) = 0;
};

// The commands both programs have, in the order --help lists them.
std::vector<Command> shared_commands(Platform& platform);

// Reads args (the words after the program's name) and runs the command they name. Returns
// the exit status; output that could not be written fails the run, whatever it did.
int run_command_line(Platform& platform, std::vector<std::string> args, std::ostream& out,
                     std::ostream& err);

// Reports a usage error as "czqic: WHAT"; returns the exit status for it.
int usage_error(std::ostream& err, const std::string& what);

// The words of a list as a sentence: "a", "a or b", "a, b or c".
std::string alternatives(const std::vector<std::string>& words);

// --reader on a command.
class ReaderOption {
  public:
    void add_to(CLI::App& command, const Platform& platform);
    // The reader named, else the platform's default; raises UsageError for a word that is
    // no reader or a reader this program does not host, saying where it applies.
    ReaderChoice choice(const Platform& platform) const;

  private:
    std::string given_;
};

// --virtual-clock[=HH:MM:SS], a flag with an optional value: the time is only ever attached
// with "=", so `--virtual-clock CardReaderInit` leaves the step alone.
class VirtualClockOption {
  public:
    void add_to(CLI::App& command, const std::string& help);
    bool given() const { return flag_ && flag_->count() > 0; }
    // Seconds since midnight when given (12:00:00 without a time), nullopt when not; raises
    // UsageError for a value that is no time of day.
    std::optional<double> start() const;

  private:
    CLI::Option* flag_ = nullptr;
    std::string value_;
};

// The scenario file the simulated reader runs: the one given, else the one
// CZQIC_SIM_SCENARIO names (which the Windows simulator reads too, so that one script works
// on both); empty for the built-in reader.
std::string scenario_file_in_use(const std::string& given);
inline constexpr const char* kScenarioHelp =
    "The simulated reader's scenario (JSON); default: CZQIC_SIM_SCENARIO, else the built-in "
    "reader";
// The scenario in file; raises UsageError naming the file and what is wrong with it.
sim::Scenario load_scenario(const std::string& file);
// Why a scenario file or `sim:` steps cannot go with the reader, or nullopt: they drive the
// simulated reader and mean nothing to another.
std::optional<std::string> sim_only_problem(const ReaderChoice& reader,
                                            const std::string& scenario_file,
                                            const std::vector<std::string>& steps = {});

}  // namespace czqic::cli
