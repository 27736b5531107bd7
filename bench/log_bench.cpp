// One log line through the file writer the Linux build uses, into a throwaway drive
// root: the cost every progress and event line of an operation pays on this platform.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "log/file_log_writer.h"

namespace czqic::bench {
namespace {

// Points the drive root at a fresh temporary folder for as long as it lives, then puts
// the variable back and removes the folder with everything written into it.
class TemporaryDriveRoot {
  public:
    TemporaryDriveRoot() {
        if (const char* old = std::getenv("CZQIC_DRIVE_ROOT")) previous_ = old;
        std::string pattern = (std::filesystem::temp_directory_path() / "czqic-bench-XXXXXX");
        if (::mkdtemp(pattern.data()) == nullptr) return;
        path_ = pattern;
        ::setenv("CZQIC_DRIVE_ROOT", path_.c_str(), 1);
    }
    ~TemporaryDriveRoot() {
        if (previous_)
            ::setenv("CZQIC_DRIVE_ROOT", previous_->c_str(), 1);
        else
            ::unsetenv("CZQIC_DRIVE_ROOT");
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TemporaryDriveRoot(const TemporaryDriveRoot&) = delete;  // owns the folder
    TemporaryDriveRoot& operator=(const TemporaryDriveRoot&) = delete;

    bool ok() const { return !path_.empty(); }

  private:
    std::optional<std::string> previous_;
    std::string path_;
};

void BM_LogLine(benchmark::State& state) {
    TemporaryDriveRoot root;
    if (!root.ok()) {
        state.SkipWithError("cannot make a temporary drive root");
        return;
    }
    FileLogWriter writer;
    const std::string path = kLogPath;
    const std::string tag = kLogTag;
    const std::string message = "Event ChipDataReceived461";
    try {
        for (auto _ : state) benchmark::DoNotOptimize(writer.WriteLog(path, message, tag));
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
}
BENCHMARK(BM_LogLine);

}  // namespace
}  // namespace czqic::bench
