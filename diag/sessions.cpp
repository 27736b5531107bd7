#include "diag/sessions.h"

#include <cstdlib>
#include <map>
#include <optional>
#include <string_view>

#include "diag/call_builder.h"
#include "diag/log_input.h"
#include "diag/log_message.h"
#include "log/log_line.h"
#include "log/log_writer.h"

namespace czqic::diag {
namespace {

using Kind = Message::Kind;

// The first line of each CardReaderInit's session, by the line its record starts on:
// the run of events just before it at its instant, else the line itself.
class InitLines {
  public:
    void line(std::string_view text, uint64_t number) {
        LogLineParts parts;
        if (!parse_log_line(text, parts) || parts.tag != kLogTag) return;
        Message m;
        read_message(parts.message, m);
        if (m.kind == Kind::Unknown) return;
        const int64_t ms = day_start_ms(parts.time) + time_of_day_ms(parts.time);
        // A run of the application may begin earlier in the day than the one before ended.
        const bool near = last_ms_ && std::llabs(ms - *last_ms_) < kSameInstantMs;
        last_ms_ = ms;
        if (m.kind == Kind::Event || m.kind == Kind::ChipData) {
            if (!run_first_ || !near) run_first_ = number;
            return;
        }
        const bool init = m.op == Op::Init && (m.kind == Kind::Start || m.kind == Kind::Error);
        if (init) first_of_[number] = run_first_ && near ? *run_first_ : number;
        run_first_.reset();
    }
    uint64_t first_of(uint64_t record_line) const {
        const auto at = first_of_.find(record_line);
        return at == first_of_.end() ? record_line : at->second;
    }

  private:
    std::optional<int64_t> last_ms_;
    std::optional<uint64_t> run_first_;  // of the events since the last other line
    std::map<uint64_t, uint64_t> first_of_;
};

struct Starts final : RecordSink {
    explicit Starts(const InitLines& inits) : inits_(inits) {}
    void record(const Record& r) override {
        const bool init = !r.is_event && r.op == Op::Init && !r.by_timer1;
        if (init) {
            if (spans.empty() && seen_) spans.push_back({1, 0, false});
            const uint64_t first = spans.empty() ? 1 : inits_.first_of(r.line);
            if (!spans.empty()) spans.back().end_line = first;
            spans.push_back({first, 0, true});
        } else if (spans.empty() && !seen_) {
            seen_ = true;
        }
    }
    void finish() {
        if (spans.empty() && seen_) spans.push_back({1, 0, false});
    }
    std::vector<SessionSpan> spans;

  private:
    const InitLines& inits_;
    bool seen_ = false;  // a record before the first Init
};

}  // namespace

std::vector<SessionSpan> find_sessions(std::FILE* in, bool& ok) {
    InitLines inits;
    Starts starts(inits);
    CallBuilder builder(starts);
    uint64_t number = 0;
    ok = for_each_line(in, [&](std::string_view text) {
        inits.line(text, ++number);
        builder.line(text, 0, number);
    });
    builder.finish();
    starts.finish();
    return starts.spans;
}

}  // namespace czqic::diag
