#include "tools/assembly/in_process.h"

#include "device/control_contract.h"
#include "log/file_log_writer.h"
#include "pcsc/pcsc_control.h"

namespace czqic {

sim::Scenario scenario_or_builtin(const std::string& json) {
    return json.empty() ? sim::builtin_scenario() : sim::parse_scenario(json);
}

std::shared_ptr<Object> make_control(MessageLoop& loop, const ReaderSpec& reader,
                                     sim::SimDevice& device) {
    if (reader.pcsc) return pcsc::make_control(loop, reader.pcsc_reader);
    return device.create_control();
}

InProcess::InProcess(std::unique_ptr<Clock> owned, sim::Scenario scenario, ReaderSpec reader)
    : owned_clock_(std::move(owned)), clock(*owned_clock_) {
    device = sim::SimDevice::create(loop, std::move(scenario));
    if (reader.pcsc)
        classes.register_class(kControlProgId, "",
                               [this, reader] { return make_control(loop, reader, *device); });
    else
        device->register_class(classes);
    rt.report_failure = [this](std::string_view where, std::string_view description) {
        failures.push_back(std::string(where) + ": " + std::string(description));
    };
}

InProcess::~InProcess() {
    rt.unload_form();
}

void InProcess::use_log_writer(std::function<std::shared_ptr<LogWriter>()> make) {
    classes.register_class(kLogWriterProgId, kLogWriterClsid, std::move(make));
}

void InProcess::use_log_function(FunctionLogWriter::Write write) {
    use_log_writer(
        [write = std::move(write)] { return std::make_shared<FunctionLogWriter>(write); });
}

void InProcess::use_file_log_writer(std::function<void(const std::string& message)> tap) {
    register_file_log_writer(classes, std::move(tap),
                             clock.is_virtual() ? log_time_of(clock) : FileLogWriter::Now{});
}

}  // namespace czqic
