#include "pcsc/pcsc_control.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include "device/control_contract.h"
#include "platform/hex.h"
#include "platform/text.h"
#include "platform/unique_resource.h"

namespace czqic::pcsc {
namespace {

// GET RESPONSE and resend rounds one exchange may take before the card is deemed stuck.
constexpr int kMaxExchangeRounds = 32;

ValueArray byte_values(const std::vector<BYTE>& bytes) {
    ValueArray values;
    for (BYTE b : bytes) values.emplace_back(static_cast<double>(b));
    return values;
}

// The command of a chip send: an array of byte values, as Doubles or any number.
std::vector<BYTE> command_bytes(const Value& arg) {
    const Value& v = arg.deref();
    if (!v.is_array()) raise_invalid_argument("The command is not an array");
    std::vector<BYTE> bytes;
    if (const auto* compact = std::get<Value::Array>(v.v).bytes()) {
        bytes.assign(compact->begin(), compact->end());
    } else {
        for (const Value& element : v.elements()) {
            const double x = to_r8(element);
            if (!(x >= 0 && x <= 255) || x != std::floor(x))
                raise_invalid_argument("The command holds a value that is not a byte");
            bytes.push_back(static_cast<BYTE>(x));
        }
    }
    if (bytes.size() < 4) raise_invalid_argument("The command is shorter than a header");
    return bytes;
}

// A context and a card connection, given back through the calls that made them.
struct ReleaseContext {
    Api* api = nullptr;
    void operator()(SCARDCONTEXT context) const noexcept { api->release_context(context); }
};
struct Disconnect {
    Api* api = nullptr;
    void operator()(SCARDHANDLE card) const noexcept { api->disconnect(card); }
};
using Context = UniqueResource<SCARDCONTEXT, ReleaseContext>;
using Card = UniqueResource<SCARDHANDLE, Disconnect>;

bool reader_gone(DWORD state) {
    return (state & (SCARD_STATE_UNKNOWN | SCARD_STATE_IGNORE)) != 0;
}

// The worker: waits in SCardGetStatusChange on a context of its own and reports every
// change of the one reader it watches. It holds nothing the owner reads.
class Watcher {
  public:
    using Report = std::function<void(LONG result, DWORD state, std::vector<BYTE> atr)>;

    Watcher(Api& api, Context context, std::string reader, DWORD known, Report report)
        : api_(api),
          context_(std::move(context)),
          reader_(std::move(reader)),
          report_(std::move(report)) {
        thread_ = std::thread([this, known] { run(known); });
    }
    Watcher(const Watcher&) = delete;  // owns the thread and its context
    Watcher& operator=(const Watcher&) = delete;

    ~Watcher() {
        // A cancel that lands before the worker enters its wait is lost: repeat it until
        // the worker says it is done.
        std::unique_lock hold(lock_);
        stopping_ = true;
        while (!done_) {
            api_.cancel(context_.get());
            finished_.wait_for(hold, std::chrono::milliseconds(20), [this] { return done_; });
        }
        hold.unlock();
        thread_.join();
        // The context goes with the watcher's members, the thread done with it.
    }

  private:
    void run(DWORD known) {
        SCARD_READERSTATE state{};
        state.szReader = reader_.c_str();
        state.dwCurrentState = known;
        for (;;) {
            {
                std::lock_guard hold(lock_);
                if (stopping_) break;
            }
            const LONG rc = api_.get_status_change(context_.get(), INFINITE, &state, 1);
            if (rc == SCARD_E_CANCELLED || rc == SCARD_E_TIMEOUT) continue;
            const DWORD now = rc == SCARD_S_SUCCESS ? state.dwEventState : 0;
            report_(rc, now, std::vector<BYTE>(state.rgbAtr, state.rgbAtr + state.cbAtr));
            if (rc != SCARD_S_SUCCESS || reader_gone(now)) break;
            state.dwCurrentState = now & ~SCARD_STATE_CHANGED;
        }
        std::lock_guard hold(lock_);
        done_ = true;
        finished_.notify_all();
    }

