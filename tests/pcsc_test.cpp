// The PC/SC control inside the component against the real pcscd with a virtual card
// (vpcd's reader "Virtual PCD", vicc as the card). The fixture pcsc.daemon.start starts a
// daemon of the tests' own (support/pcsc-daemon), which points the client library at its
// socket and names the command that inserts the card in CZQIC_VICC; without them every
// case skips. Runs on the real clock: the card comes and goes in real time, and waits are
// bounded polls.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "pcsc/pcsc_control.h"
#include "tools/assembly/in_process.h"

extern char** environ;

namespace czqic::testing {
namespace {

using ::testing::Contains;
using Steady = std::chrono::steady_clock;

constexpr const char* kVirtualReader = "Virtual PCD";

// The daemon's full name of the virtual reader; empty when it has none.
std::string virtual_reader_name() {
    for (const auto& r : pcsc::list_readers(*pcsc::system_api()))
        if (r.name.find(kVirtualReader) != std::string::npos) return r.name;
    return "";
}

// Why the daemon's virtual reader cannot be used, or empty when it can.
std::string unavailable() {
    if (!std::getenv("CZQIC_VICC"))
        return "CZQIC_VICC (the command that inserts the card) is not set";
    try {
        if (!virtual_reader_name().empty()) return "";
        return "pcscd has no reader named like \"Virtual PCD\"";
    } catch (const std::exception& e) {
        return std::string("no PC/SC daemon: ") + e.what();
    }
}

// Waits up to 15 s for the virtual reader to show a card (or none); the instant it did.
std::optional<Steady::time_point> await_card(bool present) {
    const std::string reader = virtual_reader_name();
    auto api = pcsc::system_api();
    SCARDCONTEXT context = 0;
    if (api->establish_context(&context) != SCARD_S_SUCCESS) return std::nullopt;
    SCARD_READERSTATE state{};
    state.szReader = reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    std::optional<Steady::time_point> seen;
    const auto give_up = Steady::now() + std::chrono::seconds(15);
    while (Steady::now() < give_up) {
        if (api->get_status_change(context, 500, &state, 1) == SCARD_S_SUCCESS) {
            if (((state.dwEventState & SCARD_STATE_PRESENT) != 0) == present) {
                seen = Steady::now();
                break;
            }
            state.dwCurrentState = state.dwEventState & ~SCARD_STATE_CHANGED;
        }
    }
    api->release_context(context);
    return seen;
}

// The virtual card: in while the vicc process runs.
class VirtualCard {
  public:
    VirtualCard(const VirtualCard&) = delete;  // owns the process
    VirtualCard& operator=(const VirtualCard&) = delete;
    VirtualCard() = default;
    ~VirtualCard() { remove(); }
    void insert() {
        const std::string command = std::string("exec ") + std::getenv("CZQIC_VICC");
        const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
        posix_spawn(&pid_, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ);
    }
    // The card stops answering (its process is stopped), or answers again.
    void freeze() { kill(pid_, SIGSTOP); }
    void thaw() { kill(pid_, SIGCONT); }
    void remove() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        thaw();  // a stopped process takes its SIGTERM once it runs
        waitpid(pid_, nullptr, 0);
        pid_ = 0;
    }

