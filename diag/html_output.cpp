// One self-contained page: for each session a timeline in SVG, a row per operation, a
// bar per call coloured by how it went, a tick per event, each bar titled with the call,
// its result and its duration. Idle stretches between calls are drawn short, so a
// session that lasts a day stays readable; each timeline's width is written back once
// its session has ended, so the page is written as the records come.
#include <algorithm>
#include <array>
#include <cstdio>
#include <iomanip>
#include <ostream>

#include "diag/outputs.h"

namespace czqic::diag {
namespace {

constexpr int kLabelWidth = 200;
constexpr int kRowHeight = 22;
constexpr int kAxisHeight = 26;
constexpr double kPxPerMs = 0.08;  // 80 px a second
constexpr int kMinBar = 4;
constexpr int64_t kIdleMs = 2000;  // longer idle stretches are drawn kIdleGap wide
constexpr int kIdleGap = 36;
constexpr int kWidthDigits = 10;
// The rows, top down in the order of a transaction: the operations, Timer1's resets
// under the client's, the events outside calls last.
constexpr int kRows = static_cast<int>(kOpCount) + 2;
constexpr int kTimer1Row = 2;
constexpr int kEventRow = kRows - 1;
constexpr std::array<Op, kOpCount> kRowOrder = {Op::Init,   Op::Reset,    Op::Enable,    Op::Read,
                                                Op::Write,  Op::WaitChip, Op::ChipTrnsp, Op::Return,
                                                Op::Retain, Op::Disable,  Op::GetStatus, Op::Clear};

int row_of(const Record& r) {
    if (r.is_event) return kEventRow;
    if (r.by_timer1) return kTimer1Row;
    const int at = static_cast<int>(std::ranges::find(kRowOrder, r.op) - kRowOrder.begin());
    return at < kTimer1Row ? at : at + 1;
}
// A time on the axis at most this often.
constexpr double kAxisSpacing = 160;

std::string escaped(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

const char* colour(Outcome how) {
    switch (how) {
        case Outcome::Success:
            return "#2e9d4f";
        case Outcome::TimedOut:
            return "#e8a317";
        case Outcome::Failed:
            return "#d64541";
        case Outcome::Captured:
            return "#8e44ad";
        case Outcome::Unknown:
            return "#4a7fb5";
        case Outcome::Incomplete:
            return "#9a9a9a";
        case Outcome::Event:
            return "#34495e";
        case Outcome::Fault:
            return "#d64541";
    }
    return "#000";
}

constexpr char kHead[] = R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Card reader log</title>
<style>
body { font: 14px/1.4 sans-serif; margin: 16px; color: #222; background: #fff; }
h1 { font-size: 20px; } h2 { font-size: 16px; margin: 18px 0 6px; }
.scroll { overflow-x: auto; border: 1px solid #ccc; }
svg text { font: 12px sans-serif; fill: #222; }
.legend span { display: inline-block; margin-right: 14px; }
.legend i { display: inline-block; width: 14px; height: 10px; margin-right: 4px; }
</style></head><body>
<h1>Card reader log</h1>
)";

class HtmlOutput final : public LogOutput {
  public:
    HtmlOutput(std::ostream& page, const std::vector<std::string>& files, bool show_card_data)
        : page_(page), files_(files), show_card_data_(show_card_data) {
        page_ << std::fixed << std::setprecision(1);
        page_ << kHead << "<p>Read from:";
        for (const std::string& f : files_) page_ << ' ' << escaped(f);
        page_ << "</p>\n<p class=\"legend\">";
        const std::pair<Outcome, const char*> legend[] = {
            {Outcome::Success, "success"},
            {Outcome::TimedOut, "time-out"},
            {Outcome::Failed, "failure"},
            {Outcome::Captured, "card captured"},
            {Outcome::Unknown, "result not in the log"},
            {Outcome::Incomplete, "incomplete"}};
        for (const auto& [how, what] : legend)
            page_ << "<span><i style=\"background:" << colour(how) << "\"></i>" << what
                  << "</span>";
        page_ << "</p>\n";
    }

    void record(const Record& r) override {
        const bool session = !r.is_event && r.op == Op::Init && !r.by_timer1;
        if (session || !open_) begin_session(r);
        const int64_t end = r.start_ms + std::max<int64_t>(r.ms.value_or(0), 0);
        place(r, end);
        if (r.is_event)
            draw_event(r);
        else
            draw_call(r);
    }

    void finish(uint64_t unrecognised) override {
        end_session();
        if (sessions_ == 0) page_ << "<p>No calls in the log.</p>\n";
        if (unrecognised)
            page_ << "<p>" << unrecognised << " lines were not the component's.</p>\n";
        page_ << "</body></html>\n";
        page_.flush();
    }

  private:
    void begin_session(const Record& r) {
        end_session();
        ++sessions_;
        page_ << "<h2>Session " << sessions_ << " &middot; " << clock_text(r.start, true)
              << " &middot; " << escaped(files_.at(r.file)) << ':' << r.line
              << "</h2>\n<div class=\"scroll\">";
        const int height = kAxisHeight + kRows * kRowHeight;
        page_ << "<svg xmlns=\"http://www.w3.org/2000/svg\" height=\"" << height << "\" width=\"";
        width_at_ = page_.tellp();
        page_ << std::string(kWidthDigits, ' ') << "\" viewBox=\"0 0 ";
        view_at_ = page_.tellp();
        page_ << std::string(kWidthDigits, ' ') << ' ' << height << "\">\n";
        for (int row = 0; row < kRows; ++row) {
            const int y = kAxisHeight + row * kRowHeight;
            if (row % 2 == 0)
                page_ << "<rect x=\"0\" y=\"" << y << "\" width=\"100%\" height=\"" << kRowHeight
                      << "\" fill=\"#f4f6f8\"/>";
            page_ << "<text x=\"6\" y=\"" << y + 15 << "\">" << row_label(row) << "</text>\n";
        }
        open_ = true;
        started_ = false;
        right_ = kLabelWidth;
        last_label_ = -kAxisSpacing;
    }

    static std::string row_label(int row) {
        if (row == kTimer1Row) return "CardReaderReset (Timer1)";
        if (row == kEventRow) return "events outside calls";
        return std::string(
            op_name(kRowOrder[static_cast<size_t>(row < kTimer1Row ? row : row - 1)]));
    }

    void end_session() {
        if (!open_) return;
        page_ << "</svg></div>\n";
        const auto here = page_.tellp();
        const std::string width = std::to_string(static_cast<long long>(right_) + 20);
        for (const auto at : {width_at_, view_at_}) {
            page_.seekp(at);
            page_ << width;
        }
        page_.seekp(here);
        open_ = false;
    }

    // Sets the scale's anchor for a record from start to end: an idle stretch before it
    // is drawn short, with its length on the axis.
    void place(const Record& r, int64_t end) {
        const int64_t start = r.start_ms;
        if (!started_) {
            anchor_ms_ = start;
            anchor_x_ = kLabelWidth + 10.0;
            covered_ = start;
            started_ = true;
        } else if (start > covered_ + kIdleMs) {
            const double gap_x = x(covered_) + 6;
            anchor_x_ = x(covered_) + kIdleGap;
            anchor_ms_ = start;
            page_ << "<line x1=\"" << gap_x << "\" y1=\"" << kAxisHeight << "\" x2=\"" << gap_x
                  << "\" y2=\"" << kAxisHeight + kRows * kRowHeight
                  << "\" stroke=\"#bbb\" stroke-dasharray=\"3 3\"/>";
            axis_label(gap_x, "+" + seconds_text(start - covered_));
        }
        if (x(start) >= last_label_ + kAxisSpacing) {
            last_label_ = x(start);
            axis_label(last_label_, clock_text(r.start));
        }
        covered_ = std::max(covered_, end);
    }

    void axis_label(double at, const std::string& text) {
        page_ << "<text x=\"" << at << "\" y=\"16\">" << escaped(text) << "</text>"
              << "<line x1=\"" << at << "\" y1=\"20\" x2=\"" << at << "\" y2=\"" << kAxisHeight
              << "\" stroke=\"#888\"/>\n";
        right_ = std::max(right_, at + 90);
    }

    double x(int64_t ms) const {
        return anchor_x_ + static_cast<double>(ms - anchor_ms_) * kPxPerMs;
    }

    void draw_call(const Record& r) {
        const int row = row_of(r);
        const double left = x(r.start_ms);
        const double width =
            std::max<double>(kMinBar, static_cast<double>(r.ms.value_or(0)) * kPxPerMs);
        const int y = kAxisHeight + row * kRowHeight + 3;
        std::string title = call_name(r) + " at " + clock_text(r.start) + ": " + outcome_text(r);
        if (r.ms) title += ", " + seconds_text(*r.ms);
        if (r.error) title += "; error: " + *r.error;
        if (r.chip) title += "; chip: " + shown_chip(*r.chip, show_card_data_);
        page_ << "<rect x=\"" << left << "\" y=\"" << y << "\" width=\"" << width << "\" height=\""
              << kRowHeight - 6 << "\" rx=\"2\" fill=\"" << colour(outcome_of(r)) << '"'
              << (r.incomplete ? " fill-opacity=\"0.5\" stroke=\"#555\" stroke-dasharray=\"2 2\""
                               : "")
              << "><title>" << escaped(title) << "</title></rect>\n";
        for (const EventMark& e : r.events) tick(left + static_cast<double>(e.ms) * kPxPerMs, y, e);
        // The result inside the bar where it fits.
        if (r.result && width >= 70)
            page_ << "<text x=\"" << left + 4 << "\" y=\"" << y + 12
                  << "\" style=\"fill:#fff;font-size:11px\" pointer-events=\"none\">" << *r.result
                  << "</text>\n";
        right_ = std::max(right_, left + width);
    }

    void tick(double at, int y, const EventMark& e) {
        page_ << "<line x1=\"" << at << "\" y1=\"" << y - 2 << "\" x2=\"" << at << "\" y2=\""
              << y + kRowHeight - 4 << "\" stroke=\"#111\" stroke-width=\"2\"><title>"
              << event_name(e.event) << ' ' << e.status << " at +" << seconds_text(e.ms)
              << "</title></line>\n";
    }

    void draw_event(const Record& r) {
        const double at = x(r.start_ms);
        const int y = kAxisHeight + kEventRow * kRowHeight + 3;
        std::string title =
            call_name(r) + " " + std::to_string(*r.status) + " at " + clock_text(r.start);
        if (r.chip) title += "; chip: " + shown_chip(*r.chip, show_card_data_);
        page_ << "<rect x=\"" << at - 1 << "\" y=\"" << y << "\" width=\"3\" height=\""
              << kRowHeight - 6 << "\" fill=\"" << colour(outcome_of(r)) << "\"><title>"
              << escaped(title) << "</title></rect>\n";
        right_ = std::max(right_, at + 3);
    }

    std::ostream& page_;
    const std::vector<std::string>& files_;
    bool show_card_data_;
    int sessions_ = 0;
    bool open_ = false;
    bool started_ = false;
    std::streampos width_at_{}, view_at_{};
    int64_t anchor_ms_ = 0, covered_ = 0;
    double anchor_x_ = 0, right_ = 0, last_label_ = 0;
};

}  // namespace

std::unique_ptr<LogOutput> html_output(std::ostream& page, const std::vector<std::string>& files,
                                       bool show_card_data) {
    return std::make_unique<HtmlOutput>(page, files, show_card_data);
}

}  // namespace czqic::diag
