#include "platform/dispatch.h"

namespace czqic {

void ClassRegistry::register_class(std::string progid, std::string clsid, Factory factory) {
    if (!progid.empty()) factories_[std::move(progid)] = factory;
    if (!clsid.empty()) factories_[std::move(clsid)] = std::move(factory);
}

void ClassRegistry::unregister_class(std::string_view progid_or_clsid) {
    if (auto it = factories_.find(progid_or_clsid); it != factories_.end()) factories_.erase(it);
}

bool ClassRegistry::has_class(std::string_view progid_or_clsid) const {
    return factories_.find(progid_or_clsid) != factories_.end() ||
           platform_classes::exists(progid_or_clsid);
}

std::shared_ptr<Object> ClassRegistry::create(std::string_view progid_or_clsid) const {
    auto it = factories_.find(progid_or_clsid);
    if (it == factories_.end()) return platform_classes::create(progid_or_clsid);
    std::shared_ptr<Object> object;
    try {
        object = it->second();
    } catch (const AutomationError&) {
        throw;
    } catch (const std::exception& e) {
        raise_runtime_error(rt_error::kCannotCreateObject,
                            "ActiveX component can't create object: " + std::string(e.what()));
    }
    if (!object)
        raise_runtime_error(
            rt_error::kCannotCreateObject,
            "ActiveX component can't create object: " + std::string(progid_or_clsid));
    return object;
}

}  // namespace czqic
