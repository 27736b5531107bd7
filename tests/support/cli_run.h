// czqic's command line run in-process, with what it printed kept for the checks.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "tools/czqic/cli.h"

namespace czqic::testing {

// A text's lines without their ends.
inline std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

struct Outcome {
    int status;
    std::string out;
    std::string err;
    std::vector<std::string> lines() const { return lines_of(out); }
};

inline Outcome czqic(std::vector<std::string> args) {
    std::ostringstream out, err;
    const int status = cli::run_czqic(std::move(args), out, err);
    return {status, out.str(), err.str()};
}

}  // namespace czqic::testing
