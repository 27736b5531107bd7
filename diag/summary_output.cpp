// The summary: per file and in total, the calls by operation and result, time-outs,
// errors by description, Timer1's resets, device faults, and each operation's median,
// 95th percentile and longest duration. Durations are counted in a histogram of fixed
// size, so the summary of any log takes the same memory.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <map>
#include <ostream>

#include "component/reader.h"
#include "device/control_contract.h"
#include "diag/outputs.h"

namespace czqic::diag {
namespace {

// Durations to the millisecond below 1024 ms, above that in 64 steps per doubling
// (within 1.6 %).
class Durations {
  public:
    void add(int64_t ms) {
        if (counts_.empty()) counts_.resize(kBuckets);
        ++counts_[bucket(std::max<int64_t>(ms, 0))];
        ++count_;
        longest_ = std::max(longest_, ms);
    }
    uint64_t count() const { return count_; }
    int64_t longest() const { return longest_; }
    // The nearest-rank quantile, as its bucket's middle.
    int64_t quantile(double q) const {
        const auto rank = static_cast<uint64_t>(q * static_cast<double>(count_) + 0.999999);
        uint64_t seen = 0;
        for (size_t i = 0; i < counts_.size(); ++i)
            if ((seen += counts_[i]) >= std::max<uint64_t>(rank, 1))
                return std::min(middle(i), longest_);
        return longest_;
    }

  private:
    static constexpr size_t kExact = 1024;
    static constexpr size_t kBuckets = kExact + 54 * 64;
    static size_t bucket(int64_t ms) {
        const auto v = static_cast<uint64_t>(ms);
        if (v < kExact) return v;
        const int e = std::bit_width(v) - 1;
        return kExact + static_cast<size_t>(e - 10) * 64 + ((v >> (e - 6)) & 63);
    }
    static int64_t middle(size_t i) {
        if (i < kExact) return static_cast<int64_t>(i);
        const int e = static_cast<int>((i - kExact) / 64) + 10;
        const uint64_t low = (64 + (i - kExact) % 64) << (e - 6);
        return static_cast<int64_t>(low + (uint64_t{1} << (e - 6)) / 2);
    }
    std::vector<uint32_t> counts_;
    uint64_t count_ = 0;
    int64_t longest_ = 0;
};

// The operations' rows, Timer1's resets after them.
constexpr size_t kRows = kOpCount + 1;
constexpr size_t kTimer1Row = kOpCount;
// Error descriptions counted one by one, at the most; the rest together.
constexpr size_t kDescriptionLimit = 1000;

struct Row {
    uint64_t calls = 0;
    std::map<int32_t, uint64_t> results;
    uint64_t unknown = 0;
    uint64_t incomplete = 0;
    Durations durations;
};

struct Tally {
    std::array<Row, kRows> rows;
    std::map<std::string, uint64_t> errors;
    uint64_t other_errors = 0;
    std::map<std::string_view, uint64_t> faults;
    uint64_t timeout_events = 0;
    uint64_t outside_events = 0;

    void count_event(uint8_t event) {
        if (device_fault(event)) ++faults[event_name(event)];
        if (event_name(event) == ev::name::kTimeout) ++timeout_events;
    }

