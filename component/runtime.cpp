#include "component/runtime.h"

#include "component/chip_data.h"
#include "component/reader.h"
#include "device/host_form.h"
#include "log/log_writer.h"
#include "platform/environment.h"

namespace czqic {

WaitMode wait_mode_setting() {
    std::string value = environment_variable("CZQIC_WAIT");
    if (value.empty()) value = machine_setting("Wait");
    return value == "responsive" ? WaitMode::Responsive : WaitMode::Standard;
}

Runtime::Runtime(Clock& clock, MessageLoop& loop, ClassRegistry& classes, FormTimers timers)
    : clock_(clock), loop_(loop), classes_(classes), timers_(timers) {}

Runtime::~Runtime() {
    // The library going away unloads the form like any termination would, so the form's
    // own object still gets its termination and nothing of the control outlives us.
    unload_form();
}

HostForm& Runtime::form() {
    return *form_ref();
}

std::shared_ptr<HostForm> Runtime::form_ref() {
    if (!form_) form_ = HostForm::load(*this);
    return form_;
}

void Runtime::unload_form() {
    if (!form_ || form_->unloading()) return;
    // Keep the form alive through its unload handler, which may ask again for the unload
    // (the form's own object terminates) or touch the form.
    auto form = form_;
    form->on_unload();
    if (form_ == form) form_.reset();
}

std::shared_ptr<FormObject> Runtime::create_form_object() {
    return ColsZQICCardReader::create(*this);
}

void Runtime::reset_form_object(FormObject& object) {
    // The form's own object is always one this Runtime created.
    timers_.reset(static_cast<ColsZQICCardReader&>(object));
}

void Runtime::refresh_form(HostForm& form) {
    timers_.refresh(form);
}

int32_t Runtime::log(std::string_view message) {
    if (!log_writer_) log_writer_ = classes_.create_as<LogWriter>(kLogWriterClsid);
    // Hold our own reference: a termination during the call may clear the shared one.
    auto writer = log_writer_;
    return writer->WriteLog(kLogPath, std::string(message), kLogTag);
}

std::string Runtime::chip_reply_text(const Value& reply) {
    return chip_reply_to_text(reply);
}

void Runtime::clear_log_writer() {
    log_writer_.reset();
}

void Runtime::report(std::string_view where, const std::exception& e) {
    if (!report_failure) return;
    if (auto* ae = dynamic_cast<const AutomationError*>(&e))
        report_failure(where, ae->description());
    else
        report_failure(where, e.what());
}

}  // namespace czqic
