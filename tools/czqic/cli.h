// The czqic command line as a function, so that tests drive it as the executable does.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace czqic::cli {

// Runs one command line (the arguments after the program name); returns the exit status.
int run_czqic(std::vector<std::string> args, std::ostream& out, std::ostream& err);

}  // namespace czqic::cli
