// The default output: a line a call, sessions (each begun by CardReaderInit) apart,
// failures marked with "!".
#include <cstdio>
#include <ostream>

#include "diag/outputs.h"

namespace czqic::diag {
namespace {

class TableOutput final : public LogOutput {
  public:
    TableOutput(std::ostream& out, const std::vector<std::string>& files, bool show_card_data)
        : out_(out), files_(files), show_card_data_(show_card_data) {}

    void record(const Record& r) override {
        const bool session = !r.is_event && r.op == Op::Init && !r.by_timer1;
        if (session || sessions_ == 0) begin_session(r, session);
        if (r.start.year != day_.year || r.start.month != day_.month || r.start.day != day_.day) {
            day_ = r.start;
            out_ << "  -- " << clock_text(r.start, true).substr(0, 10) << '\n';
        }
        const Outcome how = outcome_of(r);
        const bool bad =
            how != Outcome::Success && how != Outcome::Event && how != Outcome::Unknown;
        char head[96];
        std::snprintf(head, sizeof head, "%c %s  %-26s", bad ? '!' : ' ',
                      clock_text(r.start).c_str(), call_name(r).c_str());
        out_ << head << outcome_text(r);
        if (r.ms) out_ << "  " << seconds_text(*r.ms);
        if (!r.is_event && r.incomplete && r.result) out_ << "  (its start is not in the log)";
        write_events(r);
        if (r.error) out_ << "  error: " << *r.error;
        if (r.chip) out_ << "  chip: " << shown_chip(*r.chip, show_card_data_);
        out_ << '\n';
    }

    void finish(uint64_t unrecognised) override {
        if (sessions_ == 0) out_ << "no calls in the log\n";
        if (unrecognised > 0)
            out_ << unrecognised << " line" << (unrecognised == 1 ? " was" : "s were")
                 << " not the component's\n";
    }

  private:
    void begin_session(const Record& r, bool by_init) {
        if (sessions_++ > 0) out_ << '\n';
        out_ << "session " << sessions_ << (by_init ? "" : " (begun before the log)") << "  "
             << files_.at(r.file) << ':' << r.line << '\n';
        day_ = {};
    }

    void write_events(const Record& r) {
        for (size_t i = 0; i < r.events.size(); ++i) {
            const EventMark& e = r.events[i];
            out_ << (i == 0 ? "  events: " : ", ") << event_name(e.event) << e.status << " +"
                 << seconds_text(e.ms);
        }
    }

    std::ostream& out_;
    const std::vector<std::string>& files_;
    bool show_card_data_;
    int sessions_ = 0;
    LogTime day_{};
};

}  // namespace

std::unique_ptr<LogOutput> table_output(std::ostream& out, const std::vector<std::string>& files,
                                        bool show_card_data) {
    return std::make_unique<TableOutput>(out, files, show_card_data);
}

}  // namespace czqic::diag