  private:
    pid_t pid_ = 0;
};

struct DaemonRig {
    DaemonRig()
        : process(make_real_clock(), sim::builtin_scenario(), ReaderSpec{true, kVirtualReader}) {
        process.use_log_function(
            [this](const std::string&, const std::string& message, const std::string&) {
                lines.push_back(message);
                if (on_line) on_line(message);
                return int32_t{0};
            });
        reader = process.make_reader();
    }
    int32_t chip(const std::string& command) {
        reader->ChipCardData(command);
        return reader->Qor_ChipTrnsp();
    }
    // Inserts the card into the empty reader and powers its chip up, the reader initialised.
    void power_up_inserted_card() {
        ASSERT_TRUE(await_card(false));
        card.insert();
        ASSERT_TRUE(await_card(true));
        ASSERT_EQ(reader->CardReaderInit(), kOk);
        ASSERT_EQ(reader->QOR_WaitChip(), kOk);
    }
    InProcess process;
    std::vector<std::string> lines;
    std::function<void(const std::string&)> on_line;
    ReaderRef reader;
    VirtualCard card;
};

#define SKIP_WITHOUT_DAEMON() \
    if (auto why = unavailable(); !why.empty()) GTEST_SKIP() << why

TEST(PcscDaemon, WholeTransactionWithTheVirtualCard) {
    SKIP_WITHOUT_DAEMON();
    DaemonRig r;
    ASSERT_TRUE(await_card(false)) << "a card is still in the virtual reader";
    ASSERT_EQ(r.reader->CardReaderInit(), kOk);
    ASSERT_EQ(r.reader->CardReaderEnable(), kOk);

    // The card goes in while the read waits; a watcher of our own notes when the daemon
    // saw it, to measure how long the event took to reach the component.
    std::optional<Steady::time_point> daemon_saw, component_saw;
    std::thread watcher;
    r.on_line = [&](const std::string& message) {
        if (message.starts_with("CardReaderRead start")) {
            watcher = std::thread([&] { daemon_saw = await_card(true); });
            r.card.insert();
        }
        if (message.starts_with("Event CardAccepted")) component_saw = Steady::now();
    };
    EXPECT_EQ(r.reader->CardReaderRead(), kFailed);
    if (watcher.joinable()) watcher.join();
    EXPECT_EQ(r.reader->CardReaderStatus(), 5);
    ASSERT_TRUE(daemon_saw && component_saw) << ::testing::PrintToString(r.lines);
    std::cout << "[ latency  ] CardAccepted reached the component "
              << std::chrono::duration_cast<std::chrono::milliseconds>(*component_saw - *daemon_saw)
                     .count()
              << " ms after the daemon saw the card (one pump pass is at most 300 ms)\n";

    ASSERT_EQ(r.reader->QOR_WaitChip(), kOk);
    EXPECT_EQ(r.reader->ChipCardData(), "3B951381018073FF01000B");
    ASSERT_EQ(r.chip("0084000008"), kOk);
    EXPECT_EQ(r.reader->ChipCardData().size(), 20u);
    EXPECT_TRUE(r.reader->ChipCardData().ends_with("9000"));
    ASSERT_EQ(r.chip("00A40000023F77"), kOk);
    EXPECT_EQ(r.reader->ChipCardData(), "6A82");

    r.on_line = [&](const std::string& message) {
        if (message.starts_with("Event CardEjected")) r.card.remove();
    };
    EXPECT_EQ(r.reader->CardReaderReturn(), kOk);
    EXPECT_THAT(r.lines, Contains("Event CardTaken411"));
}

// A card that stops answering in the middle of an exchange: the component's chip limit
// ends the call while the owner keeps pumping, and the close does not wait for the card.
TEST(PcscDaemon, AStoppedCardTimesOutAtTheChipLimitWhileTheOwnerPumps) {
    SKIP_WITHOUT_DAEMON();
    auto rig = std::make_unique<DaemonRig>();
    DaemonRig& r = *rig;
    ASSERT_NO_FATAL_FAILURE(r.power_up_inserted_card());

    int pumped = 0;  // due once a second; run only while the owner pumps
    for (int second = 1; second <= 55; ++second)
        r.process.loop.post([&] { ++pumped; }, second * 1000);
    r.on_line = [&](const std::string& message) {
        if (message.starts_with("Qor_ChipTrnsp:")) r.card.freeze();
    };
    const auto started = Steady::now();
    EXPECT_EQ(r.chip("0084000008"), kTimedOut);
    const auto took = Steady::now() - started;
    EXPECT_EQ(pumped, 55);
    EXPECT_GE(took, std::chrono::seconds(59));
    EXPECT_LT(took, std::chrono::seconds(62));

    const auto closing = Steady::now();
    r.reader.reset();
    const auto close_took = Steady::now() - closing;
    EXPECT_LT(close_took, std::chrono::milliseconds(1800));
    std::cout << "[ timing   ] Qor_ChipTrnsp returned after "
              << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms with "
              << pumped << " messages run meanwhile; the close took "
              << std::chrono::duration_cast<std::chrono::milliseconds>(close_took).count()
              << " ms\n";
    r.card.thaw();
    rig.reset();
}

// While the component holds the card no other program connects to it (and so none can
// reset it between two of the client's commands); once it lets go, one can.
TEST(PcscDaemon, TheCardIsTheComponentsAloneWhileItHoldsIt) {
    SKIP_WITHOUT_DAEMON();
    DaemonRig r;
    ASSERT_NO_FATAL_FAILURE(r.power_up_inserted_card());

    SCARDCONTEXT other = 0;
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &other), SCARD_S_SUCCESS);
    const std::string reader = virtual_reader_name();
    const auto connect = [&] {
        SCARDHANDLE card = 0;
        DWORD protocol = 0;
        const LONG rc = SCardConnect(other, reader.c_str(), SCARD_SHARE_SHARED,
                                     SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol);
        if (rc == SCARD_S_SUCCESS) SCardDisconnect(card, SCARD_RESET_CARD);
        return rc;
    };
    EXPECT_EQ(pcsc::result_text(connect()), pcsc::result_text(SCARD_E_SHARING_VIOLATION));
    ASSERT_EQ(r.chip("0084000008"), kOk);
    EXPECT_EQ(pcsc::result_text(connect()), pcsc::result_text(SCARD_E_SHARING_VIOLATION));

    r.reader.reset();
    EXPECT_EQ(pcsc::result_text(connect()), pcsc::result_text(SCARD_S_SUCCESS));
    SCardReleaseContext(other);
}

TEST(PcscDaemon, NoCardAtPowerUpFails) {
    SKIP_WITHOUT_DAEMON();
    DaemonRig r;
    ASSERT_TRUE(await_card(false));
    ASSERT_EQ(r.reader->CardReaderInit(), kOk);
    EXPECT_EQ(r.reader->QOR_WaitChip(), kFailed);
    EXPECT_THAT(r.lines, Contains("Event ChipInvalid462"));
}

}  // namespace
}  // namespace czqic::testing
