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

int run_linux_demo(const ReaderSpec& reader, std::ostream& out, std::ostream& err) {
    // The messages are kept as the transaction logs them, to be shown after it.
    auto logged = std::make_shared<std::vector<std::string>>();
    LinuxHostOptions options;  // the built-in reader on the real clock
    options.reader = reader;
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
    return run_demo(std::make_unique<LinuxHost>(std::move(options)),
                    "One card transaction in real time. " + reader_title(reader, "built-in") + ".",
                    !reader.pcsc, log_written, out, err);
}

}  // namespace czqic::cli
