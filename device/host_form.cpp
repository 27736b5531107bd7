#include "device/host_form.h"

#include <algorithm>

#include "chip/hex.h"
#include "component/reader.h"
#include "component/runtime.h"
#include "panel/test_panel.h"
#include "platform/environment.h"

namespace czqic {
namespace {

// Forwards the control's events to the form for as long as the form exists; the control
// holds this sink weakly and the sink holds the form weakly, so neither keeps the other.
class ControlEvents final : public EventSink {
  public:
    ControlEvents(Runtime& rt, std::weak_ptr<HostForm> form) : rt_(rt), form_(std::move(form)) {}

    void on_event(std::string_view name, std::span<const Value> args) override {
        auto form = form_.lock();
        if (!form || form->unloading()) return;
        try {
            form->handle_event(name, args);
        } catch (const std::exception& e) {
            // A handler stops at its failing step; the control's event delivery is told
            // nothing more than that, so the failure is reported here.
            rt_.report("Event " + std::string(name), e);
        }
    }

  private:
    Runtime& rt_;
    std::weak_ptr<HostForm> form_;
};

enum class Word { Status, Second, None };

struct Handler {
    std::string_view event;
    Word word;      // the word the handler writes and then logs
    int32_t value;  // what it stores (unused for Word::None)
};

// The handled events in the control's order. CardEjected and WaitCancelled store
// nothing and log the status word as it stands.
constexpr Handler kHandlers[] = {
    {"CardAccepted", Word::Status, 405},
    {"CardInvalid", Word::Status, 407},
    {"CardAcceptCancelled", Word::Second, 416},
    {"CardTaken", Word::Status, 411},
    {"CardCaptured", Word::Status, 412},
    {"CardEjected", Word::None, 0},
    {"Timeout", Word::Status, 10120001},
    {"DeviceError", Word::Status, 23},
    {"CardRead", Word::Status, 419},
    {"CardWritten", Word::Status, 409},
    {"FatalError", Word::Status, 23},
    {"ConnectionOpened", Word::Status, 403},
    {"ConnectionClosed", Word::Status, 23},
    {"ChipDataReceived", Word::Status, 461},
    {"ChipInvalid", Word::Status, 462},
    {"WaitCancelled", Word::None, 0},
    {"ResetComplete", Word::Status, 404},
};

constexpr std::array<const char*, 11> kLoadTexts = {
    "Text1", "Text2", "Text3", "Text4",      "Text5",  "Text6",
    "Text7", "Text8", "Text9", "0084000004", "Text11",
};

bool same_name(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return std::ranges::equal(a, b, {}, lower, lower);
}

}  // namespace

std::string control_progid() {
    if (auto named = environment_variable(kControlProgIdVariable); !named.empty()) return named;
    if (auto named = user_setting(kControlProgIdVariable); !named.empty()) return named;
    return kControlProgId;
}

const std::array<const char*, 11>& HostForm::load_texts() {
    return kLoadTexts;
}

HostForm::HostForm(Runtime& rt)
    : rt_(rt),
      timer1_(rt.loop(), kTimer1IntervalMs, [this] { on_timer1(); }),
      timer2_(rt.loop(), kTimer2IntervalMs, [this] { on_timer2(); }) {
    for (size_t i = 0; i < texts_.size(); ++i) texts_[i] = kLoadTexts[i];
}

std::shared_ptr<HostForm> HostForm::load(Runtime& rt) {
    std::shared_ptr<HostForm> form(new HostForm(rt));
    form->control_ = rt.classes().create_as<Dispatch>(control_progid());
    // A control without an event source still loads; it simply never reports.
    form->source_ = std::dynamic_pointer_cast<EventSource>(form->control_);
    if (form->source_) {
        form->sink_ = std::make_shared<ControlEvents>(rt, form);
        form->cookie_ = form->source_->advise(form->sink_);
    }
    return form;
}

HostForm::~HostForm() {
    if (source_) source_->unadvise(cookie_);
    sink_.reset();
    source_.reset();
    control_.reset();
}

std::shared_ptr<ColsZQICCardReader> HostForm::own_reader_ref() {
    if (!own_reader_) own_reader_ = ColsZQICCardReader::create(rt_);
    return own_reader_;
}

void HostForm::on_unload() {
    if (unloading_) return;
    unloading_ = true;
    // The handlers go first: nothing the old control still has queued reaches us.
    if (source_) source_->unadvise(cookie_);
    sink_.reset();
    timer1_.set_enabled(false);
    timer2_.set_enabled(false);
    // Releasing the form's own object runs its termination, which asks for this unload
    // again; that request finds the unload under way and does nothing.
    auto own = std::move(own_reader_);
    own.reset();
}

void HostForm::handle_event(std::string_view name, std::span<const Value> args) {
    if (same_name(name, "ChipDataReceived")) {
        // Take a private copy before converting: the caller's array may be reused.
        if (args.size() < 2)
            raise_runtime_error(rt_error::kSubscriptOutOfRange,
                                "ChipDataReceived: chip data argument missing");
        const Value data = args[1].deref();
        std::string text = chip_reply_to_text(data);
        rt_.chip_card_data = text;
        set_text(11, text);
        rt_.status_word = 461;
        rt_.log("Event ChipDataReceived" + std::to_string(rt_.status_word));
        rt_.log("mstrChipCardData:" + text);
        return;
    }
    for (const Handler& h : kHandlers) {
        if (!same_name(h.event, name)) continue;
        int32_t shown = 0;
        switch (h.word) {
            case Word::Status:
                rt_.status_word = h.value;
                shown = rt_.status_word;
                break;
            case Word::Second:
                rt_.second_status_word = h.value;
                shown = rt_.second_status_word;
                break;
            case Word::None:
                shown = rt_.status_word;
                break;
        }
        rt_.log("Event " + std::string(h.event) + std::to_string(shown));
        return;
    }
}

void HostForm::on_timer1() {
    // A tick that comes while an earlier tick's reset still waits is skipped: resets
    // nested inside resets would only pile up on a device that is not answering.
    if (timer1_resetting_) return;
    auto self = shared_from_this();
    try {
        rt_.log("CardReaderReset");
        auto reader = own_reader_ref();
        timer1_resetting_ = true;
        struct Clear {
            bool& flag;
            ~Clear() { flag = false; }
        } clear{timer1_resetting_};
        reader->CardReaderReset();
    } catch (const std::exception& e) {
        rt_.report("Timer1", e);
    }
}

void HostForm::on_timer2() {
    auto self = shared_from_this();
    try {
        panel::status_refresh(*this);
    } catch (const std::exception& e) {
        rt_.report("Timer2", e);
    }
}

}  // namespace czqic
