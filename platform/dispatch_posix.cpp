// On posix the class table is all there is: a name it does not hold names no class.
#include "platform/dispatch.h"

namespace czqic::platform_classes {

bool exists(std::string_view) {
    return false;
}

std::shared_ptr<Object> create(std::string_view progid_or_clsid) {
    raise_runtime_error(rt_error::kCannotCreateObject,
                        "ActiveX component can't create object: " + std::string(progid_or_clsid) +
                            " is not registered");
}

}  // namespace czqic::platform_classes
