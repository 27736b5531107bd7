#include "tools/czqic/demo.h"

#include <memory>
#include <string>
#include <vector>

#include "log/file_log_writer.h"
#include "platform/text.h"
#include "tools/cli/demo.h"
#include "tools/cli/printers.h"
#include "tools/czqic/linux_host.h"

namespace czqic::cli {

std::string reader_title(const ReaderSpec& reader, const std::string& scenario_name) {
    if (!reader.pcsc) return "Simulated reader: " + scenario_name;
    if (reader.pcsc_reader.empty()) return "PC/SC reader: first one";
    return "PC/SC reader: named like " + json_string(reader.pcsc_reader);
}

int run_linux_demo(LinuxDemo demo, std::ostream& out, std::ostream& err) {
    const ReaderSpec& reader = demo.reader;
    // The messages are kept as the transaction logs them, to be shown after it.
    auto logged = std::make_shared<std::vector<std::string>>();
    LinuxHostOptions options;
    options.reader = reader;
    options.scenario = std::move(demo.scenario);
    options.virtual_start = demo.virtual_start;
    options.on_log = [logged](const std::string& message) { logged->push_back(message); };
    options.on_failure = [&out, &err](std::string_view where, std::string_view description) {
        out.flush();
        err << "czqic: " << where << ": " << description << '\n' << std::flush;
    };
    auto log_written = [logged] {
        DemoLog log{kLogPath, {}};
        try {
            log.where += " (here " + map_drive_path(kLogPath) + ")";
        } catch (const AutomationError&) {
            // Nothing was written either, and the log lines below say so by their absence.
        }
        for (const auto& message : *logged) log.lines.push_back(escape_controls(message));
        return log;
    };
    const char* when = demo.virtual_start ? "on the virtual clock" : "in real time";
    return run_demo(std::make_unique<LinuxHost>(std::move(options)),
                    std::string("One card transaction ") + when + ". " +
                        reader_title(reader, demo.scenario_name) + ".",
                    !reader.pcsc, log_written, out, err);
}

}  // namespace czqic::cli
