// The classes Windows itself can create: every registered COM class, by ProgID or CLSID
// through CoCreateInstance. The class table (the contracts a server wraps in its own
// adapter) is asked first.
#include "platform/dispatch.h"
#include "platform/win32/com/client.h"

namespace czqic::platform_classes {

bool exists(std::string_view progid_or_clsid) {
    try {
        win::class_id_of(progid_or_clsid);
        return true;
    } catch (const AutomationError&) {
        return false;
    }
}

std::shared_ptr<Object> create(std::string_view progid_or_clsid) {
    return win::create_com_object(progid_or_clsid);
}

}  // namespace czqic::platform_classes
