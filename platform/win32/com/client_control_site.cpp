#include "platform/win32/com/client_control_site.h"

#include <ocidl.h>
#include <olectl.h>

#include "platform/automation.h"
#include "platform/win32/com/convert.h"
#include "platform/win32/com/error.h"
#include "platform/win32/com/object.h"
#include "platform/win32/com/typed_dispatch.h"

namespace czqic::win {

// Where KXCardReader1 stands on the form, in pixels at 96 DPI (4440, 240 twips); a
// control's window there is never shown, so its size only has to be a sensible one.
constexpr RECT kControlRect = {296, 16, 328, 48};

// The form's side of the control: the client site, the ambient properties a hidden form
// in run mode gives, the control site and the in-place site (windowed or windowless, as
// the control chooses). The form is its own frame window, which holds no menus, borders
// or status bar.
class HostSite final : public ComObject<IOleClientSite, TypedDispatch<>, IOleControlSite,
                                        IOleInPlaceSiteWindowless, IOleInPlaceFrame> {
  public:
    explicit HostSite(std::wstring display_name) : display_name_(std::move(display_name)) {}

    // The hidden form window the control is activated in.
    HWND window() {
        if (!window_) {
            window_.reset(CreateWindowExW(0, L"STATIC", L"Frm_CardRead", WS_POPUP | WS_CLIPCHILDREN,
                                          0, 0, 683, 388, nullptr, nullptr, nullptr, nullptr));
        }
        return window_.get();
    }
    void destroy_window() { window_.reset(); }

    // IOleClientSite
    STDMETHODIMP SaveObject() override { return E_NOTIMPL; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** out) override {
        return hand_out_nothing(out, E_NOTIMPL);
    }
    STDMETHODIMP GetContainer(IOleContainer** out) override {
        return hand_out_nothing(out, E_NOINTERFACE);
    }
    STDMETHODIMP ShowObject() override { return S_OK; }
    STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
    STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }

