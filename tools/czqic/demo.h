// `czqic demo` on Linux: one complete card transaction against the built-in simulated
// reader, or the chip part of one on a PC/SC reader.
#pragma once

#include <optional>
#include <ostream>
#include <string>

#include "tools/assembly/in_process.h"

namespace czqic::cli {

struct LinuxDemo {
    ReaderSpec reader;
    sim::Scenario scenario = sim::builtin_scenario();
    std::string scenario_name = "built-in";  // how the heading names the simulated reader
    std::optional<double> virtual_start;     // the real clock when not set
};

// Returns 0 when every step of the transaction succeeded, 1 otherwise.
int run_linux_demo(LinuxDemo demo, std::ostream& out, std::ostream& err);

// How the command line names the reader in use: "Simulated reader: built-in",
// "PC/SC reader: first one", "PC/SC reader: named like \"Virtual\"".
std::string reader_title(const ReaderSpec& reader, const std::string& scenario_name);

}  // namespace czqic::cli
