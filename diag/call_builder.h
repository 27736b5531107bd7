// Rebuilds the calls from the log's lines, one line at a time, in constant memory.
//
// What the log shows and how it is read:
// - A call is its start line to its end line (or its error line). Calls nest: Timer1's
//   reset and any call made while another waits run inside that wait, so the open calls
//   form a stack and an event belongs to the innermost one.
// - CardReaderInit's end line is followed by the lines of the reset it runs itself,
//   which belong to the Init; Timer1's "CardReaderReset" is followed by its reset's.
// - CardReaderWrite is one call over the tracks it writes: a track's start line after an
//   earlier track's end line continues it.
// - CardReaderDisable writes one line when there is nothing to cancel, else a second
//   one within about a second: the events after its first line wait until that is known.
// - An event handled inside the control call that starts Init, Reset or Retain, or inside
//   Enable's, is logged before the call's own line, which then shows its value: such
//   events are taken into the call.
// - An error line may follow a call's end line (CardReaderRead reading the tracks,
//   CardReaderReturn's cancel): it belongs to that call.
// - A call still open when the log ends, or when a new session begins (CardReaderInit)
//   or when a call starts long after the open one's wait must have ended (the process
//   was stopped), is incomplete.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "diag/log_message.h"
#include "diag/records.h"

namespace czqic::diag {

class CallBuilder {
  public:
    explicit CallBuilder(RecordSink& sink) : sink_(sink) {}

    // One line of the log, its end of line included or not; file and line say where.
    void line(std::string_view text, uint32_t file, uint64_t line_number);
    // The log has ended: what is still open is given out, incomplete where it is.
    void finish();
    // Lines that are no line of the component's (another tag, another shape).
    uint64_t unrecognised() const { return unrecognised_; }

  private:
    struct Where {
        uint32_t file;
        uint64_t line;
    };
    struct Line {
        LogTime time;
        int64_t ms;
        Message m;
        Where at;
    };
    enum class Phase : uint8_t { Waiting, AwaitReset, BetweenTracks, MaybeOneLine };
    struct Open {
        uint64_t seq;
        Phase phase = Phase::Waiting;
        int track = 0;           // CardReaderWrite's current track
        bool in_reset = false;   // CardReaderInit in the reset it runs
        int64_t wait_since = 0;  // when its current wait began
        int64_t nested = 0;      // time spent in calls nested in that wait
        int64_t last_end = 0;    // CardReaderWrite's last track's end
    };
    struct Slot {
        Record record;
        bool done = false;
    };
    struct Kept {
        std::string text;
        Where at;
    };
    enum class Defer : uint8_t { None, OutsideEvents, Disable };

    void take(const Line& l);
    bool defers(const Line& l);
    void resolve(const Line& l);
    static size_t claimed_from(const Line& l, const std::vector<Kept>& kept);
    void replay(std::vector<Kept> lines);

    void on_event(const Line& l);
    void on_chip(const Line& l, std::optional<uint64_t> target);
    void on_tick(const Line& l);
    void on_start(const Line& l);
    bool continues(const Line& l);
    void on_end(const Line& l);
    void on_error(const Line& l, std::optional<uint64_t> amend);

    Record& open_call(const Line& l, Op op, Phase phase);
    void make_room(int64_t now);
    bool overdue(const Open& o, int64_t now) const;
    std::optional<size_t> find_open(Op op, bool error) const;
    void close(int32_t status, int64_t end);
    void close_with_error(const Line& l);
    void close_tentative();
    void abandon();
    void abandon_all();
    void cap_queue();
    void flush();

    int64_t stamp_ms(const LogTime& time);

    Record& record(uint64_t seq) { return queue_[seq - first_seq_].record; }
    Record& top_record() { return record(stack_.back().seq); }

    RecordSink& sink_;
    std::deque<Slot> queue_;
    uint64_t first_seq_ = 0;
    std::vector<Open> stack_;
    std::optional<uint64_t> amend_;        // closed by the line before: its error may follow
    std::optional<uint64_t> chip_target_;  // the chip data line that follows goes there
    Defer defer_ = Defer::None;
    std::vector<Kept> deferred_;
    std::vector<Kept> claimed_;
    bool replaying_ = false;
    LogTime day_{};  // lines come in runs of one date: its start is worked out once a run
    int64_t day_start_ = 0;
    uint64_t unrecognised_ = 0;
};

}  // namespace czqic::diag
