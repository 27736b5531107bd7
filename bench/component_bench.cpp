// The component's own overhead for the client's calls: a whole card transaction against
// a reader that answers inside every call, and property reads by dispatch identifier as
// a COM client makes them. Everything runs on the virtual clock, so no figure includes a
// wait pass; a transaction that ever waited would fail its check, not just run slow.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "component/members.h"
#include "rig.h"

namespace czqic::bench {
namespace {

// Every reaction is delivered inside its call, so each waiting step finds its status
// word already changed on the first pass.
constexpr const char* kPromptReader = R"({
  "on": {
    "open": [{"events": [{"event": "ConnectionOpened", "during": true}]}],
    "cancelWait": [{}],
    "reset": [{"events": [{"event": "ResetComplete", "during": true}]}],
    "acceptAndRead": [{"returns": 405, "set": {"media": "PRESENT"}}],
    "writeTrack": [{"events": [{"event": "CardWritten", "during": true}]}],
    "chipInit": [{"events": [{"event": "ChipDataReceived", "during": true,
                              "data": "3B6800008066435A51499000"}]}],
    "chipSend": [{"events": [{"event": "ChipDataReceived", "during": true, "data": "9000"}]}],
    "eject": [{"events": [{"event": "CardTaken", "during": true, "set": {"media": "NOMEDIA"}}]}]
  }
})";

constexpr const char* kTrack2Text = ";4000000000000002=30122011000000000000?";
constexpr const char* kGetChallenge = "0084000004";

struct Step {
    const char* name;
    int32_t (ColsZQICCardReader::*method)();
};

constexpr Step kTransaction[] = {
    {"CardReaderInit", &ColsZQICCardReader::CardReaderInit},
    {"CardReaderEnable", &ColsZQICCardReader::CardReaderEnable},
    {"CardReaderRead", &ColsZQICCardReader::CardReaderRead},
    {"CardReaderWrite", &ColsZQICCardReader::CardReaderWrite},
    {"QOR_WaitChip", &ColsZQICCardReader::QOR_WaitChip},
    {"Qor_ChipTrnsp", &ColsZQICCardReader::Qor_ChipTrnsp},
    {"CardReaderReturn", &ColsZQICCardReader::CardReaderReturn},
};

bool skip_on_failures(benchmark::State& state, const Rig& rig) {
    if (rig.failures.empty()) return false;
    state.SkipWithError(("reported failure: " + rig.failures_text()).c_str());
    return true;
}

void BM_Transaction(benchmark::State& state) {
    Rig rig(std::make_unique<VirtualClock>(), kPromptReader);
    ReaderRef reader = rig.make_reader();
    const int64_t lines_before = rig.log->lines;
    int64_t control_calls = 0;

    for (auto _ : state) {
        bool failed = false;
        for (const Step& step : kTransaction) {
            if (step.method == &ColsZQICCardReader::CardReaderWrite)
                reader->WriteTrack(2, kTrack2Text);
            if (step.method == &ColsZQICCardReader::Qor_ChipTrnsp)
                reader->ChipCardData(kGetChallenge);
            const int32_t result = ((*reader).*step.method)();
            if (result != kOk) {
                state.SkipWithError((std::string(step.name) + " returned " +
                                     std::to_string(result) + " instead of 0")
                                        .c_str());
                failed = true;
                break;
            }
        }
        if (failed) break;
        control_calls += static_cast<int64_t>(rig.device->journal().size());
        rig.device->clear_journal();
    }
    if (skip_on_failures(state, rig)) return;

    state.counters["log_lines"] = benchmark::Counter(
        static_cast<double>(rig.log->lines - lines_before), benchmark::Counter::kAvgIterations);
    state.counters["control_calls"] =
        benchmark::Counter(static_cast<double>(control_calls), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_Transaction);

// The control's journal only grows; trimming it now and then keeps memory flat without
// putting a clear into every measured read.
void trim_journal(Rig& rig) {
    if (rig.device->journal().size() >= 4096) rig.device->clear_journal();
}

// Reads one property of a reader on the built-in reader by its dispatch identifier, as a
// COM client's IDispatch call does, once an iteration; false when the component reported
// a failure meanwhile.
bool read_by_dispid(benchmark::State& state, Rig& rig, ColsZQICCardReader& reader, DispId id) {
    for (auto _ : state) {
        Value value = invoke(reader, id, InvokeKind::PropertyGet);
        benchmark::DoNotOptimize(value);
        trim_journal(rig);
    }
    return !skip_on_failures(state, rig);
}

// ChipCardData is the component's own value: no control call.
void BM_PropertyReadByDispid(benchmark::State& state) {
    Rig rig(std::make_unique<VirtualClock>(), "");
    ReaderRef reader = rig.make_reader();
    reader->ChipCardData("9000");
    read_by_dispid(state, rig, *reader, 0x68030002);
}
BENCHMARK(BM_PropertyReadByDispid);

// CardReaderStatus asks the control for five of its properties on a healthy reader.
void BM_CardReaderStatusByDispid(benchmark::State& state) {
    Rig rig(std::make_unique<VirtualClock>(), "");
    ReaderRef reader = rig.make_reader();
    if (!read_by_dispid(state, rig, *reader, 0x68030011)) return;
    if (const int32_t status = reader->reader_status(); status != 1)
        state.SkipWithError(("idle reader reported status " + std::to_string(status)).c_str());
}
BENCHMARK(BM_CardReaderStatusByDispid);

}  // namespace
}  // namespace czqic::bench
