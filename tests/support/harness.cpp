#include "tests/support/harness.h"

namespace czqic::testing {

int32_t RecordingLogWriter::WriteLog(const std::string& path, const std::string& message,
                                     const std::string& tag) {
    if (path != kLogPath || tag != kLogTag)
        throw AutomationError(5, 0x800A0005, "unexpected log path or tag: " + path + " " + tag);
    if (store_->before_write) store_->before_write(message);
    store_->lines.push_back(message);
    return static_cast<int32_t>(store_->lines.size());
}

Harness::Harness(const std::string& scenario_json, double start_time_of_day)
    : clock(start_time_of_day) {
    device = sim::SimDevice::create(
        loop, scenario_json.empty() ? sim::builtin_scenario() : sim::parse_scenario(scenario_json));
    device->register_class(classes);
    classes.register_class(kLogWriterProgId, kLogWriterClsid, [store = logs] {
        ++store->writers_created;
        return std::make_shared<RecordingLogWriter>(store);
    });
    rt.report_failure = [this](std::string_view where, std::string_view description) {
        failures.push_back(std::string(where) + ": " + std::string(description));
    };
}

Harness::~Harness() {
    rt.unload_form();
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
