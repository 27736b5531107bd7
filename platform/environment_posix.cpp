#include <cstdlib>

#include "platform/environment.h"

namespace czqic {

std::string environment_variable(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

std::string user_setting(const char*) {
    return {};
}

std::string machine_setting(const char*) {
    return {};
}

}  // namespace czqic
