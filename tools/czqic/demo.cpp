#include "tools/czqic/demo.h"

#include <string>
#include <vector>

#include "log/file_log_writer.h"
#include "platform/text.h"
#include "tools/czqic/demo_transaction.h"
#include "tools/czqic/linux_host.h"
#include "tools/czqic/session.h"

namespace czqic::cli {

std::string reader_title(const ReaderSpec& reader, const std::string& scenario_name) {
    if (!reader.pcsc) return "Simulated reader: " + scenario_name;
    if (reader.pcsc_reader.empty()) return "PC/SC reader: first one";
    return "PC/SC reader: named like " + json_string(reader.pcsc_reader);
}

int run_demo(std::ostream& out, std::ostream& err, const ReaderSpec& reader) {
    std::vector<std::string> logged;
    LinuxHostOptions options;  // the built-in reader on the real clock
    options.reader = reader;
    options.on_log = [&logged](const std::string& message) { logged.push_back(message); };
    options.on_failure = [&out, &err](std::string_view where, std::string_view description) {
        out.flush();
        err << "czqic: " << where << ": " << description << '\n' << std::flush;
    };

    bool succeeded = false;
    std::string stopped_at;
    {
        LinuxHost host(std::move(options));
        out << "One card transaction in real time. " << reader_title(reader, "built-in") << ".\n\n"
            << std::flush;
        const DemoOutcome outcome = run_demo_transaction(host, out, !reader.pcsc);
        succeeded = outcome.succeeded;
        stopped_at = outcome.stopped_at;
    }

    std::string where = kLogPath;
    try {
        where += " (here " + map_drive_path(kLogPath) + ")";
    } catch (const AutomationError&) {
        // Nothing was written either, and the log lines below say so by their absence.
    }
    out << "\nLog lines written to " << where << ":\n";
    for (const auto& message : logged) out << "    " << escape_controls(message) << '\n';
    if (logged.empty()) out << "    (none)\n";

    if (succeeded)
        out << "\nEvery step succeeded.\n";
    else
        out << "\nThe transaction stopped: " << stopped_at << ".\n";
    out << std::flush;
    return succeeded ? 0 : 1;
}

}  // namespace czqic::cli
