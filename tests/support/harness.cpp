#include "tests/support/harness.h"

namespace czqic::testing {

std::string on_each_call(const std::string& member, const std::string& reaction) {
    return R"({"on": {")" + member + R"(": [)" + reaction + "]}}";
}

std::string answer(const std::string& member, const std::string& event, bool during, int after_ms) {
    if (event.empty()) return on_each_call(member, "{}");
    const std::string when =
        during ? R"("during": true)" : R"("afterMs": )" + std::to_string(after_ms);
    return on_each_call(member, R"({"events": [{"event": ")" + event + R"(", )" + when + "}]}");
}

std::string returning(const std::string& member, const std::string& value) {
    return on_each_call(member, R"({"returns": )" + value + "}");
}

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

void Harness::fail_writing(std::function<bool(const std::string& message)> which) {
    logs->before_write = [which = std::move(which)](const std::string& message) {
        if (which(message)) throw AutomationError(61, 0x800A003D, "Disk full");
    };
}

Harness::Timed Harness::timed(const std::function<int32_t()>& call) {
    int32_t result = 0;
    const int64_t ms = elapsed_during([&] { result = call(); });
    return {result, ms};
}

}  // namespace czqic::testing
