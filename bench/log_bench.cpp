// One log line through the file writer the Linux build uses, into a throwaway drive
// root: the cost every progress and event line of an operation pays on this platform;
// and the masking of card-holder data that a chip reply's line pays on top.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "log/card_data.h"
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

// A 256-byte READ RECORD reply (track 2 data, account number, name, expiry and a long
// filler object with a two-byte length) as the writers mask it before storing the line.
void BM_MaskRecord256(benchmark::State& state) {
    std::string reply =
        "7081FB57134761739001010010D29122011234567890123F5A0847617390010100105F200F544553542F"
        "43415244484F4C4445525F24032912315F3401019F4A01829F4B81B8";
    for (int i = 0; i < 0xB8; ++i) reply += "A5";
    reply += "9000";
    const std::string message = "mstrChipCardData:" + reply;
    if (reply.size() != 512 || mask_card_data(message) == message) {
        state.SkipWithError("the record is not 256 bytes of maskable data");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(mask_card_data(message));
    state.SetBytesProcessed(state.iterations() * 256);
}
BENCHMARK(BM_MaskRecord256);

}  // namespace
}  // namespace czqic::bench
