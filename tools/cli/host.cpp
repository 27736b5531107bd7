#include "tools/cli/host.h"

#include "panel/panel_form.h"

namespace czqic::cli {

std::optional<PanelItem> Host::panel_item(std::string_view name) {
    const panel::Control* control = panel::find_control(name);
    if (!control || control->kind == panel::ControlKind::Frame) return std::nullopt;
    return control->kind == panel::ControlKind::Button ? PanelItem::Button : PanelItem::TextBox;
}

}  // namespace czqic::cli
