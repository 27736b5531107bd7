// The in-process server CZQICCardReader.dll: what it tells the four exports every server
// has (server_exports.h), and its own exports, the host form's test panel for czqic.exe
// (the form is the component's own, hidden, and has no other way out).
#include <windows.h>

#include <olectl.h>

#include "CZQICCardReader.h"
#include "component/members.h"
#include "device/host_form.h"
#include "panel/panel_form.h"
#include "platform/win32/com/convert.h"
#include "platform/win32/com/error.h"
#include "platform/win32/com/server_exports.h"
#include "win/component/reader_object.h"
#include "win/component/thread_runtime.h"

namespace {

using namespace czqic::win;

constexpr wchar_t kSource[] = L"CZQICCardReader";
constexpr wchar_t kPanelSource[] = L"CZQICCardReader panel";

int text_box(LPCWSTR name) {
    const int box = name ? czqic::panel::text_box_number(narrow(name)) : 0;
    if (box == 0) raise_failure(E_INVALIDARG, "no test panel text box of that name");
    return box;
}

// A call of the calling thread's panel (made with its first use), running as code of the
// thread's runtime for the scope.
struct PanelCall {
    PanelCall() : runtime(ThreadRuntime::panel().runtime()) {}
    czqic::Runtime& runtime;
    const ThreadRuntime::Call call;
};

const ServerClass kClasses[] = {
    {CLSID_ColsZQICCardReader, L"ColsZQICCardReader", czqic::kWideAscii<czqic::kProgId>.data(),
     "ColsZQICCardReader", create_reader_object},
};

}  // namespace

// A thread's form, control and windows go with its last object (or its panel), never
// in DllMain, so an unload is safe only once no thread has any.
const ServerModule& czqic::win::this_server() {
    static const ServerModule server{kClasses, kSource, ThreadRuntime::held};
    return server;
}

// Clicks a button of the calling thread's panel. A failing handler ends only itself and is
// reported as the form reports failures that have no caller; an unknown name fails.
STDAPI CzqicPanelClick(LPCWSTR button) {
    return com_boundary({IID_NULL, kPanelSource}, nullptr, [&] {
        if (!button) raise_failure(E_POINTER, "no button named");
        const std::string name = narrow(button);
        if (!czqic::panel::find_control(name))
            raise_failure(E_INVALIDARG, "no test panel button " + name);
        const PanelCall panel;
        try {
            czqic::panel::click(panel.runtime.form(), name);
        } catch (const std::exception& e) {
            panel.runtime.report("panel:" + name, e);
        }
    });
}

// The text of a text box (Text1 .. Text11) of the calling thread's panel.
STDAPI CzqicPanelGetText(LPCWSTR box, BSTR* text) {
    return com_boundary({IID_NULL, kPanelSource}, nullptr, [&] {
        if (!text) return E_POINTER;
        *text = nullptr;
        const int number = text_box(box);
        const PanelCall panel;
        *text = make_bstr(panel.runtime.form().text(number)).release();
        return S_OK;
    });
}

// What a technician types into a text box of the calling thread's panel.
STDAPI CzqicPanelSetText(LPCWSTR box, LPCWSTR text) {
    return com_boundary({IID_NULL, kPanelSource}, nullptr, [&] {
        const int number = text_box(box);
        const PanelCall panel;
        panel.runtime.form().set_text(number, text ? narrow(text) : "");
    });
}

// Lets go of the calling thread's panel: with no object left on the thread, its form,
// control and windows go now, before the library may be unloaded.
STDAPI CzqicPanelRelease() {
    return com_boundary({IID_NULL, kPanelSource}, nullptr, [] { ThreadRuntime::release_panel(); });
}
