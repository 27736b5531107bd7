// Logs of any shape read back by `czqic log`: whatever the lines, every record starts at
// a line of its own, later than the one before; a call has a result, or says why not
// (incomplete, or what the log does not hold); events come at no negative time; and the
// table, JSON Lines and summary outputs take every record.
//
// Input: byte 0 even, pairs of bytes after it pick a message of the component's (first
// byte) and how long after the previous line it comes (second byte, in 20 ms steps; 255 is
// a day later), so coverage can steer through the calls' orders and waits; odd, the rest
// is the log's text as it stands.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "diag/call_builder.h"
#include "diag/outputs.h"
#include "log/log_line.h"

namespace {

using czqic::diag::Record;

constexpr const char* kMessages[] = {
    "CardReaderInit:10120100",
    "CardReaderInit:403",
    "CardReaderInit end:403",
    "CardReaderInit end:10120100",
    "CardReaderInit err:Device not ready",
    "CardReaderReset",
    "CardReaderReset:10120100",
    "CardReaderReset:404",
    "CardReaderReset end:404",
    "CardReaderReset end:412",
    "CardReaderReset end:10120100",
    "CardReaderReset err:Busy",
    "CardReaderRetain:10120100",
    "CardReaderRetain end:412",
    "CardReaderRetain err:Busy",
    "CardReaderEnable end:0",
    "CardReaderEnable end:405",
    "CardReaderEnable end:1",
    "CardReaderEnable err:Busy",
    "CardReaderRead start:0 1",
    "CardReaderRead start:405 1",
    "CardReaderRead Start end :405",
    "CardReaderRead Start end :0",
    "CardReaderRead err:Track head",
    "CardReaderWrite1:10120100",
    "CardReaderWrite2:10120100",
    "CardReaderWrite3:10120100",
    "CardReaderWrite1 end:409",
    "CardReaderWrite2 end:409",
    "CardReaderWrite3 end:23",
    "CardReaderWrite err:Busy",
    "CardReaderReturn:10120100",
    "CardReaderReturn end:411",
    "CardReaderReturn end:10120100",
    "CardReaderReturn err:Busy",
    "CardReaderDisable:0",
    "CardReaderDisable:405",
    "CardReaderDisable end:0",
    "CardReaderDisable err:Busy",
    "QOR_WaitChip:10120100",
    "QOR_WaitChip end:461",
    "QOR_WaitChip err:Busy",
    "Qor_ChipTrnsp:10120100",
    "Qor_ChipTrnsp end:461",
    "Qor_ChipTrnsp end:10120100",
    "Qor_ChipTrnsp err:Busy",
    "CardReaderGetStatus err:No",
    "CardReaderClear err:No",
    "Event CardAccepted405",
    "Event ResetComplete404",
    "Event CardCaptured412",
    "Event CardWritten409",
    "Event CardTaken411",
    "Event ConnectionOpened403",
    "Event DeviceError23",
    "Event WaitCancelled10120100",
    "Event CardAcceptCancelled416",
    "Event ChipDataReceived461",
    "mstrChipCardData:9000",
    "Event Timeout10120001",
    "Event ChipInvalid462",
    "something else",
};
constexpr size_t kMessageCount = sizeof kMessages / sizeof kMessages[0];

[[noreturn]] void fault(const char* what, const Record& r) {
    std::fprintf(stderr, "FAULT: record of line %llu: %s\n",
                 static_cast<unsigned long long>(r.line), what);
    std::abort();
}

class Checks final : public czqic::diag::RecordSink {
  public:
    void record(const Record& r) override {
        if (r.line <= last_line_) fault("does not start after the record before it", r);
        last_line_ = r.line;
        if (!r.is_event && !r.result && !r.incomplete && r.unknown_result.empty())
            fault("a call without a result says nothing of why", r);
        if (r.incomplete && r.ms) fault("an incomplete call has a duration", r);
        for (const auto& e : r.events)
            if (e.ms < 0) fault("an event before its call's start", r);
        for (auto& out : outputs_) out->record(r);
    }
    std::ostringstream text;
    std::vector<std::unique_ptr<czqic::diag::LogOutput>> outputs_;

  private:
    uint64_t last_line_ = 0;
};

std::string log_text(const uint8_t* data, size_t size) {
    if (data[0] % 2 == 1) return std::string(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string text;
    int64_t ms = 8 * 3600 * 1000;
    int day = 1;
    for (size_t i = 1; i + 1 < size; i += 2) {
        if (data[i + 1] == 255) ++day;
        ms = (ms + data[i + 1] * 20) % (86400 * 1000);
        const czqic::LogTime t = czqic::log_time(2026, 1, 1 + day % 28, ms);
        text +=
            czqic::log_line(t, "Qor", kMessages[data[i] % kMessageCount], i % 4 ? "\n" : "\r\n");
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string text = log_text(data, size);
    const std::vector<std::string> files = {"Qor.log"};
    Checks checks;
    checks.outputs_.push_back(czqic::diag::table_output(checks.text, files, false));
    checks.outputs_.push_back(czqic::diag::json_output(checks.text, files, false));
    checks.outputs_.push_back(czqic::diag::summary_output(checks.text, files));
    czqic::diag::CallBuilder builder(checks);
    uint64_t number = 0;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        builder.line(std::string_view(text).substr(at, end - at), 0, ++number);
        at = end;
    }
    builder.finish();
    for (auto& out : checks.outputs_) out->finish(builder.unrecognised());
    return 0;
}