    Api& api_;
    const Context context_;
    const std::string reader_;
    const Report report_;
    std::mutex lock_;
    std::condition_variable finished_;
    bool stopping_ = false;  // guarded by lock_
    bool done_ = false;      // guarded by lock_
    std::thread thread_;     // last: started once everything it uses is there
};

// The card's side of the control, kept by the card worker: a context of its own (a
// context serialises its calls, so the owner's never waits behind a card), the card
// handle and the protocol. Only the worker thread touches it.
struct CardLine {
    std::shared_ptr<Api> api;
    Context context;
    Card card;
    DWORD protocol = 0;

    void drop() { card.reset(); }
};

// A card command's outcome, run on the owner's thread.
using Outcome = std::function<void()>;
// A card command, run on the worker; what it returns is handed to the owner.
using CardJob = std::function<Outcome(CardLine&)>;

// The worker that runs every card command, so the owner keeps pumping (and its time
// limits keep counting) while a card or the daemon takes its time. Its state is shared
// with the thread: a command that outlives the close is abandoned, never waited for
// beyond kCloseGrace, and the thread finishes it on state nobody else frees.
class CardWorker {
  public:
    static constexpr auto kCloseGrace = std::chrono::seconds(1);

    CardWorker(std::shared_ptr<Api> api, Context context, MessageLoop& loop,
               std::weak_ptr<void> owner)
        : shared_(std::make_shared<Shared>()) {
        shared_->line.api = std::move(api);
        shared_->line.context = std::move(context);
        shared_->loop = &loop;
        shared_->owner = std::move(owner);
        thread_ = std::thread([shared = shared_] { run(*shared); });
    }
    CardWorker(const CardWorker&) = delete;  // owns the thread's queue
    CardWorker& operator=(const CardWorker&) = delete;

    void post(CardJob job) {
        std::lock_guard hold(shared_->lock);
        shared_->jobs.push_back(std::move(job));
        shared_->wake.notify_all();
    }

    // Waits until every command posted has run and handed over its outcome, or until
    // limit has passed; true when they have.
    bool settle(std::chrono::milliseconds limit) {
        std::unique_lock hold(shared_->lock);
        return shared_->finished.wait_for(
            hold, limit, [this] { return shared_->jobs.empty() && !shared_->busy; });
    }

    // Commands not started are dropped; from here on nothing reaches the owner's loop.
    ~CardWorker() {
        std::unique_lock hold(shared_->lock);
        shared_->stopping = true;
        shared_->loop = nullptr;
        shared_->jobs.clear();
        shared_->wake.notify_all();
        // Ends a wait of the daemon's on this context where the daemon can end it.
        hold.unlock();
        shared_->line.api->cancel(shared_->line.context.get());
        hold.lock();
        const bool done =
            shared_->finished.wait_for(hold, kCloseGrace, [this] { return shared_->done; });
        hold.unlock();
        if (done)
            thread_.join();
        else
            thread_.detach();
    }

  private:
    struct Shared {
        CardLine line;
        std::mutex lock;
        std::condition_variable wake, finished;
        std::deque<CardJob> jobs;     // guarded by lock
        MessageLoop* loop = nullptr;  // guarded by lock; null once closed
        std::weak_ptr<void> owner;
        bool stopping = false;  // guarded by lock
        bool busy = false;      // guarded by lock: a command is running
        bool done = false;      // guarded by lock
    };