    // IDispatch: the ambient properties.
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result,
                        EXCEPINFO*, UINT*) override {
        if (!(flags & DISPATCH_PROPERTYGET)) return DISP_E_MEMBERNOTFOUND;
        ScopedVariant value;
        VARIANT* v = value.out();
        switch (id) {
            case DISPID_AMBIENT_USERMODE:
                V_VT(v) = VT_BOOL;
                V_BOOL(v) = VARIANT_TRUE;
                break;
            case DISPID_AMBIENT_UIDEAD:
            case DISPID_AMBIENT_MESSAGEREFLECT:
            case DISPID_AMBIENT_SHOWGRABHANDLES:
            case DISPID_AMBIENT_SHOWHATCHING:
                V_VT(v) = VT_BOOL;
                V_BOOL(v) = VARIANT_FALSE;
                break;
            case DISPID_AMBIENT_LOCALEID:
                V_VT(v) = VT_I4;
                V_I4(v) = static_cast<LONG>(GetThreadLocale());
                break;
            case DISPID_AMBIENT_DISPLAYNAME:
                V_VT(v) = VT_BSTR;
                V_BSTR(v) = SysAllocString(display_name_.c_str());
                if (!V_BSTR(v)) return E_OUTOFMEMORY;
                break;
            default:
                return DISP_E_MEMBERNOTFOUND;
        }
        if (result) value.release_to(result);
        return S_OK;
    }

    // IOleControlSite
    STDMETHODIMP OnControlInfoChanged() override { return S_OK; }
    STDMETHODIMP LockInPlaceActive(BOOL) override { return S_OK; }
    STDMETHODIMP GetExtendedControl(IDispatch** out) override {
        return hand_out_nothing(out, E_NOTIMPL);
    }
    STDMETHODIMP TransformCoords(POINTL*, POINTF*, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP TranslateAccelerator(MSG*, DWORD) override { return S_FALSE; }
    STDMETHODIMP OnFocus(BOOL) override { return S_OK; }
    STDMETHODIMP ShowPropertyFrame() override { return E_NOTIMPL; }

    // IOleWindow, for the in-place site and the frame alike.
    STDMETHODIMP GetWindow(HWND* out) override {
        if (!out) return E_POINTER;
        *out = window();
        return *out ? S_OK : E_FAIL;
    }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return S_OK; }

    // IOleInPlaceSite
    STDMETHODIMP CanInPlaceActivate() override { return S_OK; }
    STDMETHODIMP OnInPlaceActivate() override { return S_OK; }
    STDMETHODIMP OnUIActivate() override { return S_OK; }
    STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document,
                                  LPRECT position, LPRECT clip,
                                  LPOLEINPLACEFRAMEINFO info) override {
        if (!frame || !document || !position || !clip || !info) return E_POINTER;
        AddRef();
        *frame = this;
        *document = nullptr;
        *position = kControlRect;
        *clip = kControlRect;
        info->fMDIApp = FALSE;
        info->hwndFrame = window();
        info->haccel = nullptr;
        info->cAccelEntries = 0;
        return S_OK;
    }
    STDMETHODIMP Scroll(SIZE) override { return S_FALSE; }
    STDMETHODIMP OnUIDeactivate(BOOL) override { return S_OK; }
    STDMETHODIMP OnInPlaceDeactivate() override { return S_OK; }
    STDMETHODIMP DiscardUndoState() override { return S_OK; }
    STDMETHODIMP DeactivateAndUndo() override { return S_OK; }
    STDMETHODIMP OnPosRectChange(LPCRECT) override { return S_OK; }

    // IOleInPlaceSiteEx
    STDMETHODIMP OnInPlaceActivateEx(BOOL* no_redraw, DWORD) override {
        if (no_redraw) *no_redraw = TRUE;
        return S_OK;
    }
    STDMETHODIMP OnInPlaceDeactivateEx(BOOL) override { return S_OK; }
    STDMETHODIMP RequestUIActivate() override { return S_FALSE; }

    // IOleInPlaceSiteWindowless: a windowless control draws into the hidden form.
    STDMETHODIMP CanWindowlessActivate() override { return S_OK; }
    STDMETHODIMP GetCapture() override { return S_FALSE; }
    STDMETHODIMP SetCapture(BOOL) override { return S_OK; }
    STDMETHODIMP GetFocus() override { return S_FALSE; }
    STDMETHODIMP SetFocus(BOOL) override { return S_OK; }
    STDMETHODIMP GetDC(LPCRECT, DWORD, HDC* out) override {
        if (!out) return E_POINTER;
        *out = ::GetDC(window());
        return *out ? S_OK : E_FAIL;
    }
    STDMETHODIMP ReleaseDC(HDC dc) override {
        ::ReleaseDC(window(), dc);
        return S_OK;
    }
    STDMETHODIMP InvalidateRect(LPCRECT, BOOL) override { return S_OK; }
    STDMETHODIMP InvalidateRgn(HRGN, BOOL) override { return S_OK; }
    STDMETHODIMP ScrollRect(INT, INT, LPCRECT, LPCRECT) override { return S_OK; }
    STDMETHODIMP AdjustRect(LPRECT) override { return S_OK; }
    STDMETHODIMP OnDefWindowMessage(UINT, WPARAM, LPARAM, LRESULT* out) override {
        if (out) *out = 0;
        return S_FALSE;
    }

    // IOleInPlaceUIWindow and IOleInPlaceFrame: no menus, borders or status bar.
    STDMETHODIMP GetBorder(LPRECT) override { return INPLACE_E_NOTOOLSPACE; }
    STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS) override { return INPLACE_E_NOTOOLSPACE; }
    STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS) override { return S_OK; }
    STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject*, LPCOLESTR) override { return S_OK; }
    STDMETHODIMP InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) override { return S_OK; }
    STDMETHODIMP SetMenu(HMENU, HOLEMENU, HWND) override { return S_OK; }
    STDMETHODIMP RemoveMenus(HMENU) override { return S_OK; }
    STDMETHODIMP SetStatusText(LPCOLESTR) override { return S_OK; }
    STDMETHODIMP EnableModeless(BOOL) override { return S_OK; }
    STDMETHODIMP TranslateAccelerator(LPMSG, WORD) override { return S_FALSE; }

  private:
    ITypeInfo* dispatch_info() override { return nullptr; }
    IUnknown* find_interface(REFIID iid) override {
        if (iid == IID_IUnknown || iid == IID_IOleClientSite)
            return static_cast<IOleClientSite*>(this);
        if (iid == IID_IDispatch) return static_cast<IDispatch*>(this);
        if (iid == IID_IOleControlSite) return static_cast<IOleControlSite*>(this);
        if (iid == IID_IOleWindow || iid == IID_IOleInPlaceSite || iid == IID_IOleInPlaceSiteEx ||
            iid == IID_IOleInPlaceSiteWindowless)
            return static_cast<IOleInPlaceSiteWindowless*>(this);
        if (iid == IID_IOleInPlaceUIWindow || iid == IID_IOleInPlaceFrame)
            return static_cast<IOleInPlaceFrame*>(this);
        return nullptr;
    }

    std::wstring display_name_;
    ScopedWindow window_;
};

