#include "rig.h"

namespace czqic::bench {

int32_t CountingLogWriter::WriteLog(const std::string& path, const std::string& message,
                                    const std::string& tag) {
    ++counts_->lines;
    counts_->bytes += static_cast<int64_t>(path.size() + message.size() + tag.size());
    counts_->last.assign(message);
    return static_cast<int32_t>(counts_->lines & 0x7FFFFFFF);
}

Rig::Rig(std::unique_ptr<Clock> c, const std::string& scenario_json) : clock(std::move(c)) {
    device = sim::SimDevice::create(
        loop, scenario_json.empty() ? sim::builtin_scenario() : sim::parse_scenario(scenario_json));
    device->register_class(classes);
    classes.register_class(kLogWriterProgId, kLogWriterClsid,
                           [counts = log] { return std::make_shared<CountingLogWriter>(counts); });
    rt.report_failure = [this](std::string_view where, std::string_view description) {
        failures.push_back(std::string(where) + ": " + std::string(description));
    };
}

Rig::~Rig() {
    // Unload while the loop, the class table and the device are all still here.
    rt.unload_form();
}

std::string Rig::failures_text() const {
    std::string text;
    for (const auto& f : failures) {
        if (!text.empty()) text += "; ";
        text += f;
    }
    return text;
}

}  // namespace czqic::bench
