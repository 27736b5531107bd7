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

#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/message_loop.h"

namespace czqic {

class HostForm;
class LogWriter;

inline constexpr int32_t kPending = 10120100;

class Runtime {
  public:
    Runtime(Clock& clock, MessageLoop& loop, ClassRegistry& classes);
    ~Runtime();
    Runtime(const Runtime&) = delete;  // the process's one copy of its shared values
    Runtime& operator=(const Runtime&) = delete;

    Clock& clock() { return clock_; }
    MessageLoop& loop() { return loop_; }
    ClassRegistry& classes() { return classes_; }

    // Process-wide values, shared by every object and by the host form.
    int32_t status_word = 0;
    int32_t second_status_word = 0;
    std::string chip_card_data;  // mstrChipCardData

    // The host form, created and loaded on first touch.
    HostForm& form();
    std::shared_ptr<HostForm> form_ref();
    bool form_loaded() const { return form_ != nullptr; }
    // Unloads the form; a request made while an unload is under way does nothing.
    void unload_form();

    // Writes one message through the process-wide log writer, creating it on first use;
    // returns what WriteLog returned. Failures raise AutomationError.
    int32_t log(std::string_view message);
    void clear_log_writer();
    bool has_log_writer() const { return log_writer_ != nullptr; }

    // Where failures go that have no caller to return to: a failed termination, an event
    // handler or a timer tick that stopped. The command line prints them on stderr.
    std::function<void(std::string_view where, std::string_view description)> report_failure;
    void report(std::string_view where, const std::exception& e);

  private:
    Clock& clock_;
    MessageLoop& loop_;
    ClassRegistry& classes_;
    std::shared_ptr<HostForm> form_;
    std::shared_ptr<LogWriter> log_writer_;
};

}  // namespace czqic
