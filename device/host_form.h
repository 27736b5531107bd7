// Frm_CardRead, the hidden host form: it owns the vendor control KXCardReader1 and its
// event handlers, the two timers, the test panel's text boxes and the form's own object
// of the class. It is loaded on first touch and unloaded by any object's termination.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "device/control_contract.h"
#include "device/form_host.h"
#include "platform/dispatch.h"
#include "platform/message_loop.h"

namespace czqic {

// The environment variable, and on Windows the per-user value of the same name under
// HKCU\Software\CZQICCardReader, that name another control for labs and tests.
inline constexpr const char* kControlProgIdVariable = "CZQIC_CONTROL_PROGID";
// What the form creates: the variable's ProgID, else the user's value, else the vendor's.
std::string control_progid();
// The same choice with where it came from, for a person checking a terminal.
struct ControlChoice {
    std::string progid;
    std::string source;  // "environment variable ...", "HKCU\...\..." or "default"
};
ControlChoice control_choice();

inline constexpr int64_t kTimer1IntervalMs = 30000;
inline constexpr int64_t kTimer2IntervalMs = 1000;

class HostForm : public std::enable_shared_from_this<HostForm> {
  public:
    // Loads the form: creates KXCardReader1 by its ProgID and connects the handlers;
    // both timers off, text boxes at their load texts, no object of its own yet.
    static std::shared_ptr<HostForm> load(FormHost& host);
    ~HostForm();
    HostForm(const HostForm&) = delete;  // one form per load
    HostForm& operator=(const HostForm&) = delete;

    FormHost& host() { return host_; }
    Dispatch& control() { return *control_; }
    Timer& timer1() { return timer1_; }
    Timer& timer2() { return timer2_; }

    // Text1 .. Text11 (index 1 .. 11).
    const std::string& text(int box) const { return texts_.at(box - 1); }
    void set_text(int box, std::string value) { texts_.at(box - 1) = std::move(value); }
    static const std::array<const char*, 11>& load_texts();

    // mobjCardReader, created by the host on first use. Callers that run an operation on
    // it hold the reference, so an unload during the operation's wait cannot free it
    // under them.
    std::shared_ptr<FormObject> own_object_ref();
    bool has_own_object() const { return own_object_ != nullptr; }
    int32_t mlngResult = 0;

    // The control's events, bound by name without regard to case, as Visual Basic binds
    // them (a type library keeps one spelling of a name whatever case other uses of it
    // have). Unknown names are ignored. A failing handler
    // stops at the failing step and its failure propagates to the caller.
    void handle_event(std::string_view name, std::span<const Value> args);

    // The unload handler; the host calls it once per unload, before the form goes.
    void on_unload();
    bool unloading() const { return unloading_; }

  private:
    explicit HostForm(FormHost& host);
    void close_control();
    void on_timer1();
    void on_timer2();

    FormHost& host_;
    std::shared_ptr<Dispatch> control_;
    std::shared_ptr<EventSink> sink_;
    std::shared_ptr<EventSource> source_;
    uint32_t cookie_ = 0;
    Timer timer1_;
    Timer timer2_;
    std::array<std::string, 11> texts_;
    std::shared_ptr<FormObject> own_object_;
    bool unloading_ = false;
    bool timer1_resetting_ = false;
};

}  // namespace czqic
