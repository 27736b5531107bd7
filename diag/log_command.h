// `czqic log`: reads logs back into the calls the client made and writes them as a table,
// JSON Lines, a summary or a page with a timeline.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace czqic::diag {

struct LogOptions {
    enum class Output { Table, Json, Summary, Html };
    Output output = Output::Table;
    std::string html_file;           // with Output::Html
    bool show_card_data = false;     // chip data as the log holds it, else masked
    std::vector<std::string> files;  // none, or "-": standard input
};

// Reads the files (in reading_order) and writes the output. Returns the exit status: 0,
// or 1 when a file could not be read or the page not written (said on err).
int run_log(const LogOptions& options, std::ostream& out, std::ostream& err);

}  // namespace czqic::diag
