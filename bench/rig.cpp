#include "rig.h"

namespace czqic::bench {

Rig::Rig(std::unique_ptr<Clock> c, const std::string& scenario_json, ReaderSpec reader)
    : InProcess(std::move(c), scenario_or_builtin(scenario_json), std::move(reader)) {
    use_log_function([counts = log](const std::string& path, const std::string& message,
                                    const std::string& tag) {
        ++counts->lines;
        counts->bytes += static_cast<int64_t>(path.size() + message.size() + tag.size());
        counts->last.assign(message);
        return static_cast<int32_t>(counts->lines & 0x7FFFFFFF);
    });
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
