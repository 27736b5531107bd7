#include "tests/support/harness.h"

namespace czqic::testing {

Harness::Harness(const std::string& scenario_json, double start_time_of_day)
    : InProcess(std::make_unique<VirtualClock>(start_time_of_day),
                scenario_or_builtin(scenario_json)) {
    use_log_writer([store = logs] {
        ++store->writers_created;
        return std::make_shared<FunctionLogWriter>(
            [store](const std::string& path, const std::string& message, const std::string& tag) {
                if (path != kLogPath || tag != kLogTag)
                    throw AutomationError(5, 0x800A0005,
                                          "unexpected log path or tag: " + path + " " + tag);
                if (store->before_write) store->before_write(message);
                store->lines.push_back(message);
                return static_cast<int32_t>(store->lines.size());
            });
    });
}

std::vector<std::string> Harness::journal_matching(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& line : device->journal())
        if (line.rfind(prefix, 0) == 0) out.push_back(line);
    return out;
}

int64_t Harness::elapsed_during(const std::function<void()>& fn) {
    const int64_t before = clock.now_ms();
    fn();
    return clock.now_ms() - before;
}

}  // namespace czqic::testing
