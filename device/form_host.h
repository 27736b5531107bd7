// What the host form reaches of the layers above it, handed to the form when it loads:
// the process-wide values its handlers write, the text form of chip data, the log,
// where failures go, its own object of the class, and the work its timers do. The
// Runtime is the one host.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include "platform/automation.h"
#include "platform/dispatch.h"
#include "platform/message_loop.h"

namespace czqic {

class HostForm;

// The form's own object of the class (mobjCardReader) as this layer sees it: something
// the form owns, hands to its host for Timer1 and releases on unload.
class FormObject {
  public:
    virtual ~FormObject() = default;
};

class FormHost {
  public:
    // Process-wide values, shared by every object and by the host form.
    int32_t status_word = 0;
    int32_t second_status_word = 0;
    std::string chip_card_data;  // mstrChipCardData

    virtual MessageLoop& loop() = 0;
    virtual ClassRegistry& classes() = 0;
    // A chip's reply (the array ChipDataReceived carries) as the text chip data is kept
    // in, converted as the class converts its commands; failures raise.
    virtual std::string chip_reply_text(const Value& reply) = 0;
    // Writes one line through the process-wide log writer; failures raise.
    virtual int32_t log(std::string_view message) = 0;
    // A failure with no caller to return to (an event handler, a timer tick).
    virtual void report(std::string_view where, const std::exception& e) = 0;
    // Unloads the form; a request made while an unload is under way does nothing.
    virtual void unload_form() = 0;

    // A new object of the class for the form to own; failures raise.
    virtual std::shared_ptr<FormObject> create_form_object() = 0;
    // Timer1's work on the form's own object: a complete reset.
    virtual void reset_form_object(FormObject& object) = 0;
    // Timer2's work on the form: the test panel's status refresh.
    virtual void refresh_form(HostForm& form) = 0;

  protected:
    FormHost() = default;
    ~FormHost() = default;
    FormHost(const FormHost&) = delete;  // the process's one copy of its shared values
    FormHost& operator=(const FormHost&) = delete;
};

}  // namespace czqic