    static void run(Shared& s) {
        for (;;) {
            CardJob job;
            {
                std::unique_lock hold(s.lock);
                s.wake.wait(hold, [&] { return s.stopping || !s.jobs.empty(); });
                if (s.stopping) break;
                job = std::move(s.jobs.front());
                s.jobs.pop_front();
                s.busy = true;
            }
            Outcome outcome = job(s.line);
            std::lock_guard hold(s.lock);
            if (s.loop && outcome) s.loop->post_from_any_thread(std::move(outcome), s.owner);
            s.busy = false;
            s.finished.notify_all();
        }
        // The card and the context go with the worker, also when it was abandoned.
        s.line.drop();
        s.line.context.reset();
        std::lock_guard hold(s.lock);
        s.done = true;
        s.finished.notify_all();
    }

    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

class Control final : public Dispatch,
                      public EventSinksSource,
                      public std::enable_shared_from_this<Control> {
  public:
    Control(MessageLoop& loop, std::string reader_part, std::shared_ptr<Api> api)
        : loop_(loop), api_(std::move(api)), reader_part_(std::move(reader_part)) {}
    ~Control() override { detach(); }

    Value invoke(DispId id, InvokeKind kind, std::span<Value> args) override;

  private:
    // Remembers the result for LastErrorCode; true when it is success.
    bool note(LONG rc) {
        last_result_ = rc;
        return rc == SCARD_S_SUCCESS;
    }

    void fire(std::string_view name, ValueArray args = {});
    void deliver(std::string_view name, const ValueArray& args);

    void attach();
    void look_up();
    // A context of the control's own; the failure named when there is none.
    Context open_context();
    void detach();
    void drop_card();
    void on_watch(uint64_t generation, LONG rc, DWORD state, const std::vector<BYTE>& atr);
    void card_changed(bool present);

    // Runs job on the card worker; its outcome comes back to this control on the owner's
    // thread, unless the control has been closed or reopened by then.
    // rc stays empty when the job made no PC/SC call.
    using Job = std::function<void(CardLine&, std::optional<LONG>& rc, ValueArray& reply)>;
    using Done = std::function<void(Control&, std::optional<LONG> rc, ValueArray reply)>;
    void on_card(Job job, Done outcome);
    void power_up();
    void send(const Value& command);
    void chip_answer(std::optional<LONG> rc, ValueArray reply);
    Value reset();
    // The members invoke answers: the properties (nothing when id names none) and the
    // methods (any other id).
    std::optional<Value> property(DispId id, InvokeKind kind, std::span<Value> args);
    Value method(DispId id, std::span<Value> args);

    MessageLoop& loop_;
    const std::shared_ptr<Api> api_;
    const std::string reader_part_;
    Value device_name_ = Value(std::string());

    bool opened_ = false;  // between open and close, whatever became of the reader
    std::string reader_;
    std::string device_state_ = "NODEVICE";
    bool card_present_ = false;
    bool accepting_ = false;
    bool awaiting_take_ = false;
    LONG last_result_ = SCARD_S_SUCCESS;
    // Reports of a watcher or card worker that has been replaced are stale: each carries
    // its generation and only the current one's are taken.
    uint64_t generation_ = 0;
    std::unique_ptr<Watcher> watcher_;
    std::unique_ptr<CardWorker> card_worker_;  // set while attached
};

void Control::fire(std::string_view name, ValueArray args) {
    std::weak_ptr<Control> self = weak_from_this();
    loop_.post(
        [self, name, args = std::move(args)] {
            if (auto control = self.lock()) control->deliver(name, args);
        },
        0, self);
}

void Control::deliver(std::string_view name, const ValueArray& args) {
    auto keep_alive = shared_from_this();
    sinks_.raise(name, args);
}

// Opens a context, finds the reader, learns whether a card is in and starts watching.
void Control::attach() {
    detach();
    try {
        look_up();
    } catch (...) {
        detach();
        throw;
    }
}

Context Control::open_context() {
    SCARDCONTEXT context = 0;
    if (!note(api_->establish_context(&context)))
        raise_failure("SCardEstablishContext: " + result_text(last_result_));
    return Context(context, {api_.get()});
}

void Control::look_up() {
    Context owned = open_context();
    const SCARDCONTEXT context = owned.get();
    // From here the context belongs to the card worker, which releases it when it ends.
    const uint64_t generation = ++generation_;
    card_worker_ = std::make_unique<CardWorker>(api_, std::move(owned), loop_, weak_from_this());

    std::vector<std::string> readers;
    if (!note(api_->list_readers(context, readers)))
        raise_failure("SCardListReaders: " + result_text(last_result_));
    // Letters of either case alike: a reader's name is typed by a person.
    auto found = std::ranges::find_if(readers, [&](const std::string& name) {
        return std::search(name.begin(), name.end(), reader_part_.begin(), reader_part_.end(),
                           [](char a, char b) { return ascii_lower(a) == ascii_lower(b); }) !=
                   name.end() ||
               reader_part_.empty();
    });
    if (found == readers.end()) {
        note(SCARD_E_UNKNOWN_READER);
        raise_failure("no PC/SC reader named like \"" + reader_part_ +
                      "\": " + result_text(last_result_));
    }
    reader_ = *found;

    SCARD_READERSTATE state{};
    state.szReader = reader_.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    if (!note(api_->get_status_change(context, 0, &state, 1)))
        raise_failure("SCardGetStatusChange: " + result_text(last_result_));
    const DWORD known = state.dwEventState & ~SCARD_STATE_CHANGED;
    card_present_ = (known & SCARD_STATE_PRESENT) != 0;

    Context watching = open_context();
    std::weak_ptr<Control> self = weak_from_this();
    MessageLoop& loop = loop_;
    watcher_ = std::make_unique<Watcher>(
        *api_, std::move(watching), reader_, known,
        [&loop, self, generation](LONG rc, DWORD now, std::vector<BYTE> atr) {
            loop.post_from_any_thread(
                [self, generation, rc, now, atr = std::move(atr)] {
                    if (auto control = self.lock()) control->on_watch(generation, rc, now, atr);
                },
                self);
        });
    device_state_ = "ONLINE";
}

void Control::detach() {
    watcher_.reset();
    card_worker_.reset();
    ++generation_;
    card_present_ = false;
    accepting_ = awaiting_take_ = false;
    device_state_ = "NODEVICE";
}

void Control::drop_card() {
    on_card([](CardLine& line, std::optional<LONG>&, ValueArray&) { line.drop(); }, {});
}

void Control::on_card(Job job, Done outcome) {
    if (!card_worker_) return;
    std::weak_ptr<Control> self = weak_from_this();
    const uint64_t generation = generation_;
    card_worker_->post([job = std::move(job), outcome = std::move(outcome), self,
                        generation](CardLine& line) -> Outcome {
        std::optional<LONG> rc;
        ValueArray reply;
        job(line, rc, reply);
        if (!outcome) return {};
        return [outcome, self, generation, rc, reply = std::move(reply)]() mutable {
            auto control = self.lock();
            if (control && control->generation_ == generation)
                outcome(*control, rc, std::move(reply));
        };
    });
    // On a virtual clock no real time passes between the owner's pumps: a command the
    // worker ends in microseconds would lose the race against a time limit run through in
    // microseconds just the same. There a card's command takes no time: the call lets it
    // finish first, and one still running after a second of real time is a card that does
    // not answer, left to the time limits as on the real clock.
    if (loop_.clock().is_virtual()) card_worker_->settle(std::chrono::seconds(1));
}

void Control::on_watch(uint64_t generation, LONG rc, DWORD state, const std::vector<BYTE>&) {
    if (generation != generation_) return;
    if (rc == SCARD_E_UNKNOWN_READER || (rc == SCARD_S_SUCCESS && reader_gone(state))) {
        note(rc == SCARD_S_SUCCESS ? SCARD_E_READER_UNAVAILABLE : rc);
        drop_card();
        card_present_ = accepting_ = awaiting_take_ = false;
        device_state_ = "NODEVICE";
        fire(ev::name::kConnectionClosed);
        return;
    }
    if (rc != SCARD_S_SUCCESS) {
        note(rc);
        device_state_ = "FATAL";
        fire(ev::name::kFatalError, {Value(static_cast<int32_t>(rc))});
        return;
    }
    card_changed((state & SCARD_STATE_PRESENT) != 0);
}

void Control::card_changed(bool present) {
    if (present == card_present_) return;
    card_present_ = present;
    if (present) {
        if (accepting_) {
            accepting_ = false;
            fire(ev::name::kCardAccepted);
        }
        return;
    }
    drop_card();
    if (awaiting_take_) {
        awaiting_take_ = false;
        fire(ev::name::kCardTaken);
    }
}

void Control::power_up() {
    if (!card_worker_) return fire(ev::name::kChipInvalid, {Value(std::string())});
    on_card(
        [reader = reader_](CardLine& line, std::optional<LONG>& rc, ValueArray& reply) {
            // A second power-up resets the chip, as taking the power away and back would.
            if (line.card) {
                rc = line.api->reconnect(line.card.get(), &line.protocol);
            } else {
                SCARDHANDLE card = 0;
                rc = line.api->connect(line.context.get(), reader, &card, &line.protocol);
                if (rc == SCARD_S_SUCCESS) line.card = Card(card, {line.api.get()});
            }
            std::vector<BYTE> atr;
            if (rc == SCARD_S_SUCCESS) rc = line.api->atr(line.card.get(), atr);
            if (rc != SCARD_S_SUCCESS) return line.drop();
            reply = byte_values(atr);
        },
        [](Control& control, std::optional<LONG> rc, ValueArray reply) {
            control.chip_answer(rc, std::move(reply));
        });
}

// A chip command's outcome: the reply, or ChipInvalid, the PC/SC result kept for
// LastErrorCode when there was one.
void Control::chip_answer(std::optional<LONG> rc, ValueArray reply) {
    if (rc) note(*rc);
    if (rc != SCARD_S_SUCCESS) return fire(ev::name::kChipInvalid, {Value(std::string())});
    fire(ev::name::kChipDataReceived, {Value(std::string()), Value(std::move(reply))});
}

// One command as a terminal exchanges it: 61xx fetches the rest with GET RESPONSE, 6Cxx
// sends the command again with the length the card asked for.
LONG exchange(CardLine& line, std::vector<BYTE> command, std::vector<BYTE>& reply) {
    std::vector<BYTE> collected, response;
    for (int round = 0; round < kMaxExchangeRounds; ++round) {
        const LONG rc = line.api->transmit(line.card.get(), line.protocol, command, response);
        if (rc != SCARD_S_SUCCESS) return rc;
        if (response.size() < 2) break;
        const BYTE sw1 = response[response.size() - 2], sw2 = response.back();
        if (sw1 == 0x6C && command.size() <= 5) {
            command.resize(5);
            command[4] = sw2;
            continue;
        }
        if (sw1 != 0x61) break;
        collected.insert(collected.end(), response.begin(), response.end() - 2);
        command = {static_cast<BYTE>(command[0] & 0x03), 0xC0, 0x00, 0x00, sw2};
    }
    reply = std::move(collected);
    reply.insert(reply.end(), response.begin(), response.end());
    return SCARD_S_SUCCESS;
}

void Control::send(const Value& command) {
    std::vector<BYTE> bytes = command_bytes(command);
    if (!card_worker_) return fire(ev::name::kChipInvalid, {Value(std::string())});
    on_card(
        [bytes = std::move(bytes)](CardLine& line, std::optional<LONG>& rc, ValueArray& reply) {
            if (!line.card) return;  // never powered up, or let go of since
            std::vector<BYTE> answer;
            rc = exchange(line, bytes, answer);
            if (rc != SCARD_S_SUCCESS) return line.drop();
            reply = byte_values(answer);
        },
        [](Control& control, std::optional<LONG> rc, ValueArray reply) {
            control.chip_answer(rc, std::move(reply));
        });
}

Value Control::reset() {
    if (!opened_) {
        fire(ev::name::kDeviceError);
        return {};
    }
    // A reader that went away (or a daemon that failed) is looked up again from scratch.
    if (device_state_ != "ONLINE") {
        try {
            attach();
        } catch (const AutomationError&) {
            fire(ev::name::kDeviceError);
            return {};
        }
    }
    accepting_ = awaiting_take_ = false;
    on_card(
        [](CardLine& line, std::optional<LONG>& rc, ValueArray&) {
            if (!line.card) return;
            rc = line.api->reconnect(line.card.get(), &line.protocol);
            if (rc != SCARD_S_SUCCESS) line.drop();
        },
        [](Control& control, std::optional<LONG> rc, ValueArray) {
            if (rc) control.note(*rc);
            control.fire(ev::name::kResetComplete);
        });
    return {};
}

Value Control::invoke(DispId id, InvokeKind kind, std::span<Value> args) {
    // A handler of an event fired here may let go of the control.
    auto keep_alive = shared_from_this();
    if (auto value = property(id, kind, args)) return std::move(*value);
    return method(id, args);
}

// A chip-card reader has no magnetic tracks, no capture bin and no counter.
std::optional<Value> Control::property(DispId id, InvokeKind kind, std::span<Value> args) {
    if (id >= ctl::kTrack1Status && id < ctl::kTrack1Status + 3) return Value("MISSING");
    if (id >= ctl::kTrack1Data && id < ctl::kTrack1Data + 3) return Value(std::string());
    if (id >= ctl::kWritable1 && id < ctl::kWritable1 + 3) return Value(false);
    switch (id) {
        case ctl::kDeviceName:
            if (kind == InvokeKind::PropertyPut && !args.empty())
                device_name_ = args.back().deref();
            return kind == InvokeKind::PropertyPut ? Value() : device_name_;
        case ctl::kNumber:
            return Value(int32_t{0});
        case ctl::kBinFlag:
            return Value(false);
        case ctl::kDeviceState:
            return Value(device_state_);
        case ctl::kMediaState:
            return Value(card_present_ ? "PRESENT" : "NOMEDIA");
        case ctl::kBinState:
            return Value("BINOK");
        default:
            return std::nullopt;
    }
}

Value Control::method(DispId id, std::span<Value> args) {
    switch (id) {
        case ctl::kOpen:
            opened_ = true;
            attach();
            fire(ev::name::kConnectionOpened);
            return {};
        case ctl::kClose:
            opened_ = false;
            detach();
            return {};
        case ctl::kAcceptAndRead:
            accepting_ = !card_present_;
            if (card_present_) fire(ev::name::kCardAccepted);
            return Value(int32_t{0});
        case ctl::kCancelAccept:
            accepting_ = false;
            fire(ev::name::kCardAcceptCancelled);
            return {};
        case ctl::kEject:
            // No motor: the card is let go of and the person takes it.
            drop_card();
            fire(ev::name::kCardEjected);
            awaiting_take_ = card_present_;
            if (!card_present_) fire(ev::name::kCardTaken);
            return {};
        case ctl::kRetain:
        case ctl::kWriteTrack:
            fire(ev::name::kDeviceError);
            return {};
        case ctl::kClear:
            return Value(int32_t{0});
        case ctl::kCancelWait:
            fire(ev::name::kWaitCancelled);
            return {};
        case ctl::kReset:
            return reset();
        case ctl::kChipInit:
            power_up();
            return {};
        case ctl::kChipSend:
            if (args.size() < 3) raise_bad_param_count();
            send(args[2]);
            return {};
        case ctl::kQuery:
            if (!args.empty() && args[0].deref().v == Value("LastErrorCode").v)
                return Value(result_text(last_result_));
            return Value(std::string());
        default:
            raise_member_not_found();
    }
}

}  // namespace

std::shared_ptr<Object> make_control(MessageLoop& loop, std::string reader_part,
                                     std::shared_ptr<Api> api) {
    return std::make_shared<Control>(loop, std::move(reader_part), std::move(api));
}

std::vector<ReaderInfo> list_readers(Api& api) {
    SCARDCONTEXT raw = 0;
    LONG rc = api.establish_context(&raw);
    if (rc != SCARD_S_SUCCESS)
        throw std::runtime_error("SCardEstablishContext: " + result_text(rc));
    Context context(raw, {&api});
    std::vector<std::string> names;
    rc = api.list_readers(context.get(), names);
    std::vector<ReaderInfo> readers;
    if (rc == SCARD_S_SUCCESS) {
        std::vector<SCARD_READERSTATE> states(names.size());
        for (size_t i = 0; i < names.size(); ++i) {
            states[i].szReader = names[i].c_str();
            states[i].dwCurrentState = SCARD_STATE_UNAWARE;
        }
        if (!states.empty())
            rc = api.get_status_change(context.get(), 0, states.data(),
                                       static_cast<DWORD>(states.size()));
        for (size_t i = 0; rc == SCARD_S_SUCCESS && i < names.size(); ++i) {
            ReaderInfo info;
            info.name = names[i];
            info.card = (states[i].dwEventState & SCARD_STATE_PRESENT) != 0;
            info.mute = (states[i].dwEventState & SCARD_STATE_MUTE) != 0;
            if (info.card)
                info.atr = hex_encode(std::span<const BYTE>(states[i].rgbAtr, states[i].cbAtr));
            readers.push_back(std::move(info));
        }
    }
    context.reset();
    if (rc == SCARD_E_NO_READERS_AVAILABLE) return {};
    if (rc != SCARD_S_SUCCESS) throw std::runtime_error("PC/SC: " + result_text(rc));
    return readers;
}

}  // namespace czqic::pcsc
