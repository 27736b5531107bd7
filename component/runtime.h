// Everything the component keeps once per process: the status words, the chip data
// text, the host form and the log writer, plus the platform services of the owning
// thread. In the DLL there is one of these; tests make a fresh one per case.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "device/form_host.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/message_loop.h"

namespace czqic {

class ColsZQICCardReader;
class HostForm;
class LogWriter;

// The wait mode a host chose: CZQIC_WAIT in the environment, or else on Windows the
// machine's Wait setting; "responsive" is WaitMode::Responsive, anything else Standard.
WaitMode wait_mode_setting();

// What the host form's timers run: the refresh lives above this layer (in the test
// panel), and a host may wrap either tick's work (the Windows one marks the tick), so
// whoever builds the Runtime hands it in; panel/panel_form.h holds the pair every host
// uses.
struct FormTimers {
    int32_t (*reset)(ColsZQICCardReader& own_object);  // Timer1
    void (*refresh)(HostForm& form);                   // Timer2
};

class Runtime final : public FormHost {
  public:
    Runtime(Clock& clock, MessageLoop& loop, ClassRegistry& classes, FormTimers timers);
    ~Runtime();

    Clock& clock() { return clock_; }
    // Read once, when the Runtime is made: every wait in the process sleeps the same way.
    WaitMode wait_mode() const { return wait_mode_; }
    MessageLoop& loop() override { return loop_; }
    ClassRegistry& classes() override { return classes_; }

    // The host form, created and loaded on first touch.
    HostForm& form();
    std::shared_ptr<HostForm> form_ref();
    bool form_loaded() const { return form_ != nullptr; }
    // Unloads the form; a request made while an unload is under way does nothing.
    void unload_form() override;

    // Writes one message through the process-wide log writer, creating it on first use;
    // returns what WriteLog returned. Failures raise AutomationError.
    int32_t log(std::string_view message) override;
    std::string chip_reply_text(const Value& reply) override;
    void clear_log_writer();
    bool has_log_writer() const { return log_writer_ != nullptr; }

    // Where failures go that have no caller to return to: a failed termination, an event
    // handler or a timer tick that stopped. The command line prints them on stderr.
    std::function<void(std::string_view where, std::string_view description)> report_failure;
    void report(std::string_view where, const std::exception& e) override;

  private:
    std::shared_ptr<FormObject> create_form_object() override;
    void reset_form_object(FormObject& object) override;
    void refresh_form(HostForm& form) override;

    Clock& clock_;
    MessageLoop& loop_;
    ClassRegistry& classes_;
    FormTimers timers_;
    WaitMode wait_mode_ = wait_mode_setting();
    std::shared_ptr<HostForm> form_;
    std::shared_ptr<LogWriter> log_writer_;
};

}  // namespace czqic
