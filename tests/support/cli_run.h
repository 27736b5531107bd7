// czqic's command line run in-process, with what it printed kept for the checks.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/scratch.h"
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

// A case of czqic's command line with a drive root of its own, so that log files never
// leak between cases, and without the caller's scenario or card-data settings.
class CliTest : public ::testing::Test {
  protected:
    // The scenario written to a file of the drive's, for --scenario.
    std::string scenario_file(const std::string& json) {
        const std::filesystem::path file =
            drive.path() / ("scenario" + std::to_string(++scenarios_) + ".json");
        std::ofstream(file) << json;
        return file.string();
    }
    std::filesystem::path log_folder() const { return drive.path() / "C" / "QUIRN" / "pq" / "log"; }
    std::filesystem::path log_file() const { return log_folder() / "Qor.log"; }

    TempDir drive;
    EnvGuard root{"CZQIC_DRIVE_ROOT", drive.str()};
    EnvGuard card_data{"CZQIC_LOG_CARD_DATA", nullptr};
    EnvGuard no_env_scenario{"CZQIC_SIM_SCENARIO", nullptr};

  private:
    int scenarios_ = 0;
};

}  // namespace czqic::testing
