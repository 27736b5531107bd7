#include "pcsc/pcsc_control.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include "device/control_contract.h"
#include "platform/hex.h"

namespace czqic::pcsc {
namespace {

constexpr uint32_t kEInvalidArg = 0x80070057u;
// GET RESPONSE and resend rounds one exchange may take before the card is deemed stuck.
constexpr int kMaxExchangeRounds = 32;

[[noreturn]] void raise_failure(const std::string& description) {
    throw AutomationError(static_cast<int32_t>(kEFail), kEFail, description);
}

ValueArray byte_values(const std::vector<BYTE>& bytes) {
    ValueArray values;
    for (BYTE b : bytes) values.emplace_back(static_cast<double>(b));
    return values;
}

// The command of a chip send: an array of byte values, as Doubles or any number.
std::vector<BYTE> command_bytes(const Value& arg) {
    const Value& v = arg.deref();
    if (!v.is_array())
        throw AutomationError(kEInvalidArg, kEInvalidArg, "The command is not an array");
    std::vector<BYTE> bytes;
    if (const auto* compact = std::get<Value::Array>(v.v).bytes()) {
        bytes.assign(compact->begin(), compact->end());
    } else {
        for (const Value& element : v.elements()) {
            const double x = to_r8(element);
            if (!(x >= 0 && x <= 255) || x != std::floor(x))
                throw AutomationError(kEInvalidArg, kEInvalidArg,
                                      "The command holds a value that is not a byte");
            bytes.push_back(static_cast<BYTE>(x));
        }
    }
    if (bytes.size() < 4)
        throw AutomationError(kEInvalidArg, kEInvalidArg, "The command is shorter than a header");
    return bytes;
}

bool reader_gone(DWORD state) {
    return (state & (SCARD_STATE_UNKNOWN | SCARD_STATE_IGNORE)) != 0;
}

// The worker: waits in SCardGetStatusChange on a context of its own and reports every
// change of the one reader it watches. It holds nothing the owner reads.
class Watcher {
  public:
    using Report = std::function<void(LONG result, DWORD state, std::vector<BYTE> atr)>;

