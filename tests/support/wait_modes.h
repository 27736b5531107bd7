// Suites whose cases run once in each wait mode: the same transactions must give the same
// results and log the same lines whether a wait sleeps whole passes or ends them early.
#pragma once

#include <gtest/gtest.h>

#include <ostream>

#include "platform/message_loop.h"
#include "tests/support/scratch.h"

namespace czqic::testing {

// The Runtime reads the mode from the environment when it is made, so every Harness a
// case makes waits in the case's mode.
class WaitModes : public ::testing::TestWithParam<WaitMode> {
  protected:
    bool responsive() const { return GetParam() == WaitMode::Responsive; }

  private:
    EnvGuard mode_{"CZQIC_WAIT", GetParam() == WaitMode::Responsive ? "responsive" : "standard"};
};

}  // namespace czqic::testing

namespace czqic {
// Names the mode in a case's parameter, and so in its CTest name ("Frame.Case/Responsive").
inline void PrintTo(WaitMode mode, std::ostream* out) {
    *out << (mode == WaitMode::Responsive ? "Responsive" : "Standard");
}
}  // namespace czqic

// Declares the suite's fixture and runs each of its TEST_P cases in both modes.
#define CZQIC_IN_EACH_WAIT_MODE(suite)                   \
    class suite : public ::czqic::testing::WaitModes {}; \
    INSTANTIATE_TEST_SUITE_P(                            \
        , suite, ::testing::Values(::czqic::WaitMode::Standard, ::czqic::WaitMode::Responsive))