namespace {

// A form names a control after its class and a running number: KXCardReader1.
std::wstring display_name_of(std::string_view name) {
    std::wstring wide = widen(name);
    if (wide.starts_with(L"{")) return L"Control1";
    if (const size_t dot = wide.rfind(L'.'); dot != std::wstring::npos) wide.erase(0, dot + 1);
    return wide + L"1";
}

}  // namespace

void ControlHosting::step(HRESULT hr, const char* what) {
    if (SUCCEEDED(hr)) return;
    raise_runtime_error(rt_error::kCannotCreateObject,
                        "ActiveX component can't create object: " + name_ + ": " + what + ": " +
                            hresult_description(hr));
}

ControlHosting::ControlHosting(IOleObject* control, std::string_view name)
    : control_(ComPtr<IOleObject>::share(control)), name_(name) {
    site_.reset(new HostSite(display_name_of(name)));
    if (FAILED(control_->GetMiscStatus(DVASPECT_CONTENT, &misc_))) misc_ = 0;
    // A failure from here on leaves the object half built; its destructor does not run.
    try {
        const bool site_first = misc_ & OLEMISC_SETCLIENTSITEFIRST;
        if (site_first) step(control_->SetClientSite(site_.get()), "siting the control");

        if (auto stream = control_.query<IPersistStreamInit>(IID_IPersistStreamInit)) {
            step(stream->InitNew(), "initialising the control as new");
        } else if (auto bag = control_.query<IPersistPropertyBag>(IID_IPersistPropertyBag)) {
            step(bag->InitNew(), "initialising the control as new");
        } else if (auto storage = control_.query<IPersistStorage>(IID_IPersistStorage)) {
            ComPtr<ILockBytes> bytes;
            step(CreateILockBytesOnHGlobal(nullptr, TRUE, bytes.out()),
                 "creating the control's storage");
            step(StgCreateDocfileOnILockBytes(bytes.get(),
                                              STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE,
                                              0, storage_.out()),
                 "creating the control's storage");
            step(storage->InitNew(storage_.get()), "initialising the control as new");
        }

        if (!site_first) step(control_->SetClientSite(site_.get()), "siting the control");
        step(control_->SetHostNames(L"ColsZQICCardReader", L"Frm_CardRead"),
             "telling the control its host names");
    } catch (...) {
        control_->SetClientSite(nullptr);
        throw;
    }
}

ControlHosting::~ControlHosting() {
    close();
    control_->SetClientSite(nullptr);
    site_->destroy_window();
}

void ControlHosting::activate() {
    if (active_ || closed_ || (misc_ & OLEMISC_INVISIBLEATRUNTIME)) return;
    HWND form = site_->window();
    if (!form) step(HRESULT_FROM_WIN32(GetLastError()), "creating the form's window");
    RECT position = kControlRect;
    step(control_->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, site_.get(), 0, form, &position),
         "activating the control in place");
    active_ = true;
}

void ControlHosting::close() {
    if (closed_) return;
    closed_ = true;
    if (active_)
        if (auto in_place = control_.query<IOleInPlaceObject>(IID_IOleInPlaceObject))
            in_place->InPlaceDeactivate();
    active_ = false;
    control_->Close(OLECLOSE_NOSAVE);
}

}  // namespace czqic::win
