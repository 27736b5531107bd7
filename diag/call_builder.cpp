#include "diag/call_builder.h"

#include <algorithm>
#include <utility>

#include "component/reader.h"
#include "component/runtime.h"
#include "device/control_contract.h"
#include "diag/result_mapping.h"
#include "log/log_writer.h"

namespace czqic::diag {
namespace {

using Kind = Message::Kind;

// Lines kept back while it is not yet known where their events belong, at the most.
constexpr size_t kDeferLimit = 64;
// CardReaderDisable's second line comes within its one-second wait (a pass past half a
// second, then the last 300 ms pass); later events are no longer its own.
constexpr int64_t kDisableWaitMs = 1500;
// A record holds at most this many events, and at most this many records wait behind
// the oldest open call: a log that never closes a call still reads in constant memory.
constexpr size_t kEventLimit = 4096;
constexpr size_t kQueueLimit = 4096;
// A wait lasts its limit plus one last pass, rounding and the lines around it.
constexpr int64_t kWaitSlackMs = 2000;

int64_t wait_limit_ms(Op op) {
    switch (op) {
        case Op::Read:
            return 10'000;
        case Op::Disable:
            return 1'000;
        case Op::Return:
            return 600'000;  // TimeOutCard, which the log does not show
        default:
            return 60'000;
    }
}

bool stores_status(uint8_t event) {
    return event < ev::kHandled.size() && ev::kHandled[event].word == ev::Word::Status;
}

// The value a start line of Init, Reset or Retain (logged after its control calls) or
// Enable's one line shows when an event was handled inside those calls.
std::optional<int32_t> claiming_status(const Message& m) {
    if (!m.status) return std::nullopt;
    const bool after_calls =
        m.kind == Kind::Start && (m.op == Op::Init || m.op == Op::Reset || m.op == Op::Retain);
    const bool enable = m.kind == Kind::End && m.op == Op::Enable;
    if ((after_calls && *m.status != kPending) || enable) return m.status;
    return std::nullopt;
}

}  // namespace

void CallBuilder::line(std::string_view text, uint32_t file, uint64_t line_number) {
    LogLineParts parts;
    if (!parse_log_line(text, parts) || parts.tag != kLogTag) {
        ++unrecognised_;
        return;
    }
    Line l;
    l.time = parts.time;
    l.ms = stamp_ms(parts.time);
    l.at = {file, line_number};
    read_message(parts.message, l.m);
    if (l.m.kind == Kind::Unknown) {
        ++unrecognised_;
        return;
    }
    if (!replaying_ && defers(l)) {
        deferred_.push_back({std::string(text), l.at});
        return;
    }
    if (!replaying_ && defer_ != Defer::None) resolve(l);
    take(l);
    if (!claimed_.empty()) replay(std::exchange(claimed_, {}));
    cap_queue();
    flush();
}

int64_t CallBuilder::stamp_ms(const LogTime& time) {
    if (time.day != day_.day || time.month != day_.month || time.year != day_.year) {
        day_ = time;
        day_start_ = day_start_ms(time);
    }
    return day_start_ + time_of_day_ms(time);
}

void CallBuilder::take(const Line& l) {
    // Either may only be the very next line's.
    const auto amend = std::exchange(amend_, std::nullopt);
    const auto chip_target = std::exchange(chip_target_, std::nullopt);
    switch (l.m.kind) {
        case Kind::Event:
            return on_event(l);
        case Kind::ChipData:
            return on_chip(l, chip_target);
        case Kind::TimerTick:
            return on_tick(l);
        case Kind::Start:
            return on_start(l);
        case Kind::End:
            return on_end(l);
        case Kind::Error:
            return on_error(l, amend);
        case Kind::Unknown:
            return;
    }
}

bool CallBuilder::defers(const Line& l) {
    const bool event_or_chip = l.m.kind == Kind::Event || l.m.kind == Kind::ChipData;
    if (defer_ == Defer::Disable) {
        const bool in_wait =
            l.m.kind == Kind::ChipData ||
            (l.m.kind == Kind::Event && l.ms - top_record().start_ms <= kDisableWaitMs);
        return in_wait && deferred_.size() < kDeferLimit;
    }
    if (!stack_.empty() || !event_or_chip) return false;
    if (defer_ == Defer::None && l.m.kind == Kind::ChipData) return false;
    defer_ = Defer::OutsideEvents;
    if (deferred_.size() >= kDeferLimit) {
        // Too many to keep: the older half stays outside any call.
        std::vector<Kept> older(deferred_.begin(), deferred_.begin() + kDeferLimit / 2);
        deferred_.erase(deferred_.begin(), deferred_.begin() + kDeferLimit / 2);
        replay(std::move(older));
    }
    return true;
}

void CallBuilder::resolve(const Line& l) {
    const Defer was = std::exchange(defer_, Defer::None);
    std::vector<Kept> kept = std::exchange(deferred_, {});
    if (was == Defer::Disable) {
        const bool second_line =
            (l.m.kind == Kind::End || l.m.kind == Kind::Error) && l.m.op == Op::Disable;
        if (second_line)
            stack_.back().phase = Phase::Waiting;
        else
            close_tentative();
        replay(std::move(kept));
        return;
    }
    const size_t from = claimed_from(l, kept);
    std::vector<Kept> claimed(std::make_move_iterator(kept.begin() + static_cast<ptrdiff_t>(from)),
                              std::make_move_iterator(kept.end()));
    kept.resize(from);
    // The lines before the claimed ones go first: claimed lines waiting while they are
    // replayed would be taken after the first of them, ahead of the rest.
    replay(std::move(kept));
    claimed_ = std::move(claimed);
}

// Where the events handled inside the coming call's control calls begin among the kept
// lines: at the last one that stored the value its line shows.
size_t CallBuilder::claimed_from(const Line& l, const std::vector<Kept>& kept) {
    const auto status = claiming_status(l.m);
    if (!status) return kept.size();
    for (size_t i = kept.size(); i-- > 0;) {
        LogLineParts parts;
        Message m;
        parse_log_line(kept[i].text, parts);
        read_message(parts.message, m);
        if (m.kind == Kind::Event && m.status == status && stores_status(m.event)) return i;
    }
    return kept.size();
}

void CallBuilder::replay(std::vector<Kept> lines) {
    const bool was = std::exchange(replaying_, true);
    for (const Kept& k : lines) line(k.text, k.at.file, k.at.line);
    replaying_ = was;
}

void CallBuilder::on_event(const Line& l) {
    if (!stack_.empty() && stack_.back().phase == Phase::BetweenTracks) close_tentative();
    const bool chip = event_name(l.m.event) == ev::name::kChipDataReceived;
    if (stack_.empty()) {
        Record r;
        r.is_event = true;
        r.event = l.m.event;
        r.start = l.time;
        r.start_ms = l.ms;
        r.status = l.m.status;
        r.file = l.at.file;
        r.line = l.at.line;
        queue_.push_back({std::move(r), true});
        if (chip) chip_target_ = first_seq_ + queue_.size() - 1;
        return;
    }
    Record& r = top_record();
    if (r.events.size() < kEventLimit)
        r.events.push_back({l.m.event, *l.m.status, std::max<int64_t>(0, l.ms - r.start_ms)});
    if (chip) chip_target_ = stack_.back().seq;
}

void CallBuilder::on_chip(const Line& l, std::optional<uint64_t> target) {
    if (!target) {
        ++unrecognised_;
        return;
    }
    record(*target).chip = std::string(l.m.text);
}

void CallBuilder::on_tick(const Line& l) {
    make_room(l.ms);
    open_call(l, Op::Reset, Phase::AwaitReset).by_timer1 = true;
}

void CallBuilder::on_start(const Line& l) {
    if (continues(l)) return;
    if (l.m.op == Op::Init)
        abandon_all();
    else
        make_room(l.ms);
    const bool one_line_disable = l.m.op == Op::Disable && l.m.status == ev::kCardAccepted;
    open_call(l, l.m.op, Phase::Waiting).status = l.m.status;
    if (l.m.op == Op::Write) stack_.back().track = l.m.track;
    if (l.m.op != Op::Disable) return;
    stack_.back().phase = Phase::MaybeOneLine;
    if (one_line_disable)
        close_tentative();
    else
        defer_ = Defer::Disable;
}

// A start line that goes on with the open call: the reset that CardReaderInit or Timer1
// runs, or CardReaderWrite's next track.
bool CallBuilder::continues(const Line& l) {
    if (stack_.empty()) return false;
    Open& o = stack_.back();
    Record& r = top_record();
    const bool reset = l.m.op == Op::Reset && o.phase == Phase::AwaitReset;
    const bool track = l.m.op == Op::Write && r.op == Op::Write &&
                       o.phase == Phase::BetweenTracks && l.m.track > o.track;
    if (!reset && !track) return false;
    o.phase = Phase::Waiting;
    o.in_reset = reset;
    o.track = l.m.track;
    o.wait_since = l.ms;
    o.nested = 0;
    r.status = l.m.status;
    return true;
}

void CallBuilder::on_end(const Line& l) {
    const int32_t status = *l.m.status;
    if (l.m.op == Op::Enable) {
        make_room(l.ms);
        open_call(l, Op::Enable, Phase::Waiting);
        if (!claimed_.empty()) replay(std::exchange(claimed_, {}));
        return close(status, l.ms);
    }
    const auto at = find_open(l.m.op, false);
    if (!at) {
        // The log holds the call's end only (it begins inside the call).
        make_room(l.ms);
        open_call(l, l.m.op, Phase::Waiting).incomplete = true;
        close(status, l.ms);
        record(*amend_).ms.reset();
        return;
    }
    while (stack_.size() > *at + 1) abandon();
    Open& o = stack_.back();
    if (l.m.op == Op::Init && !o.in_reset) {
        o.phase = Phase::AwaitReset;
        top_record().status = status;
    } else if (l.m.op == Op::Write && status == ev::kCardWritten && o.track < 3) {
        o.phase = Phase::BetweenTracks;
        o.last_end = l.ms;
        top_record().status = status;
    } else {
        close(status, l.ms);
    }
}

void CallBuilder::on_error(const Line& l, std::optional<uint64_t> amend) {
    if (const auto at = find_open(l.m.op, true)) {
        while (stack_.size() > *at + 1) abandon();
        return close_with_error(l);
    }
    if (amend && !record(*amend).is_event && record(*amend).op == l.m.op) {
        Record& r = record(*amend);
        r.result = kFailed;
        r.unknown_result = {};
        r.error = std::string(l.m.text);
        if (!r.incomplete) r.ms = l.ms - r.start_ms;  // else its start is not in the log
        return;
    }
    // A call that failed before its first line.
    if (l.m.op == Op::Init)
        abandon_all();
    else
        make_room(l.ms);
    open_call(l, l.m.op, Phase::Waiting);
    close_with_error(l);
}

Record& CallBuilder::open_call(const Line& l, Op op, Phase phase) {
    Record r;
    r.op = op;
    r.start = l.time;
    r.start_ms = l.ms;
    r.file = l.at.file;
    r.line = l.at.line;
    queue_.push_back({std::move(r), false});
    stack_.push_back({.seq = first_seq_ + queue_.size() - 1, .phase = phase, .wait_since = l.ms});
    return queue_.back().record;
}

// Before a new call: what cannot still be open underneath it is settled.
void CallBuilder::make_room(int64_t now) {
    while (!stack_.empty()) {
        const Open& o = stack_.back();
        if (o.phase == Phase::BetweenTracks || o.phase == Phase::MaybeOneLine)
            close_tentative();
        else if (o.phase == Phase::AwaitReset || overdue(o, now))
            abandon();
        else
            return;
    }
}

bool CallBuilder::overdue(const Open& o, int64_t now) const {
    const Op op = queue_[o.seq - first_seq_].record.op;
    return now - o.wait_since - o.nested > wait_limit_ms(op) + kWaitSlackMs;
}

// The open call an end line (or an error line) of op closes, by its place on the stack.
std::optional<size_t> CallBuilder::find_open(Op op, bool error) const {
    for (size_t i = stack_.size(); i-- > 0;) {
        const Open& o = stack_[i];
        const Record& r = queue_[o.seq - first_seq_].record;
        const bool waiting = o.phase == Phase::Waiting || (error && o.phase != Phase::MaybeOneLine);
        if (!waiting) continue;
        if (r.op == op && !(op == Op::Init && o.in_reset)) return i;
        if (op == Op::Reset && r.op == Op::Init && (o.in_reset || o.phase == Phase::AwaitReset))
            return i;
    }
    return std::nullopt;
}

void CallBuilder::close(int32_t status, int64_t end) {
    const Open o = stack_.back();
    Record& r = record(o.seq);
    r.ms = end - r.start_ms;
    r.status = status;
    const MappedResult mapped = result_for(r.op, status);
    r.result = mapped.result;
    r.unknown_result = mapped.unknown;
    queue_[o.seq - first_seq_].done = true;
    stack_.pop_back();
    if (!stack_.empty()) stack_.back().nested += *r.ms;
    amend_ = o.seq;
}

void CallBuilder::close_with_error(const Line& l) {
    const Open o = stack_.back();
    Record& r = record(o.seq);
    r.ms = l.ms - r.start_ms;
    r.result = kFailed;
    r.error = std::string(l.m.text);
    queue_[o.seq - first_seq_].done = true;
    stack_.pop_back();
    if (!stack_.empty()) stack_.back().nested += *r.ms;
}

// A call whose last line may have been its last: CardReaderWrite after a written track,
// CardReaderDisable after its first line.
void CallBuilder::close_tentative() {
    const Open o = stack_.back();
    Record& r = record(o.seq);
    const int64_t end = o.phase == Phase::BetweenTracks ? o.last_end : r.start_ms;
    close(r.status.value_or(0), end);
    amend_.reset();
}

void CallBuilder::abandon() {
    const Open o = stack_.back();
    if (o.phase == Phase::BetweenTracks || o.phase == Phase::MaybeOneLine) return close_tentative();
    Record& r = record(o.seq);
    r.incomplete = true;
    r.ms.reset();
    r.result.reset();
    queue_[o.seq - first_seq_].done = true;
    stack_.pop_back();
}

void CallBuilder::abandon_all() {
    while (!stack_.empty()) abandon();
}

void CallBuilder::cap_queue() {
    // Not while lines are kept back for the open call on top.
    if (queue_.size() <= kQueueLimit || stack_.empty() || defer_ != Defer::None) return;
    // The oldest open call holds everything behind it back: it is given up.
    const Open oldest = stack_.front();
    Record& r = record(oldest.seq);
    r.incomplete = true;
    r.ms.reset();
    r.result.reset();
    queue_[oldest.seq - first_seq_].done = true;
    stack_.erase(stack_.begin());
}

void CallBuilder::flush() {
    while (!queue_.empty() && queue_.front().done && first_seq_ != amend_ &&
           first_seq_ != chip_target_) {
        sink_.record(queue_.front().record);
        queue_.pop_front();
        ++first_seq_;
    }
}

void CallBuilder::finish() {
    if (defer_ != Defer::None) {
        const Defer was = std::exchange(defer_, Defer::None);
        if (was == Defer::Disable) close_tentative();
        replay(std::exchange(deferred_, {}));
    }
    abandon_all();
    amend_.reset();
    chip_target_.reset();
    flush();
}

}  // namespace czqic::diag
