// The PC/SC control inside the component, over a scripted daemon with one reader: whole
// transactions, a card or a reader going away, and no daemon at all. The worker thread is
// real; each change of the reader returns only once the worker has handed it to the
// owner's loop, so the virtual clock sees it at its next pump.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>

#include "device/control_contract.h"
#include "pcsc/pcsc_control.h"
#include "tests/support/harness.h"

namespace czqic::testing {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;

class ScriptedDaemon final : public pcsc::Api {
  public:
    static constexpr const char* kReader = "Scripted Reader 00 00";
    bool running = true;
    std::vector<BYTE> answer_to_reset{0x3B, 0x95, 0x13, 0x81, 0x01, 0x80,
                                      0x73, 0xFF, 0x01, 0x00, 0x0B};
    bool pull_card_on_transmit = false;  // the card leaves during the next exchange

    // From now the card takes commands and never answers, cancelled or not, until
    // wake_card() ends the exchange with a communication failure.
    void mute_card() {
        std::lock_guard hold(lock_);
        mute_ = true;
    }
    void wake_card() {
        std::lock_guard hold(lock_);
        mute_ = false;
        changed_.notify_all();
    }
    // Waits up to limit until every context established has been released again.
    bool all_released(std::chrono::seconds limit) {
        std::unique_lock hold(lock_);
        return changed_.wait_for(hold, limit, [&] { return open_contexts_ == 0; });
    }

    // Changes the reader, then returns once the worker has seen the change and waits again
    // (unless no worker watches: after the reader went away, until the next reset).
    void set_card(bool in, bool watched = true) {
        change([&] { card_ = in; }, watched);
    }
    // Unplugging ends the worker once it has reported it: the caller pumps until then.
    void set_plugged(bool in) {
        change([&] { plugged_ = in; }, false);
    }

    LONG establish_context(SCARDCONTEXT* context) override {
        if (!running) return SCARD_E_NO_SERVICE;
        std::lock_guard hold(lock_);
        *context = ++last_context_;
        ++open_contexts_;
        return SCARD_S_SUCCESS;
    }
    LONG release_context(SCARDCONTEXT) override {
        std::lock_guard hold(lock_);
        --open_contexts_;
        changed_.notify_all();
        return SCARD_S_SUCCESS;
    }
    LONG list_readers(SCARDCONTEXT, std::vector<std::string>& readers) override {
        std::lock_guard hold(lock_);
        readers.clear();
        if (!plugged_) return SCARD_E_NO_READERS_AVAILABLE;
        readers.push_back(kReader);
        return SCARD_S_SUCCESS;
    }
    LONG get_status_change(SCARDCONTEXT context, DWORD timeout_ms, SCARD_READERSTATE* states,
                           DWORD) override {
        std::unique_lock hold(lock_);
        const auto differs = [&] { return state() != (states->dwCurrentState & kKinds); };
        if (timeout_ms != 0 && !differs()) {
            watcher_waits_ = true;
            seen_.notify_all();
            changed_.wait(hold, [&] { return differs() || cancelled_.contains(context); });
            watcher_waits_ = false;
        }
        if (cancelled_.erase(context)) return SCARD_E_CANCELLED;
        states->dwEventState = state() | SCARD_STATE_CHANGED;
        states->cbAtr = card_ ? static_cast<DWORD>(answer_to_reset.size()) : 0;
        std::copy(answer_to_reset.begin(), answer_to_reset.end(), states->rgbAtr);
        return SCARD_S_SUCCESS;
    }
    LONG cancel(SCARDCONTEXT context) override {
        std::lock_guard hold(lock_);
        cancelled_.insert(context);
        changed_.notify_all();
        return SCARD_S_SUCCESS;
    }
    LONG connect(SCARDCONTEXT, const std::string&, SCARDHANDLE* card, DWORD* protocol) override {
        std::lock_guard hold(lock_);
        if (!card_) return SCARD_E_NO_SMARTCARD;
        *card = 1;
        *protocol = SCARD_PROTOCOL_T0;
        return SCARD_S_SUCCESS;
    }
    LONG reconnect(SCARDHANDLE, DWORD* protocol) override {
        *protocol = SCARD_PROTOCOL_T0;
        return card_ ? SCARD_S_SUCCESS : SCARD_W_REMOVED_CARD;
    }
    LONG disconnect(SCARDHANDLE) override { return SCARD_S_SUCCESS; }
    LONG atr(SCARDHANDLE, std::vector<BYTE>& out) override {
        out = answer_to_reset;
        return SCARD_S_SUCCESS;
    }
    // GET CHALLENGE answers at once, SELECT of the card's application through 61xx, with
    // the wrong length through 6Cxx; any other file is not there.
    LONG transmit(SCARDHANDLE, DWORD, const std::vector<BYTE>& command,
                  std::vector<BYTE>& response) override {
        {
            std::unique_lock hold(lock_);
            if (mute_) {
                changed_.wait(hold, [&] { return !mute_; });
                return SCARD_F_COMM_ERROR;
            }
        }
        if (pull_card_on_transmit) {
            pull_card_on_transmit = false;
            set_card(false);
            return SCARD_W_REMOVED_CARD;
        }
        const BYTE ins = command[1];
        if (ins == 0x84 && command[4] != 8)
            response = {0x6C, 0x08};
        else if (ins == 0x84)
            response = {1, 2, 3, 4, 5, 6, 7, 8, 0x90, 0x00};
        else if (ins == 0xA4 && command.size() > 5 && command[5] == 0xF0)
            response = {0x61, 0x02};
        else if (ins == 0xC0)
            response = {0x6F, 0x00, 0x90, 0x00};
        else
            response = {0x6A, 0x82};
        return SCARD_S_SUCCESS;
    }

