#include "device/host_form.h"

#include <algorithm>

#include "platform/environment.h"
#include "platform/text.h"

namespace czqic {
namespace {

// Forwards the control's events to the form for as long as the form exists; the control
// holds this sink weakly and the sink holds the form weakly, so neither keeps the other.
class ControlEvents final : public EventSink {
  public:
    ControlEvents(FormHost& host, std::weak_ptr<HostForm> form)
        : host_(host), form_(std::move(form)) {}

    void on_event(std::string_view name, std::span<const Value> args) override {
        auto form = form_.lock();
        if (!form || form->unloading()) return;
        try {
            form->handle_event(name, args);
        } catch (const std::exception& e) {
            // A handler stops at its failing step; the control's event delivery is told
            // nothing more than that, so the failure is reported here.
            host_.report("Event " + std::string(name), e);
        }
    }

  private:
    FormHost& host_;
    std::weak_ptr<HostForm> form_;
};

constexpr std::array<const char*, 11> kLoadTexts = {
    "Text1", "Text2", "Text3", "Text4",      "Text5",  "Text6",
    "Text7", "Text8", "Text9", "0084000004", "Text11",
};

}  // namespace

ControlChoice control_choice() {
    if (auto named = environment_variable(kControlProgIdVariable); !named.empty())
        return {named, std::string("environment variable ") + kControlProgIdVariable};
    if (auto named = user_setting(kControlProgIdVariable); !named.empty())
        return {named, std::string("HKCU\\Software\\CZQICCardReader\\") + kControlProgIdVariable};
    return {kControlProgId, "default"};
}

std::string control_progid() {
    return control_choice().progid;
}

const std::array<const char*, 11>& HostForm::load_texts() {
    return kLoadTexts;
}

HostForm::HostForm(FormHost& host)
    : host_(host),
      timer1_(host.loop(), kTimer1IntervalMs, [this] { on_timer1(); }),
      timer2_(host.loop(), kTimer2IntervalMs, [this] { on_timer2(); }) {
    for (size_t i = 0; i < texts_.size(); ++i) texts_[i] = kLoadTexts[i];
}

std::shared_ptr<HostForm> HostForm::load(FormHost& host) {
    std::shared_ptr<HostForm> form(new HostForm(host));
    form->control_ = host.classes().create_as<Dispatch>(control_progid());
    // A control without an event source still loads; it simply never reports.
    form->source_ = std::dynamic_pointer_cast<EventSource>(form->control_);
    if (form->source_) {
        form->sink_ = std::make_shared<ControlEvents>(host, form);
        form->cookie_ = form->source_->advise(form->sink_);
    }
    if (auto shown = std::dynamic_pointer_cast<FormControl>(form->control_)) shown->activate();
    return form;
}

void HostForm::close_control() {
    if (auto shown = std::dynamic_pointer_cast<FormControl>(control_)) shown->close();
}

HostForm::~HostForm() {
    close_control();
    if (source_) source_->unadvise(cookie_);
    sink_.reset();
    source_.reset();
    control_.reset();
}

std::shared_ptr<FormObject> HostForm::own_object_ref() {
    if (!own_object_) own_object_ = host_.create_form_object();
    return own_object_;
}

void HostForm::on_unload() {
    if (unloading_) return;
    unloading_ = true;
    // From here nothing the old control still has queued reaches the handlers.
    timer1_.set_enabled(false);
    timer2_.set_enabled(false);
    // Releasing the form's own object runs its termination, which still calls the control
    // and asks for this unload again; that request finds the unload under way and does
    // nothing.
    auto own = std::move(own_object_);
    own.reset();
    // Then the control goes as a form unloads its controls: closed, then disconnected.
    close_control();
    if (source_) source_->unadvise(cookie_);
    sink_.reset();
}

void HostForm::handle_event(std::string_view name, std::span<const Value> args) {
    const auto handler = std::ranges::find_if(
        ev::kHandled, [name](const ev::Handled& h) { return equals_ignoring_case(h.name, name); });
    if (handler == ev::kHandled.end()) return;
    // The chip's reply is stored before its status value, so an operation that sees the
    // value finds the reply already there; a conversion that fails stores neither.
    const bool chip_data = handler->name == ev::name::kChipDataReceived;
    std::string chip_text;
    if (chip_data) {
        // Take a private copy before converting: the caller's array may be reused.
        if (args.size() < 2)
            raise_runtime_error(rt_error::kSubscriptOutOfRange,
                                "ChipDataReceived: chip data argument missing");
        const Value data = args[1].deref();
        chip_text = host_.chip_reply_text(data);
        host_.chip_card_data = chip_text;
        set_text(11, chip_text);
    }
    int32_t shown = 0;
    switch (handler->word) {
        case ev::Word::Status:
            host_.status_word = handler->value;
            shown = host_.status_word;
            break;
        case ev::Word::Second:
            host_.second_status_word = handler->value;
            shown = host_.second_status_word;
            break;
        case ev::Word::None:
            shown = host_.status_word;
            break;
    }
    // The table's spelling, whatever case the control used.
    host_.log("Event " + std::string(handler->name) + std::to_string(shown));
    if (chip_data) host_.log("mstrChipCardData:" + chip_text);
}

void HostForm::on_timer1() {
    // A tick that comes while an earlier tick's reset still waits is skipped: resets
    // nested inside resets would only pile up on a device that is not answering.
    if (timer1_resetting_) return;
    auto self = shared_from_this();
    try {
        host_.log("CardReaderReset");
        auto own = own_object_ref();
        timer1_resetting_ = true;
        struct Clear {
            bool& flag;
            ~Clear() { flag = false; }
        } clear{timer1_resetting_};
        host_.reset_form_object(*own);
    } catch (const std::exception& e) {
        host_.report("Timer1", e);
    }
}

void HostForm::on_timer2() {
    auto self = shared_from_this();
    try {
        host_.refresh_form(*this);
    } catch (const std::exception& e) {
        host_.report("Timer2", e);
    }
}

}  // namespace czqic
