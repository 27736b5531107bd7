// JSON Lines, one object a record, every record with the same keys (an event outside any
// call has "event" where a call has "operation"), for the log pipelines that gather a
// fleet's logs.
#include <cstdio>
#include <nlohmann/json.hpp>
#include <ostream>

#include "diag/outputs.h"

namespace czqic::diag {
namespace {

using Json = nlohmann::ordered_json;

template <class T>
Json or_null(const std::optional<T>& value) {
    return value ? Json(*value) : Json(nullptr);
}

// The line's stamp in ISO 8601 form, local time as the log has it.
std::string iso_stamp(const LogTime& t) {
    std::string text = clock_text(t, true);
    text[10] = 'T';
    return text;
}

class JsonOutput final : public LogOutput {
  public:
    JsonOutput(std::ostream& out, const std::vector<std::string>& files, bool show_card_data)
        : out_(out), files_(files), show_card_data_(show_card_data) {}

    void record(const Record& r) override {
        Json j;
        if (r.is_event)
            j["event"] = event_name(r.event);
        else
            j["operation"] = op_name(r.op);
        j["by"] = r.by_timer1 ? Json("Timer1") : Json(nullptr);
        j["start"] = iso_stamp(r.start);
        j["ms"] = or_null(r.ms);
        j["status"] = or_null(r.status);
        j["result"] = or_null(r.result);
        j["error"] = or_null(r.error);
        j["events"] = Json::array();
        for (const EventMark& e : r.events)
            j["events"].push_back(
                {{"event", event_name(e.event)}, {"status", e.status}, {"ms", e.ms}});
        j["chip"] = r.chip ? Json(shown_chip(*r.chip, show_card_data_)) : Json(nullptr);
        j["incomplete"] = r.incomplete;
        j["file"] = files_.at(r.file);
        j["line"] = r.line;
        out_ << j.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n';
    }

    void finish(uint64_t) override { out_.flush(); }

  private:
    std::ostream& out_;
    const std::vector<std::string>& files_;
    bool show_card_data_;
};

}  // namespace

std::unique_ptr<LogOutput> json_output(std::ostream& out, const std::vector<std::string>& files,
                                       bool show_card_data) {
    return std::make_unique<JsonOutput>(out, files, show_card_data);
}

}  // namespace czqic::diag