  private:
    static constexpr DWORD kKinds = SCARD_STATE_PRESENT | SCARD_STATE_EMPTY | SCARD_STATE_UNKNOWN;
    DWORD state() const {
        return !plugged_ ? SCARD_STATE_UNKNOWN : card_ ? SCARD_STATE_PRESENT : SCARD_STATE_EMPTY;
    }
    template <class F>
    void change(F apply, bool watched) {
        std::unique_lock hold(lock_);
        apply();
        watcher_waits_ = false;
        changed_.notify_all();
        if (!watched) return;
        ASSERT_TRUE(seen_.wait_for(hold, std::chrono::seconds(10), [&] { return watcher_waits_; }))
            << "the worker did not take the change";
    }

    std::mutex lock_;
    std::condition_variable changed_, seen_;
    bool card_ = false;
    bool plugged_ = true;
    bool watcher_waits_ = false;
    bool mute_ = false;
    SCARDCONTEXT last_context_ = 0;
    int open_contexts_ = 0;
    std::set<SCARDCONTEXT> cancelled_;
};

struct PcscRig : Harness {
    PcscRig() {
        classes.register_class(kControlProgId, "",
                               [this] { return pcsc::make_control(loop, "", daemon); });
        reader = make_reader();
    }
    int32_t chip(const std::string& command) {
        reader->ChipCardData(command);
        return reader->Qor_ChipTrnsp();
    }
    std::shared_ptr<ScriptedDaemon> daemon = std::make_shared<ScriptedDaemon>();
    ReaderRef reader;
};

TEST(PcscControl, WholeTransactionWithTheCardInsertedAfterEnable) {
    PcscRig r;
    ASSERT_EQ(r.reader->CardReaderInit(), kOk);
    ASSERT_EQ(r.reader->CardReaderEnable(), kOk);
    r.daemon->set_card(true);
    // No magnetic head: the card is in and no track is read.
    EXPECT_EQ(r.reader->CardReaderRead(), kFailed);
    EXPECT_EQ(r.reader->CardReaderStatus(), 5);
    ASSERT_EQ(r.reader->QOR_WaitChip(), kOk);
    EXPECT_EQ(r.reader->ChipCardData(), "3B951381018073FF01000B");
    ASSERT_EQ(r.chip("0084000000"), kOk);  // 6C08: sent again for 8 bytes
    EXPECT_EQ(r.reader->ChipCardData(), "01020304050607089000");
    ASSERT_EQ(r.chip("00A4040002F001"), kOk);  // 6102: the rest by GET RESPONSE
    EXPECT_EQ(r.reader->ChipCardData(), "6F009000");
    ASSERT_EQ(r.chip("00A40000023F02"), kOk);
    EXPECT_EQ(r.reader->ChipCardData(), "6A82");
    // The card is taken while the component waits for it after the eject.
    r.logs->before_write = [&](const std::string& message) {
        if (message.starts_with("Event CardEjected")) r.daemon->set_card(false);
    };
    EXPECT_EQ(r.reader->CardReaderReturn(), kOk);
    EXPECT_THAT(r.log(), Contains("Event CardTaken411"));
    EXPECT_THAT(r.log(), Contains("mstrChipCardData:6A82"));
}

TEST(PcscControl, CardOrReaderGoneFailsTheChipOperation) {
    PcscRig r;
    ASSERT_EQ(r.reader->CardReaderInit(), kOk);
    EXPECT_EQ(r.reader->QOR_WaitChip(), kFailed) << "no card at power-up";

    r.daemon->set_card(true);
    ASSERT_EQ(r.reader->QOR_WaitChip(), kOk);
    r.daemon->pull_card_on_transmit = true;
    EXPECT_EQ(r.chip("0084000008"), kFailed) << "card pulled during the exchange";
    EXPECT_THAT(r.log(), Contains("Event ChipInvalid462"));

    // Unplugged while open: closed and no device; plugged back, usable after a reset.
    r.daemon->set_plugged(false);
    const auto closed = [&] { return std::ranges::count(r.log(), "Event ConnectionClosed23") > 0; };
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!closed() && std::chrono::steady_clock::now() < give_up) r.loop.pump();
    EXPECT_TRUE(closed());
    EXPECT_EQ(r.reader->CardReaderReset(), kFailed) << "no reader to reset";
    r.daemon->set_plugged(true);
    r.daemon->set_card(true, false);
    EXPECT_EQ(r.reader->CardReaderReset(), kOk);
    EXPECT_EQ(r.reader->QOR_WaitChip(), kOk);
}

