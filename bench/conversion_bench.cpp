// Chip data between the client's hex text and the control's arrays of byte values, at
// the largest command the control takes. Bytes processed counts chip data bytes (two
// text characters each), so both directions read on the same scale.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "component/chip_data.h"

namespace czqic::bench {
namespace {

constexpr size_t kChipBytes = kMaxChipCommandChars / 2;

std::string full_command_text() {
    static constexpr char kDigits[] = "0123456789ABCDEFabcdef";
    std::string text;
    text.reserve(kMaxChipCommandChars);
    for (size_t i = 0; i < kMaxChipCommandChars; ++i) text += kDigits[(i * 7 + i / 5) % 22];
    return text;
}

void BM_HexCommandToArray(benchmark::State& state) {
    const std::string text = full_command_text();
    for (auto _ : state) {
        Value bytes = chip_command_to_array(text);
        benchmark::DoNotOptimize(bytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(kChipBytes));
}
BENCHMARK(BM_HexCommandToArray);

void BM_ReplyToText(benchmark::State& state) {
    ValueArray elements;
    elements.reserve(kChipBytes);
    // Longs, as the simulated control sends them; every byte value occurs.
    for (size_t i = 0; i < kChipBytes; ++i) elements.emplace_back(static_cast<int32_t>(i % 256));
    const Value reply(std::move(elements));
    for (auto _ : state) {
        std::string text = chip_reply_to_text(reply);
        benchmark::DoNotOptimize(text.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(kChipBytes));
}
BENCHMARK(BM_ReplyToText);

}  // namespace
}  // namespace czqic::bench
