#include "tools/cli/command_line.h"

#include <algorithm>
#include <cstdlib>

#include "tools/cli/printers.h"

namespace czqic::cli {
namespace {

// The readers --reader names, with the words for each and the program that hosts it.
struct ReaderWords {
    ReaderKind kind;
    std::vector<std::string> words;
    const char* program;
};
const std::vector<ReaderWords>& reader_words() {
    static const std::vector<ReaderWords> table{
        {ReaderKind::Sim, {"sim"}, "both programs"},
        {ReaderKind::Pcsc, {"pcsc", "pcsc:NAME"}, "czqic on Linux"},
        {ReaderKind::Vendor, {"vendor"}, "czqic.exe on Windows"},
    };
    return table;
}

// "sim, pcsc or pcsc:NAME": the readers this program hosts.
std::string hosted_readers(const Platform& platform) {
    std::vector<std::string> words;
    for (const ReaderWords& r : reader_words())
        if (platform.hosts(r.kind)) words.insert(words.end(), r.words.begin(), r.words.end());
    return alternatives(words);
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

// A command line whose first word is no option and none of the commands (or that is
// empty): the usage error naming it and listing the commands, as CLI11 would only say that
// a subcommand is required. nullopt when the command line names a command or starts with
// an option.
std::optional<int> command_word_problem(const std::vector<std::string>& args,
                                        const std::vector<std::string>& commands,
                                        std::ostream& err) {
    if (!args.empty() && std::ranges::find(commands, args.front()) != commands.end())
        return std::nullopt;
    const std::string listed = alternatives(commands);
    if (args.empty())
        return usage_error(err, "a command is required: " + listed + " (see czqic --help)");
    if (args.front().starts_with('-')) return std::nullopt;
    return usage_error(err, "unknown command " + json_string(args.front()) + ": expected " +
                                listed + " (see czqic --help)");
}

// The help a usage error points to: the command's own, once its name has been read.
std::string see_help(const CLI::App& app) {
    const auto commands = app.get_subcommands();
    return commands.empty() ? "czqic --help" : "czqic " + commands.front()->get_name() + " --help";
}

}  // namespace

std::optional<ReaderChoice> parse_reader(std::string_view text) {
    if (text == "sim") return ReaderChoice{};
    if (text == "vendor") return ReaderChoice{ReaderKind::Vendor, ""};
    if (text == "pcsc") return ReaderChoice{ReaderKind::Pcsc, ""};
    if (text.starts_with("pcsc:") && text.size() > 5)
        return ReaderChoice{ReaderKind::Pcsc, std::string(text.substr(5))};
    return std::nullopt;
}

int usage_error(std::ostream& err, const std::string& what) {
    err << "czqic: " << one_line(what) << '\n' << std::flush;
    return 2;
}

std::string alternatives(const std::vector<std::string>& words) {
    std::string listed;
    for (size_t i = 0; i < words.size(); ++i)
        listed += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + words[i];
    return listed;
}

void ReaderOption::add_to(CLI::App& command, const Platform& platform) {
    command
        .add_option("--reader", given_,
                    "The control the component hosts: sim, the simulated reader; on Linux "
                    "pcsc, the first PC/SC reader, or pcsc:NAME, the first whose name contains "
                    "NAME; on Windows vendor, the registered KXCARDREADERLib.KXCardReader. "
                    "Default: " +
                        platform.default_reader_help())
        ->type_name("READER");
}

ReaderChoice ReaderOption::choice(const Platform& platform) const {
    if (given_.empty()) return platform.default_reader();
    const auto reader = parse_reader(given_);
    if (!reader)
        throw UsageError("--reader: " + json_string(given_) + " is not " +
                         hosted_readers(platform));
    if (!platform.hosts(reader->kind)) {
        const auto words = std::ranges::find(reader_words(), reader->kind, &ReaderWords::kind);
        throw UsageError("--reader: " + json_string(given_) + " applies to " + words->program +
                         " only; here: " + hosted_readers(platform));
    }
    return *reader;
}

void VirtualClockOption::add_to(CLI::App& command, const std::string& help) {
    flag_ = command.add_flag("--virtual-clock{12:00:00}", value_, help);
}

std::optional<double> VirtualClockOption::start() const {
    if (!given()) return std::nullopt;
    if (auto seconds = parse_time_of_day(value_)) return seconds;
    throw UsageError("--virtual-clock: " + json_string(value_) + " is not a time of day HH:MM:SS");
}

std::string scenario_file_in_use(const std::string& given) {
    if (given.empty())
        if (const char* from_env = std::getenv("CZQIC_SIM_SCENARIO")) return from_env;
    return given;
}

sim::Scenario load_scenario(const std::string& file) {
    try {
        return sim::load_scenario_file(file);
    } catch (const sim::ScenarioError& e) {
        throw UsageError(std::string("scenario ") + e.what());
    }
}

std::optional<std::string> sim_only_problem(const ReaderChoice& reader,
                                            const std::string& scenario_file,
                                            const std::vector<std::string>& steps) {
    if (reader.simulated()) return std::nullopt;
    if (!scenario_file.empty())
        return "--scenario applies to the simulated reader only (--reader sim)";
    for (size_t i = 0; i < steps.size(); ++i)
        if (steps[i].starts_with("sim:"))
            return "step " + std::to_string(i + 1) + " " + json_string(steps[i]) +
                   ": sim: steps apply to the simulated reader only (--reader sim)";
    return std::nullopt;
}

namespace {

// Each command's run, by its callback, once CLI11 has read and checked the whole line.
std::optional<int> parse_and_run(CLI::App& app, std::vector<std::string> args, std::ostream& out,
                                 std::ostream& err) {
    std::reverse(args.begin(), args.end());  // CLI11 takes a vector last argument first
    try {
        app.parse(args);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e, out, err);
    } catch (const CLI::ParseError& e) {
        return usage_error(err, std::string(e.what()) + " (see " + see_help(app) + ")");
    }
    return std::nullopt;
}

int run_parsed(Platform& platform, std::vector<std::string> args, std::ostream& out,
               std::ostream& err) {
    CLI::App app{platform.description(), "czqic"};
    app.require_subcommand(1);
    auto formatter = std::make_shared<HelpFormatter>();
    formatter->column_width(30);
    app.formatter(formatter);  // before the commands, which take their parent's

    std::vector<Command> commands = shared_commands(platform);
    for (Command& own : platform.own_commands()) commands.push_back(std::move(own));
    std::vector<std::string> names;
    int status = 0;
    for (Command& command : commands) {
        names.push_back(command.name);
        CLI::App* app_command = app.add_subcommand(command.name, command.summary);
        app_command->callback([&status, &out, &err, run = command.define(*app_command)] {
            try {
                status = run(out, err);
            } catch (const UsageError& e) {
                status = usage_error(err, e.what());
            }
        });
    }
    if (auto problem = command_word_problem(args, names, err)) return *problem;
    if (auto ended = parse_and_run(app, std::move(args), out, err)) return *ended;
    return status;
}

}  // namespace

int run_command_line(Platform& platform, std::vector<std::string> args, std::ostream& out,
                     std::ostream& err) {
    const int status = run_parsed(platform, std::move(args), out, err);
    // Output that never arrived (a full disk, a closed descriptor) is a run that did not
    // do what it said, whatever its steps did.
    if (out.flush()) return status;
    err << "czqic: writing standard output failed: the output is incomplete\n" << std::flush;
    return status == 0 ? 1 : status;
}

}  // namespace czqic::cli