    void add(const Record& r) {
        if (r.is_event) {
            ++outside_events;
            return count_event(r.event);
        }
        for (const EventMark& e : r.events) count_event(e.event);
        Row& row = rows[r.by_timer1 ? kTimer1Row : static_cast<size_t>(r.op)];
        ++row.calls;
        if (r.result) ++row.results[*r.result];
        if (!r.result && !r.incomplete) ++row.unknown;
        if (r.incomplete) ++row.incomplete;
        if (r.ms && !r.incomplete) row.durations.add(*r.ms);
        if (!r.error) return;
        const std::string key = std::string(op_name(r.op)) + ": " + *r.error;
        if (errors.size() < kDescriptionLimit || errors.contains(key))
            ++errors[key];
        else
            ++other_errors;
    }
};

std::string row_name(size_t row) {
    return row == kTimer1Row ? "CardReaderReset (Timer1)" : std::string(kOpNames[row]);
}

std::string results_text(const Row& row) {
    std::string text;
    auto part = [&](const std::string& what, uint64_t n) {
        if (n == 0) return;
        if (!text.empty()) text += "  ";
        text += what + ": " + std::to_string(n);
    };
    for (const auto& [result, n] : row.results) part(std::to_string(result), n);
    part("unknown", row.unknown);
    part("incomplete", row.incomplete);
    return text;
}

void write_rows(std::ostream& out, const Tally& t) {
    char line[160];
    std::snprintf(line, sizeof line, "  %-26s %8s  %-40s %10s %10s %10s\n", "operation", "calls",
                  "results", "median", "95th", "max");
    out << line;
    for (size_t i = 0; i < kRows; ++i) {
        const Row& row = t.rows[i];
        if (row.calls == 0) continue;
        const Durations& d = row.durations;
        auto time = [&](int64_t ms) { return d.count() ? seconds_text(ms) : std::string("-"); };
        std::snprintf(line, sizeof line, "  %-26s %8llu  %-40s %10s %10s %10s\n",
                      row_name(i).c_str(), static_cast<unsigned long long>(row.calls),
                      results_text(row).c_str(), time(d.quantile(0.5)).c_str(),
                      time(d.quantile(0.95)).c_str(), time(d.longest()).c_str());
        out << line;
    }
}

void write_counts(std::ostream& out, const Tally& t) {
    uint64_t timeouts = 0, errors = t.other_errors;
    std::string by_op;
    for (size_t i = 0; i < kRows; ++i) {
        const auto found = t.rows[i].results.find(kTimedOut);
        if (found == t.rows[i].results.end()) continue;
        timeouts += found->second;
        by_op += (by_op.empty() ? " (" : ", ") + row_name(i) + " " + std::to_string(found->second);
    }
    for (const auto& [what, n] : t.errors) errors += n;
    out << "  time-outs: " << timeouts << (by_op.empty() ? "" : by_op + ")")
        << "; Timeout events: " << t.timeout_events << '\n';
    out << "  errors: " << errors << '\n';
    for (const auto& [what, n] : t.errors) out << "    " << n << "  " << what << '\n';
    if (t.other_errors) out << "    " << t.other_errors << "  (other descriptions)\n";
    out << "  Timer1 resets: " << t.rows[kTimer1Row].calls << '\n';
    out << "  device faults:";
    if (t.faults.empty()) out << " none";
    for (const auto& [name, n] : t.faults) out << ' ' << name << ' ' << n;
    out << "\n  events outside calls: " << t.outside_events << '\n';
}

class SummaryOutput final : public LogOutput {
  public:
    SummaryOutput(std::ostream& out, const std::vector<std::string>& files)
        : out_(out), files_(files), per_file_(files.size()) {}

    void record(const Record& r) override {
        per_file_.at(r.file).add(r);
        total_.add(r);
    }

    void finish(uint64_t unrecognised) override {
        for (size_t i = 0; i < files_.size(); ++i) {
            out_ << files_[i] << '\n';
            write_rows(out_, per_file_[i]);
            write_counts(out_, per_file_[i]);
            out_ << '\n';
        }
        out_ << "total (" << files_.size() << (files_.size() == 1 ? " file)\n" : " files)\n");
        write_rows(out_, total_);
        write_counts(out_, total_);
        out_ << "  lines not the component's: " << unrecognised << '\n';
    }

  private:
    std::ostream& out_;
    const std::vector<std::string>& files_;
    std::vector<Tally> per_file_;
    Tally total_;
};

}  // namespace

std::unique_ptr<LogOutput> summary_output(std::ostream& out,
                                          const std::vector<std::string>& files) {
    return std::make_unique<SummaryOutput>(out, files);
}

}  // namespace czqic::diag
