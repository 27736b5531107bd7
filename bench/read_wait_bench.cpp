// A client waiting for a card that never comes must not cost a core: the wait sleeps
// between its passes. Measured on the real clock over the whole ten-second limit, as
// the share of one core the process used while the call was blocked.
#include <benchmark/benchmark.h>
#include <time.h>

#include <memory>
#include <string>

#include "rig.h"

namespace czqic::bench {
namespace {

// Entry is accepted, but no card is ever inserted.
constexpr const char* kNoCardReader = R"({
  "on": {"acceptAndRead": [{"returns": 0}]}
})";

double seconds_of(clockid_t id) {
    timespec ts{};
    ::clock_gettime(id, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void BM_ReadWaitCpu(benchmark::State& state) {
    Rig rig(make_real_clock(), kNoCardReader);
    ReaderRef reader = rig.make_reader();
    if (const int32_t enabled = reader->CardReaderEnable(); enabled != kOk) {
        state.SkipWithError(("CardReaderEnable returned " + std::to_string(enabled)).c_str());
        return;
    }

    double cpu_seconds = 0;
    double wall_seconds = 0;
    for (auto _ : state) {
        const double cpu_start = seconds_of(CLOCK_PROCESS_CPUTIME_ID);
        const double wall_start = seconds_of(CLOCK_MONOTONIC);
        const int32_t result = reader->CardReaderRead();
        wall_seconds += seconds_of(CLOCK_MONOTONIC) - wall_start;
        cpu_seconds += seconds_of(CLOCK_PROCESS_CPUTIME_ID) - cpu_start;
        if (result != kFailed || rig.rt.status_word == 405) {
            state.SkipWithError(
                ("CardReaderRead returned " + std::to_string(result) + " with no card inserted")
                    .c_str());
            return;
        }
    }
    if (!rig.failures.empty()) {
        state.SkipWithError(("reported failure: " + rig.failures_text()).c_str());
        return;
    }
    state.counters["wait_s"] = wall_seconds;
    state.counters["cpu_ms"] = cpu_seconds * 1e3;
    state.counters["cpu_pct_of_core"] = wall_seconds > 0 ? 100.0 * cpu_seconds / wall_seconds : 0;
}
BENCHMARK(BM_ReadWaitCpu)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace czqic::bench
