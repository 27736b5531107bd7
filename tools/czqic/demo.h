// `czqic demo`: one complete card transaction against the built-in simulated reader.
#pragma once

#include <ostream>

namespace czqic::cli {

// Returns 0 when every step of the transaction succeeded, 1 otherwise.
int run_demo(std::ostream& out, std::ostream& err);

}  // namespace czqic::cli
