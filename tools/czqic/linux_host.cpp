#include "tools/czqic/linux_host.h"

#include "component/members.h"
#include "device/host_form.h"
#include "log/card_data.h"
#include "panel/panel_form.h"
#include "platform/text.h"

namespace czqic::cli {
namespace {

std::unique_ptr<Clock> make_clock(const std::optional<double>& virtual_start) {
    if (virtual_start) return std::make_unique<VirtualClock>(*virtual_start);
    return make_real_clock();
}

}  // namespace

LinuxHost::LinuxHost(LinuxHostOptions options)
    : NumberedHost(sim_reader_),
      process_(make_clock(options.virtual_start), options.scenario, options.reader),
      sim_reader_(*process_.device, std::move(options.scenario)) {
    // Lines go to on_journal as they happen (--calls); nothing here reads them later.
    process_.device->keep_journal(false);
    process_.device->on_journal = std::move(options.on_journal);
    if (options.file_log) {
        process_.use_file_log_writer(std::move(options.on_log));
    } else {
        process_.use_log_function([tap = std::move(options.on_log)](const std::string&,
                                                                    const std::string& message,
                                                                    const std::string&) {
            if (tap) tap(stored_log_message(message));
            return 0;
        });
    }
    process_.rt.report_failure = std::move(options.on_failure);
}

LinuxHost::~LinuxHost() {
    release_all();
}

std::optional<MemberShape> LinuxHost::member(std::string_view name) {
    std::optional<MemberShape> shape;
    for (const Member& m : kMembers) {
        if (!equals_ignoring_case(m.name, name)) continue;
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

Value LinuxHost::call(ReaderRef& object, std::string_view member, InvokeKind kind,
                      std::span<Value> args) {
    return czqic::invoke(*object, member, kind, args);
}

void LinuxHost::panel_click(std::string_view button) {
    // A failing handler ends only itself; like a form's click handler it has no caller to
    // fail, so the failure is reported and the run goes on.
    try {
        panel::click(process_.rt.form(), button);
    } catch (const std::exception& e) {
        process_.rt.report("panel:" + std::string(button), e);
    }
}

std::string LinuxHost::panel_read(std::string_view text_box) {
    return process_.rt.form().text(panel::text_box_number(text_box));
}

}  // namespace czqic::cli