TEST(PcscControl, ACardThatNeverAnswersTimesOutWhileTheOwnerPumpsAndIsLeftBehindOnClose) {
    auto rig = std::make_unique<PcscRig>();
    PcscRig& r = *rig;
    const auto daemon = r.daemon;
    ASSERT_EQ(r.reader->CardReaderInit(), kOk);
    daemon->set_card(true);
    ASSERT_EQ(r.reader->QOR_WaitChip(), kOk);

    daemon->mute_card();
    int pumped = 0;  // messages due once a second, run only while the owner pumps
    for (int second = 1; second <= 59; ++second) r.loop.post([&] { ++pumped; }, second * 1000);
    const auto exchange = r.timed([&] { return r.chip("0084000008"); });
    EXPECT_EQ(exchange.result, kTimedOut);
    EXPECT_NEAR(exchange.ms, 60000, 1000) << "the chip limit, counted in whole seconds";
    EXPECT_EQ(pumped, 59);
    EXPECT_EQ(r.reader->ChipCardData(), "");

    // Closing waits for the card a second at most; the worker ends the exchange later,
    // after the component and its loop are gone, and lets go of the card and its context.
    const auto closing = std::chrono::steady_clock::now();
    rig.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - closing, std::chrono::milliseconds(1800));
    daemon->wake_card();
    EXPECT_TRUE(daemon->all_released(std::chrono::seconds(10)));
}

TEST(PcscControl, NoDaemonFailsInitAtOnceNamingThePcscResult) {
    PcscRig r;
    r.daemon->running = false;
    const int64_t took = r.elapsed_during([&] { EXPECT_EQ(r.reader->CardReaderInit(), kFailed); });
    EXPECT_LT(took, 1000);
    EXPECT_THAT(r.log(), Contains(HasSubstr("0x8010001D SCARD_E_NO_SERVICE")));
}

}  // namespace
}  // namespace czqic::testing
