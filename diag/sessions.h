// Where the sessions of a log begin, for a file that holds several runs of an
// application one after another.
//
// A session begins at each CardReaderInit the client called, as the table and the
// timeline count them: every run of an application opens the device with it first. The
// events handled inside the Init's own control calls are logged just before its line, at
// its instant, and begin the session with it. Lines before the first Init (a log that
// begins inside a run) are a session of their own, begun before the log.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

namespace czqic::diag {

struct SessionSpan {
    uint64_t first_line;  // from 1
    uint64_t end_line;    // the next session's first line; 0: to the end of the file
    bool by_init;         // false for lines before the log's first CardReaderInit
};

// Lines this close together were written at one instant of the component's: on the real
// clock only the work between them separates them.
inline constexpr int64_t kSameInstantMs = 50;

// The sessions of the log read from in, in order; empty when it holds no call or event.
// False in ok when reading failed.
std::vector<SessionSpan> find_sessions(std::FILE* in, bool& ok);

}  // namespace czqic::diag
