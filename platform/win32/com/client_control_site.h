// An ActiveX control hosted the way a form hosts it: sited (first, when the control asks
// for that), initialised as new, told its host names, answered its ambient properties,
// and in-place activated in the form's hidden window unless it is invisible at run time.
// Teardown runs in reverse. The form connects its handlers between creation and
// activation, so activation is a separate step.
#pragma once

#include <windows.h>

#include <ole2.h>

#include <string>
#include <string_view>

#include "platform/win32/scoped.h"

namespace czqic::win {

class HostSite;

class ControlHosting {
  public:
    // Sites and initialises `control`; `name` is its ProgID or "{CLSID}", which names it
    // on the form. A failing step raises run-time error 429 naming the step.
    ControlHosting(IOleObject* control, std::string_view name);
    // Closes the control if that has not been done, then takes its site away.
    ~ControlHosting();
    ControlHosting(const ControlHosting&) = delete;  // holds the control's site
    ControlHosting& operator=(const ControlHosting&) = delete;

    // In-place activation in the form's hidden window; nothing for a control that is
    // invisible at run time. Raises 429 when the control refuses.
    void activate();
    // Deactivates the control and closes it without saving; later calls do nothing.
    void close();

  private:
    void step(HRESULT hr, const char* what);

    ComPtr<IOleObject> control_;
    std::string name_;
    ComPtr<HostSite> site_;
    ComPtr<IStorage> storage_;
    DWORD misc_ = 0;
    bool active_ = false;
    bool closed_ = false;
};

}  // namespace czqic::win
