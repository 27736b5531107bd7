// What `czqic log` writes from the records: a table, JSON Lines, a summary, a page with
// a timeline. Each takes the records in order and writes as it goes.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "diag/records.h"

namespace czqic::diag {

class LogOutput : public RecordSink {
  public:
    // The log has been read; unrecognised counts the lines that were not the component's.
    virtual void finish(uint64_t unrecognised) = 0;
};

// files are the names the records' file indexes refer to.
std::unique_ptr<LogOutput> table_output(std::ostream& out, const std::vector<std::string>& files,
                                        bool show_card_data);
std::unique_ptr<LogOutput> json_output(std::ostream& out, const std::vector<std::string>& files,
                                       bool show_card_data);
std::unique_ptr<LogOutput> summary_output(std::ostream& out, const std::vector<std::string>& files);
// page must be seekable (a file): each timeline's width is written once it is known.
std::unique_ptr<LogOutput> html_output(std::ostream& page, const std::vector<std::string>& files,
                                       bool show_card_data);

// --- shared by the outputs -----------------------------------------------------------

// "CardReaderReset (Timer1)", "CardReaderRead", "event CardAccepted".
std::string call_name(const Record& r);
// "12:00:01.500"; with the date, "2026-02-01 12:00:01.500".
std::string clock_text(const LogTime& t, bool with_date = false);
// Milliseconds as seconds: "1.500 s".
std::string seconds_text(int64_t ms);
// The result and what it means: "0 success", "10120001 time-out", or why there is none.
std::string outcome_text(const Record& r);
// The chip data as shown: masked unless show_card_data.
std::string shown_chip(const std::string& chip, bool show_card_data);
// How the call went, for marks and colours.
enum class Outcome { Success, TimedOut, Failed, Captured, Unknown, Incomplete, Event, Fault };
Outcome outcome_of(const Record& r);

}  // namespace czqic::diag
