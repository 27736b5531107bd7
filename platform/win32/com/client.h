// Registered COM classes behind the platform's late-bound seams: an object created with
// CoCreateInstance is a Dispatch called by DISPID through IDispatch::Invoke and, when its
// class names a default source interface, an EventSource whose events reach the sink by
// name. A control that exposes IOleObject is hosted as a form hosts its controls
// (client_control_site.h) and is a FormControl.
#pragma once

#include <memory>
#include <string_view>

#include "platform/dispatch.h"
#include "platform/win32/scoped.h"

namespace czqic::win {

// CoCreateInstance by ProgID or "{CLSID}"; raises run-time error 429 when the class is not
// registered or refuses, with the reason.
std::shared_ptr<Object> create_com_object(std::string_view progid_or_clsid);

// The object itself, for a client that calls it through its own interface.
ComPtr<IDispatch> create_dispatch(std::string_view progid_or_clsid);

// The CLSID for a ProgID or "{CLSID}" text; raises 429 when there is none.
CLSID class_id_of(std::string_view progid_or_clsid);

// Wraps an object already created; name (its ProgID or "{CLSID}") names it on the form.
std::shared_ptr<Object> wrap_com_object(ComPtr<IDispatch> object, std::string_view name);

}  // namespace czqic::win
