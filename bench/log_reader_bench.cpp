// `czqic log --summary` without the file: the lines of a day of transactions, as the
// writers store them, read back into calls and counted. bench/log_summary.sh compares the
// whole command with grep over a 130 MB log.
#include <benchmark/benchmark.h>

#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "diag/call_builder.h"
#include "diag/outputs.h"
#include "log/log_line.h"

namespace czqic::bench {
namespace {

// One session's messages as the component writes them, each with its delay after the
// one before: initialise, read, write a track, the chip, return the card.
struct Timed {
    int after_ms;
    const char* message;
};
constexpr Timed kSession[] = {
    {0, "CardReaderInit:10120100"},
    {300, "Event ConnectionOpened403"},
    {300, "CardReaderInit end:403"},
    {0, "CardReaderReset:10120100"},
    {0, "Event WaitCancelled10120100"},
    {600, "Event ResetComplete404"},
    {300, "CardReaderReset end:404"},
    {0, "CardReaderEnable end:0"},
    {0, "CardReaderRead start:0 1"},
    {1500, "Event CardAccepted405"},
    {300, "CardReaderRead Start end :405"},
    {0, "CardReaderWrite2:10120100"},
    {600, "Event CardWritten409"},
    {0, "CardReaderWrite2 end:409"},
    {0, "QOR_WaitChip:10120100"},
    {300, "Event ChipDataReceived461"},
    {0, "mstrChipCardData:3B6800008066435A51499000"},
    {0, "QOR_WaitChip end:461"},
    {0, "Qor_ChipTrnsp:10120100"},
    {300, "Event ChipDataReceived461"},
    {0, "mstrChipCardData:F74AFFD81EE5D6659000"},
    {0, "Qor_ChipTrnsp end:461"},
    {0, "CardReaderReturn:10120100"},
    {300, "Event CardEjected10120100"},
    {2100, "Event CardTaken411"},
    {0, "CardReaderReturn end:411"},
    {0, "CardReaderDisable:411"},
};

std::vector<std::string> day_of_sessions(int sessions) {
    std::vector<std::string> lines;
    int64_t ms = 8 * 3600 * 1000;
    for (int s = 0; s < sessions; ++s) {
        for (const Timed& t : kSession) {
            ms += t.after_ms;
            const LogTime time = log_time(2026, 2, 1, ms);
            lines.push_back(log_line(time, "Qor", t.message, "\n"));
        }
        ms += 20000;
    }
    return lines;
}

void BM_LogSummary(benchmark::State& state) {
    const std::vector<std::string> lines = day_of_sessions(1000);
    int64_t bytes = 0;
    for (const std::string& l : lines) bytes += static_cast<int64_t>(l.size());
    const std::vector<std::string> files = {"Qor.log"};
    for (auto _ : state) {
        std::ostringstream out;
        const auto summary = diag::summary_output(out, files);
        diag::CallBuilder builder(*summary);
        uint64_t number = 0;
        for (const std::string& l : lines) builder.line(l, 0, ++number);
        builder.finish();
        summary->finish(builder.unrecognised());
        benchmark::DoNotOptimize(out.str());
    }
    state.SetBytesProcessed(state.iterations() * bytes);
    state.counters["lines"] = static_cast<double>(lines.size());
}
BENCHMARK(BM_LogSummary)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace czqic::bench
