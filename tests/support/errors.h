// The run-time error a call raised, for the cases that look at its number, HRESULT or
// description.
#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "platform/automation.h"

namespace czqic::testing {

// The error a call raised; a failure of the case when it raised none.
inline AutomationError error_from(const std::function<void()>& call) {
    try {
        call();
    } catch (const AutomationError& e) {
        return e;
    }
    ADD_FAILURE() << "the call raised no error";
    return AutomationError(0, 0, "");
}

}  // namespace czqic::testing
