#include "tools/czqic/linux_host.h"

#include <algorithm>
#include <cctype>

#include "component/members.h"
#include "device/host_form.h"
#include "log/file_log_writer.h"
#include "panel/panel_form.h"
#include "tools/czqic/session.h"

namespace czqic::cli {
namespace {

std::unique_ptr<Clock> make_clock(const std::optional<double>& virtual_start) {
    if (virtual_start) return std::make_unique<VirtualClock>(*virtual_start);
    return make_real_clock();
}

bool same_name(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

}  // namespace

LinuxHost::LinuxHost(LinuxHostOptions options)
    : clock_(make_clock(options.virtual_start)),
      loop_(*clock_),
      device_(sim::SimDevice::create(loop_, options.scenario)),
      runtime_(*clock_, loop_, classes_, panel::kFormTimers),
      scenario_(std::move(options.scenario)) {
    device_->on_journal = std::move(options.on_journal);
    device_->register_class(classes_);
    register_file_log_writer(classes_, std::move(options.on_log));
    runtime_.report_failure = std::move(options.on_failure);
}

LinuxHost::~LinuxHost() {
    for (int number : live_objects()) release_object(number);
}

std::optional<MemberShape> LinuxHost::member(std::string_view name) {
    std::optional<MemberShape> shape;
    for (const Member& m : kMembers) {
        if (!same_name(m.name, name)) continue;
        if (!shape) shape.emplace();
        switch (m.kind) {
            case MemberKind::Method:
                shape->method = true;
                break;
            case MemberKind::PropertyGet:
                shape->get = true;
                break;
            case MemberKind::PropertyLet:
                shape->let = true;
                shape->let_type = m.type == ValueType::Long ? ArgType::Long : ArgType::String;
                break;
        }
    }
    return shape;
}

std::optional<std::string> LinuxHost::check_sim_set(std::string_view key, std::string_view value) {
    if (!trial_device_) {
        trial_clock_ = std::make_unique<VirtualClock>();
        trial_loop_ = std::make_unique<MessageLoop>(*trial_clock_);
        trial_device_ = sim::SimDevice::create(*trial_loop_, scenario_);
    }
    try {
        trial_device_->set(key, value);
    } catch (const sim::ScenarioError& e) {
        return e.what();
    }
    return std::nullopt;
}

bool LinuxHost::has_object(int number) const {
    return objects_.contains(number);
}

void LinuxHost::create_object(int number) {
    objects_[number] = ColsZQICCardReader::create(runtime_);
}

void LinuxHost::release_object(int number) {
    auto it = objects_.find(number);
    if (it == objects_.end()) return;
    // Out of the table before the last reference goes, so that whatever the termination
    // runs sees the object as gone.
    ReaderRef last = std::move(it->second);
    objects_.erase(it);
    last.reset();
}

std::vector<int> LinuxHost::live_objects() const {
    std::vector<int> numbers;
    for (const auto& [number, object] : objects_) numbers.push_back(number);
    return numbers;
}

Value LinuxHost::invoke(int number, std::string_view member, InvokeKind kind,
                        std::span<Value> args) {
    return czqic::invoke(*objects_.at(number), member, kind, args);
}

void LinuxHost::pump_for(int64_t ms) {
    loop_.pump_for(ms);
}

void LinuxHost::sim_raise(std::string_view event, std::optional<Value> data) {
    device_->raise(event, std::move(data));
}

void LinuxHost::sim_set(std::string_view key, std::string_view value) {
    device_->set(key, value);
}

// The test panel is the host form itself: its buttons and text boxes by their names.
std::optional<PanelItem> LinuxHost::panel_item(std::string_view name) {
    const panel::Control* control = panel::find_control(name);
    if (!control || control->kind == panel::ControlKind::Frame) return std::nullopt;
    return control->kind == panel::ControlKind::Button ? PanelItem::Button : PanelItem::TextBox;
}

void LinuxHost::panel_click(std::string_view button) {
    // A failing handler ends only itself; like a form's click handler it has no caller to
    // fail, so the failure is reported and the run goes on.
    try {
        panel::click(runtime_.form(), button);
    } catch (const std::exception& e) {
        runtime_.report("panel:" + std::string(button), e);
    }
}

std::string LinuxHost::panel_read(std::string_view text_box) {
    return runtime_.form().text(panel::text_box_number(text_box));
}

std::string LinuxHost::clock_text() {
    return format_time_of_day(clock_->time_of_day());
}

}  // namespace czqic::cli
