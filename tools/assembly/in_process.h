// One process's worth of component on this thread: a clock, the thread's message loop,
// the class table with the vendor control (the simulated reader, or a PC/SC reader) and
// the log writer its user picks, and the Runtime over them. The tests, the benchmarks, the fuzz
// targets and the Linux command line all assemble the component through this one class.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "component/reader.h"
#include "component/runtime.h"
#include "log/log_writer.h"
#include "panel/panel_form.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/message_loop.h"
#include "sim/sim_reader.h"

namespace czqic {

// The scenario read from JSON over the built-in reader; empty text is the built-in reader.
sim::Scenario scenario_or_builtin(const std::string& json);

// Which control the component hosts: the simulated reader, or the PC/SC control on the
// first reader whose name contains pcsc_reader (the first reader when it is empty).
struct ReaderSpec {
    bool pcsc = false;
    std::string pcsc_reader;
};
// A new instance of the control the reader choice names, answering the vendor control's
// contract; the simulated reader's instances are made on device.
std::shared_ptr<Object> make_control(MessageLoop& loop, const ReaderSpec& reader,
                                     sim::SimDevice& device);

// A log writer that hands every message to a function, for users that keep the log in
// memory, count it or make it fail instead of writing a file.
class FunctionLogWriter final : public LogWriter {
  public:
    using Write = std::function<int32_t(const std::string& path, const std::string& message,
                                        const std::string& tag)>;
    explicit FunctionLogWriter(Write write) : write_(std::move(write)) {}
    int32_t WriteLog(const std::string& path, const std::string& message,
                     const std::string& tag) override {
        return write_(path, message, tag);
    }

  private:
    Write write_;
};

class InProcess {
  public:
    // Failures the Runtime reports are kept in `failures` until report_failure is replaced.
    // No log writer is registered yet: the user picks one with a use_* call.
    // The simulated device is made from scenario whichever reader is chosen.
    InProcess(std::unique_ptr<Clock> clock, sim::Scenario scenario, ReaderSpec reader = {});
    // Unloads the form while the loop, the class table and the device are all still here.
    ~InProcess();
    InProcess(const InProcess&) = delete;  // the Runtime and the loop refer into this object
    InProcess& operator=(const InProcess&) = delete;

    ReaderRef make_reader() { return ColsZQICCardReader::create(rt); }

    // The log writer the component creates by its ProgID: whatever make returns, each time.
    void use_log_writer(std::function<std::shared_ptr<LogWriter>()> make);
    // A FunctionLogWriter over write for each writer the component creates.
    void use_log_function(FunctionLogWriter::Write write);
    // The file log writer; tap, when set, sees each message once it is in the file. With
    // a virtual clock its lines carry the clock's time of day (log_time_of).
    void use_file_log_writer(std::function<void(const std::string& message)> tap = {});

  private:
    std::unique_ptr<Clock> owned_clock_;

  public:
    Clock& clock;
    MessageLoop loop{clock};
    ClassRegistry classes;
    std::shared_ptr<sim::SimDevice> device;
    std::vector<std::string> failures;  // "where: description", as the Runtime reported them
    Runtime rt{clock, loop, classes, panel::kFormTimers};
};

}  // namespace czqic