    Watcher(Api& api, SCARDCONTEXT context, std::string reader, DWORD known, Report report)
        : api_(api), context_(context), reader_(std::move(reader)), report_(std::move(report)) {
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
            api_.cancel(context_);
            finished_.wait_for(hold, std::chrono::milliseconds(20), [this] { return done_; });
        }
        hold.unlock();
        thread_.join();
        api_.release_context(context_);
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
            const LONG rc = api_.get_status_change(context_, INFINITE, &state, 1);
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
    const SCARDCONTEXT context_;
    const std::string reader_;
    const Report report_;
    std::mutex lock_;
    std::condition_variable finished_;
    bool stopping_ = false;  // guarded by lock_
    bool done_ = false;      // guarded by lock_
    std::thread thread_;     // last: started once everything it uses is there
};

class Control final : public Dispatch,
                      public EventSource,
                      public std::enable_shared_from_this<Control> {
  public:
    Control(MessageLoop& loop, std::string reader_part, std::shared_ptr<Api> api)
        : loop_(loop), api_(std::move(api)), reader_part_(std::move(reader_part)) {}
    ~Control() override { detach(); }

    Value invoke(DispId id, InvokeKind kind, std::span<Value> args) override;

    uint32_t advise(std::weak_ptr<EventSink> sink) override {
        return sinks_.advise(std::move(sink));
    }
    void unadvise(uint32_t cookie) override { sinks_.unadvise(cookie); }

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
    void detach();
    void drop_card();
    void on_watch(uint64_t generation, LONG rc, DWORD state, const std::vector<BYTE>& atr);
    void card_changed(bool present);

    void power_up();
    void send(const Value& command);
    LONG exchange(std::vector<BYTE> command, std::vector<BYTE>& reply);
    Value reset();

    MessageLoop& loop_;
    const std::shared_ptr<Api> api_;
    const std::string reader_part_;
    EventSinks sinks_;
    Value device_name_ = Value(std::string());

    bool opened_ = false;  // between open and close, whatever became of the reader
    std::optional<SCARDCONTEXT> context_;
    std::string reader_;
    std::string device_state_ = "NODEVICE";
    bool card_present_ = false;
    bool accepting_ = false;
    bool awaiting_take_ = false;
    std::optional<SCARDHANDLE> card_;
    DWORD protocol_ = 0;
    LONG last_result_ = SCARD_S_SUCCESS;
    // Reports of a watcher that has been replaced are stale: each carries its watcher's
    // generation and only the current one's are taken.
    uint64_t generation_ = 0;
    std::unique_ptr<Watcher> watcher_;
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

void Control::look_up() {
    SCARDCONTEXT context = 0;
    if (!note(api_->establish_context(&context)))
        raise_failure("SCardEstablishContext: " + result_text(last_result_));
    context_ = context;

    std::vector<std::string> readers;
    if (!note(api_->list_readers(context, readers)))
        raise_failure("SCardListReaders: " + result_text(last_result_));
    auto found = std::ranges::find_if(readers, [&](const std::string& name) {
        return name.find(reader_part_) != std::string::npos;
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

    SCARDCONTEXT watching = 0;
    if (!note(api_->establish_context(&watching)))
        raise_failure("SCardEstablishContext: " + result_text(last_result_));
    std::weak_ptr<Control> self = weak_from_this();
    const uint64_t generation = ++generation_;
    MessageLoop& loop = loop_;
    watcher_ = std::make_unique<Watcher>(
        *api_, watching, reader_, known,
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
    ++generation_;
    drop_card();
    if (context_) api_->release_context(*context_);
    context_.reset();
    card_present_ = false;
    accepting_ = awaiting_take_ = false;
    device_state_ = "NODEVICE";
}

void Control::drop_card() {
    if (card_) api_->disconnect(*card_);
    card_.reset();
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
    if (!context_) return fire(ev::name::kChipInvalid, {Value(std::string())});
    // A second power-up resets the chip, as taking the power away and back would.
    const LONG rc = card_ ? api_->reconnect(*card_, &protocol_) : [&] {
        SCARDHANDLE card = 0;
        const LONG r = api_->connect(*context_, reader_, &card, &protocol_);
        if (r == SCARD_S_SUCCESS) card_ = card;
        return r;
    }();
    std::vector<BYTE> atr;
    if (!note(rc) || !note(api_->atr(*card_, atr))) {
        drop_card();
        return fire(ev::name::kChipInvalid, {Value(std::string())});
    }
    fire(ev::name::kChipDataReceived, {Value(std::string()), Value(byte_values(atr))});
}

// One command as a terminal exchanges it: 61xx fetches the rest with GET RESPONSE, 6Cxx
// sends the command again with the length the card asked for.
LONG Control::exchange(std::vector<BYTE> command, std::vector<BYTE>& reply) {
    std::vector<BYTE> collected, response;
    for (int round = 0; round < kMaxExchangeRounds; ++round) {
        const LONG rc = api_->transmit(*card_, protocol_, command, response);
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
    if (!card_) return fire(ev::name::kChipInvalid, {Value(std::string())});
    std::vector<BYTE> reply;
    if (!note(exchange(std::move(bytes), reply))) {
        drop_card();
        return fire(ev::name::kChipInvalid, {Value(std::string())});
    }
    fire(ev::name::kChipDataReceived, {Value(std::string()), Value(byte_values(reply))});
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
    if (card_ && !note(api_->reconnect(*card_, &protocol_))) drop_card();
    accepting_ = awaiting_take_ = false;
    fire(ev::name::kResetComplete);
    return {};
}

Value Control::invoke(DispId id, InvokeKind kind, std::span<Value> args) {
    auto keep_alive = shared_from_this();
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
            if (args.size() < 3)
                throw AutomationError(450, kDispEBadParamCount, "Invalid number of parameters");
            send(args[2]);
            return {};
        case ctl::kQuery:
            if (!args.empty() && args[0].deref().v == Value("LastErrorCode").v)
                return Value(result_text(last_result_));
            return Value(std::string());
        default:
            throw AutomationError(rt_error::kNoSuchMember, kDispEMemberNotFound,
                                  "Member not found");
    }
}

}  // namespace

std::shared_ptr<Object> make_control(MessageLoop& loop, std::string reader_part,
                                     std::shared_ptr<Api> api) {
    return std::make_shared<Control>(loop, std::move(reader_part), std::move(api));
}

std::vector<ReaderInfo> list_readers(Api& api) {
    SCARDCONTEXT context = 0;
    LONG rc = api.establish_context(&context);
    if (rc != SCARD_S_SUCCESS)
        throw std::runtime_error("SCardEstablishContext: " + result_text(rc));
    std::vector<std::string> names;
    rc = api.list_readers(context, names);
    std::vector<ReaderInfo> readers;
    if (rc == SCARD_S_SUCCESS) {
        std::vector<SCARD_READERSTATE> states(names.size());
        for (size_t i = 0; i < names.size(); ++i) {
            states[i].szReader = names[i].c_str();
            states[i].dwCurrentState = SCARD_STATE_UNAWARE;
        }
        if (!states.empty())
            rc =
                api.get_status_change(context, 0, states.data(), static_cast<DWORD>(states.size()));
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
    api.release_context(context);
    if (rc == SCARD_E_NO_READERS_AVAILABLE) return {};
    if (rc != SCARD_S_SUCCESS) throw std::runtime_error("PC/SC: " + result_text(rc));
    return readers;
}

}  // namespace czqic::pcsc
