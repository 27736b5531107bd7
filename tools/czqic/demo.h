// `czqic demo` on Linux: one complete card transaction against the built-in simulated
// reader, or the chip part of one on a PC/SC reader.
#pragma once

#include <ostream>
#include <string>

#include "tools/assembly/in_process.h"

namespace czqic::cli {

// Returns 0 when every step of the transaction succeeded, 1 otherwise.
int run_linux_demo(const ReaderSpec& reader, std::ostream& out, std::ostream& err);

// How the command line names the reader in use: "Simulated reader: built-in",
// "PC/SC reader: first one", "PC/SC reader: named like \"Virtual\"".
std::string reader_title(const ReaderSpec& reader, const std::string& scenario_name);

}  // namespace czqic::cli
