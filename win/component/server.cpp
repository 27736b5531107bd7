// The exports of the in-process server CZQICCardReader.dll: the four of every server, and
// the host form's test panel for czqic.exe (the form is the component's own, hidden, and
// has no other way out).
#include <windows.h>

#include <olectl.h>

#include "CZQICCardReader.h"
#include "component/members.h"
#include "device/host_form.h"
#include "panel/panel_form.h"
#include "platform/win32/com/convert.h"
#include "platform/win32/com/error.h"
#include "platform/win32/com/server_registration.h"
#include "win/component/reader_object.h"
#include "win/component/thread_runtime.h"

namespace {

using namespace czqic::win;

constexpr wchar_t kSource[] = L"CZQICCardReader";
constexpr wchar_t kPanelSource[] = L"CZQICCardReader panel";

int text_box(LPCWSTR name) {
    const int box = name ? czqic::panel::text_box_number(narrow(name)) : 0;
    if (box == 0)
        throw czqic::AutomationError(static_cast<int32_t>(E_INVALIDARG), E_INVALIDARG,
                                     "no test panel text box of that name");
    return box;
}

const ServerClass kClasses[] = {
    {CLSID_ColsZQICCardReader, L"ColsZQICCardReader", czqic::kWideAscii<czqic::kProgId>.data(),
     create_reader_object},
};

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    return server_class_object(kClasses, clsid, iid, out);
}

// A thread's form, control and windows go with its last object (or its panel), never
// in DllMain, so an unload is safe only once no thread has any.
STDAPI DllCanUnloadNow() {
    return server_can_unload(ThreadRuntime::held);
}

STDAPI DllRegisterServer() {
    return server_register(kClasses, kSource);
}

STDAPI DllUnregisterServer() {
    return server_unregister(kClasses, kSource);
}

// Clicks a button of the calling thread's panel. A failing handler ends only itself and is
// reported as the form reports failures that have no caller; an unknown name fails.
STDAPI CzqicPanelClick(LPCWSTR button) {
    return com_boundary({IID_NULL, kPanelSource}, nullptr, [&] {
        if (!button)
            throw czqic::AutomationError(static_cast<int32_t>(E_POINTER), E_POINTER,
                                         "no button named");
        const std::string name = narrow(button);
        if (!czqic::panel::find_control(name))
            throw czqic::AutomationError(static_cast<int32_t>(E_INVALIDARG), E_INVALIDARG,
                                         "no test panel button " + name);
        auto& rt = ThreadRuntime::panel().runtime();
        const ThreadRuntime::Call call;
        try {
            czqic::panel::click(rt.form(), name);
        } catch (const std::exception& e) {
            rt.report("panel:" + name, e);
        }
    });
}

// The text of a text box (Text1 .. Text11) of the calling thread's panel.
STDAPI CzqicPanelGetText(LPCWSTR box, BSTR* text) {
    if (!text) return E_POINTER;
    *text = nullptr;
    return com_boundary({IID_NULL, kPanelSource}, nullptr, [&] {
        const int number = text_box(box);
        auto& rt = ThreadRuntime::panel().runtime();
        const ThreadRuntime::Call call;
        *text = make_bstr(rt.form().text(number)).release();
    });
}

// What a technician types into a text box of the calling thread's panel.
STDAPI CzqicPanelSetText(LPCWSTR box, LPCWSTR text) {
    return com_boundary({IID_NULL, kPanelSource}, nullptr, [&] {
        const int number = text_box(box);
        auto& rt = ThreadRuntime::panel().runtime();
        const ThreadRuntime::Call call;
        rt.form().set_text(number, text ? narrow(text) : "");
    });
}

// Lets go of the calling thread's panel: with no object left on the thread, its form,
// control and windows go now, before the library may be unloaded.
STDAPI CzqicPanelRelease() {
    return com_boundary({IID_NULL, kPanelSource}, nullptr, [] { ThreadRuntime::release_panel(); });
}
