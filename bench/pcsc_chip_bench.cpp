// A chip command through the PC/SC control on the real daemon with the virtual card, in
// each wait mode, against the same command sent straight through PC/SC: what the
// component's blocking frame adds to a device that answers in milliseconds. Needs the
// tests' own daemon and the command that inserts the card:
//   tests/support/pcsc-daemon start STATE   (CZQIC names czqic)
//   tests/support/pcsc-daemon run STATE build/bench/bench/czqic_bench --benchmark_filter=Pcsc
// Without them each benchmark is skipped with the reason.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "pcsc/pcsc_api.h"
#include "rig.h"

extern char** environ;

namespace czqic::bench {
namespace {

constexpr const char* kVirtualReader = "Virtual PCD";
constexpr const char* kGetChallenge = "0084000008";
constexpr int kCommands = 20;

// The first virtual reader's full name, or empty when the daemon has none.
std::string virtual_reader(pcsc::Api& api) {
    SCARDCONTEXT context = 0;
    if (api.establish_context(&context) != SCARD_S_SUCCESS) return {};
    std::vector<std::string> names;
    api.list_readers(context, names);
    api.release_context(context);
    for (const auto& n : names)
        if (n.find(kVirtualReader) != std::string::npos) return n;
    return {};
}

bool card_present(pcsc::Api& api, const std::string& reader) {
    SCARDCONTEXT context = 0;
    if (api.establish_context(&context) != SCARD_S_SUCCESS) return false;
    SCARD_READERSTATE state{};
    state.szReader = reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    const bool present = api.get_status_change(context, 0, &state, 1) == SCARD_S_SUCCESS &&
                         (state.dwEventState & SCARD_STATE_PRESENT) != 0;
    api.release_context(context);
    return present;
}

// The virtual card, inserted once for every benchmark of the run and left in until exit.
// Returns why it cannot be had, or empty.
std::string insert_card_once() {
    static const std::string why = []() -> std::string {
        const char* vicc = std::getenv("CZQIC_VICC");
        if (!vicc) return "CZQIC_VICC is not set: run under tests/support/pcsc-daemon run";
        auto api = pcsc::system_api();
        const std::string reader = virtual_reader(*api);
        if (reader.empty()) return "pcscd has no reader named like \"Virtual PCD\"";
        if (card_present(*api, reader)) return "";
        static pid_t pid = 0;
        const std::string command = std::string("exec ") + vicc;
        const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
        if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ))
            return "the virtual card could not be started";
        std::atexit([] {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        });
        for (int i = 0; i < 75; ++i) {
            if (card_present(*api, reader)) return "";
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        return "the virtual card never appeared";
    }();
    return why;
}

// GET CHALLENGE through ChipCardData and Qor_ChipTrnsp, the component on the real clock
// with every wait in the mode given (read, like any host's, when the component is made).
void BM_PcscChipCommand(benchmark::State& state, const char* wait_mode) {
    if (auto why = insert_card_once(); !why.empty()) return state.SkipWithError(why.c_str());
    ::setenv("CZQIC_WAIT", wait_mode, 1);
    Rig rig(make_real_clock(), "", ReaderSpec{true, kVirtualReader});
    ::unsetenv("CZQIC_WAIT");
    ReaderRef reader = rig.make_reader();
    if (const int32_t r = reader->CardReaderInit(); r != kOk)
        return state.SkipWithError(("CardReaderInit returned " + std::to_string(r)).c_str());
    if (const int32_t r = reader->QOR_WaitChip(); r != kOk)
        return state.SkipWithError(("QOR_WaitChip returned " + std::to_string(r)).c_str());
    for (auto _ : state) {
        reader->ChipCardData(kGetChallenge);
        const int32_t r = reader->Qor_ChipTrnsp();
        if (r != kOk || !reader->ChipCardData().ends_with("9000"))
            return state.SkipWithError(("Qor_ChipTrnsp returned " + std::to_string(r)).c_str());
    }
}
BENCHMARK_CAPTURE(BM_PcscChipCommand, standard, "standard")
    ->Iterations(kCommands)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PcscChipCommand, responsive, "responsive")
    ->Iterations(kCommands)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// The same command straight through pcsc-lite: connect once, then SCardTransmit.
void BM_PcscDirectTransmit(benchmark::State& state) {
    if (auto why = insert_card_once(); !why.empty()) return state.SkipWithError(why.c_str());
    auto api = pcsc::system_api();
    const std::string name = virtual_reader(*api);
    SCARDCONTEXT context = 0;
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    if (api->establish_context(&context) != SCARD_S_SUCCESS)
        return state.SkipWithError("SCardEstablishContext failed");
    if (const LONG r = api->connect(context, name, &card, &protocol); r != SCARD_S_SUCCESS) {
        api->release_context(context);
        return state.SkipWithError(("SCardConnect: " + pcsc::result_text(r)).c_str());
    }
    const std::vector<BYTE> command{0x00, 0x84, 0x00, 0x00, 0x08};
    std::vector<BYTE> response;
    for (auto _ : state) {
        const LONG r = api->transmit(card, protocol, command, response);
        if (r != SCARD_S_SUCCESS || response.size() < 2) {
            state.SkipWithError(("SCardTransmit: " + pcsc::result_text(r)).c_str());
            break;
        }
    }
    api->disconnect(card);
    api->release_context(context);
}
BENCHMARK(BM_PcscDirectTransmit)
    ->Iterations(kCommands)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace czqic::bench
