// KXCardReaderSim.dll: the simulated card reader as a registered ActiveX control over the
// same simulator core as the Linux build, plus SimConsole, through which a test client
// reaches the simulated device. It registers under ProgIDs of its own (CZQICSim.*), never
// the vendor's: a terminal with the vendor control installed keeps it whatever the
// simulator's registration does. The component is pointed at it by CZQIC_CONTROL_PROGID.
//
// One simulated device per apartment thread, built from the scenario file named by
// CZQIC_SIM_SCENARIO (the built-in reader without it) with the thread's first control or
// console and gone with its last. Events are posted to the thread's
// message queue and reach the connected sinks when the thread pumps. With
// CZQIC_SIM_ECHO=stdout, or SimConsole.EchoCalls set, every journal line is echoed to
// standard output as it happens.
//
// The scenario's control.mode, or the test setting CZQIC_SIM_CONTROL_MODE, makes the
// control as demanding as a real vendor control, for the tests of the component's
// hosting: "strict-persist" refuses every method until it is sited and initialised as
// new; "strict-window" delivers its events only from the procedure of a window it
// creates on in-place activation, in reply to messages its device thread posts;
// "strict-thread" fires from its device thread through sinks marshalled there;
// "strict-usermode" refuses to run unless its site says run mode.
#include <windows.h>

#include <olectl.h>

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KXCardReaderSim.h"
#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/message_loop.h"
#include "platform/win32/com/convert.h"
#include "platform/win32/com/error.h"
#include "platform/win32/com/server_class_factory.h"
#include "platform/win32/com/server_connection_point.h"
#include "platform/win32/com/server_exports.h"
#include "platform/win32/com/server_per_thread.h"
#include "platform/win32/com/server_registration.h"
#include "platform/win32/com/typed_dispatch.h"
#include "platform/win32/console.h"
#include "platform/win32/module.h"
#include "sim/sim_reader.h"
#include "win/sim/event_worker.h"

namespace {

using namespace czqic;
using namespace czqic::win;

constexpr wchar_t kControlSource[] = L"CZQICSim.KXCardReader";
constexpr wchar_t kConsoleSource[] = L"CZQICSim.SimConsole";

enum class ControlMode { kLenient, kStrictPersist, kStrictWindow, kStrictThread, kStrictUserMode };

std::optional<ControlMode> control_mode_named(const std::string& name) {
    if (name.empty() || name == "lenient") return ControlMode::kLenient;
    if (name == "strict-persist") return ControlMode::kStrictPersist;
    if (name == "strict-window") return ControlMode::kStrictWindow;
    if (name == "strict-thread") return ControlMode::kStrictThread;
    if (name == "strict-usermode") return ControlMode::kStrictUserMode;
    return std::nullopt;
}

// Everything the simulator keeps per apartment thread.
class SimHost {
  public:
    // Held by each control and console of the thread.
    struct Hold : PerThread<SimHost>::Hold {
        Hold();
    };
    // A call of a control or console: a last release meanwhile waits for its end.
    using Call = PerThread<SimHost>::Call;
    static bool held();

    SimHost(const SimHost&) = delete;  // the thread's one device
    SimHost& operator=(const SimHost&) = delete;

    sim::SimDevice& device() {
        if (!device_) raise_failure(E_FAIL, "scenario " + scenario_error_);
        return *device_;
    }
    bool has_device() const { return device_ != nullptr; }
    const std::string& scenario_error() const { return scenario_error_; }
    bool echo_calls = false;
    bool last_control_sited = false;
    ControlMode mode = ControlMode::kLenient;

    // `sim:KEY=VALUE` tried on a second device of the same scenario, so that a bad value
    // is refused before anything runs.
    std::optional<std::string> check_state(std::string_view key, std::string_view value) {
        if (!state_check_) state_check_.emplace(scenario_);
        return state_check_->check(key, value);
    }

    ITypeInfo* control_info() const { return control_info_.get(); }
    ITypeInfo* events_info() const { return events_info_.get(); }
    ITypeInfo* control_class() const { return control_class_.get(); }
    ITypeInfo* console_info() const { return console_info_.get(); }

  private:
    SimHost();
    static std::unique_ptr<SimHost> make() { return std::unique_ptr<SimHost>(new SimHost()); }

    std::unique_ptr<Clock> clock_;
    MessageLoop loop_;
    sim::Scenario scenario_;
    std::string scenario_error_;
    std::shared_ptr<sim::SimDevice> device_;
    std::optional<sim::StateCheck> state_check_;
    ComPtr<ITypeInfo> control_info_, events_info_, control_class_, console_info_;
};

PerThread<SimHost>& hosts() {
    // Never destroyed: at process exit the devices are left as they are.
    static auto* all = new PerThread<SimHost>;
    return *all;
}

SimHost::SimHost() : clock_(make_real_clock()), loop_(*clock_), scenario_(sim::builtin_scenario()) {
    const std::string file = environment_variable("CZQIC_SIM_SCENARIO");
    if (!file.empty()) {
        try {
            scenario_ = sim::load_scenario_file(file);
        } catch (const sim::ScenarioError& e) {
            scenario_error_ = e.what();
        }
    }
    // A test setting wins over the scenario's own.
    std::string mode_name = environment_variable("CZQIC_SIM_CONTROL_MODE");
    if (mode_name.empty()) mode_name = scenario_.control_mode;
    if (auto named = control_mode_named(mode_name))
        mode = *named;
    else if (scenario_error_.empty())
        scenario_error_ = "CZQIC_SIM_CONTROL_MODE: unknown control mode \"" + mode_name + "\"";
    if (scenario_error_.empty()) {
        device_ = sim::SimDevice::create(loop_, scenario_);
        echo_calls = environment_is(L"CZQIC_SIM_ECHO", L"stdout");
        device_->on_journal = [this](const std::string& line) {
            if (echo_calls) write_line(STD_OUTPUT_HANDLE, line);
        };
        // Only SimConsole reads the journal back: kept from the first console on, so a
        // client that never makes one (an application creating and releasing the reader
        // all day) does not collect a line per call for the life of its thread.
        device_->keep_journal(false);
    }
    auto library = load_module_type_library(this_module());
    control_info_ = type_info_of(library.get(), DIID__DKXCardReader);
    events_info_ = type_info_of(library.get(), DIID__DKXCardReaderEvents);
    control_class_ = type_info_of(library.get(), CLSID_KXCardReader);
    console_info_ = type_info_of(library.get(), DIID__DSimConsole);
}

SimHost::Hold::Hold() : PerThread<SimHost>::Hold(hosts(), make) {}

bool SimHost::held() {
    return hosts().held();
}

constexpr UINT kEventMessage = WM_APP + 0x2C2;
constexpr wchar_t kControlProp[] = L"CzqicSimControl";

// The strict control's window: no message reaches the control once it is going.
struct Unhook {
    void operator()(HWND window) const noexcept {
        RemovePropW(window, kControlProp);
        DestroyWindow(window);
    }
    static bool none(HWND window) { return window == nullptr; }
};

class SimControlObject final : public ComObject<TypedDispatch<>, ConnectableObject, IOleObject,
                                                IPersistStreamInit, IOleInPlaceObject> {
  public:
    explicit SimControlObject(SimHost::Hold host)
        : hold_(std::move(host)),
          host_(*hold_),
          mode_(host_.mode),
          control_(host_.device().create_control()),
          dispatch_(std::dynamic_pointer_cast<Dispatch>(control_)),
          source_(std::dynamic_pointer_cast<EventSource>(control_)),
          point_(*static_cast<IDispatch*>(this), DIID__DKXCardReaderEvents, kControlSource) {
        if (mode_ == ControlMode::kStrictWindow || mode_ == ControlMode::kStrictThread) {
            worker_ = std::make_unique<EventWorker>();
            router_ = std::make_shared<Router>(*this);
            router_cookie_ = source_->advise(router_);
        } else {
            point_.forward(*source_, host_.events_info());
        }
        host_.last_control_sited = false;
    }
    ~SimControlObject() override {
        if (router_) source_->unadvise(router_cookie_);
        destroy_window();
        worker_.reset();
    }

    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* excepinfo, UINT*) override {
        if (result) VariantInit(result);
        // Held for the call: a handler run inside it may release this control.
        const SimHost::Call call;
        auto dispatch = dispatch_;
        return com_boundary({IID_IDispatch, kControlSource}, excepinfo, [&] {
            refuse_unless_ready();
            IncomingArgs args(params);
            Value value = dispatch->invoke(id, invoke_kind(flags), args.values());
            args.write_back();
            if (result) value_to_variant(value, result);
        });
    }

    // IOleObject: as much as a container that never shows the control uses.
    STDMETHODIMP SetClientSite(IOleClientSite* site) override {
        site_ = ComPtr<IOleClientSite>::share(site);
        host_.last_control_sited = site != nullptr;
        if (site && mode_ == ControlMode::kStrictUserMode) read_ambients();
        return S_OK;
    }
    STDMETHODIMP GetClientSite(IOleClientSite** out) override {
        if (!out) return E_POINTER;
        *out = site_.copy().release();
        return S_OK;
    }
    STDMETHODIMP SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
    STDMETHODIMP Close(DWORD) override {
        InPlaceDeactivate();
        return S_OK;
    }
    STDMETHODIMP SetMoniker(DWORD, IMoniker*) override { return E_NOTIMPL; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** out) override {
        return hand_out_nothing(out, E_NOTIMPL);
    }
    STDMETHODIMP InitFromData(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP GetClipboardData(DWORD, IDataObject** out) override {
        return hand_out_nothing(out, E_NOTIMPL);
    }
    STDMETHODIMP DoVerb(LONG verb, LPMSG, IOleClientSite* site, LONG, HWND parent,
                        LPCRECT position) override {
        if (mode_ != ControlMode::kStrictWindow) return E_NOTIMPL;
        if (verb != OLEIVERB_INPLACEACTIVATE && verb != OLEIVERB_SHOW &&
            verb != OLEIVERB_UIACTIVATE)
            return OLEOBJ_S_INVALIDVERB;
        return activate(site ? site : site_.get(), parent, position);
    }
    STDMETHODIMP EnumVerbs(IEnumOLEVERB** out) override { return hand_out_nothing(out, E_NOTIMPL); }
    STDMETHODIMP Update() override { return S_OK; }
    STDMETHODIMP IsUpToDate() override { return S_OK; }
    STDMETHODIMP GetUserClassID(CLSID* out) override {
        if (!out) return E_POINTER;
        *out = CLSID_KXCardReader;
        return S_OK;
    }
    STDMETHODIMP GetUserType(DWORD, LPOLESTR* out) override {
        return hand_out_nothing(out, OLE_S_USEREG);
    }
    STDMETHODIMP SetExtent(DWORD, SIZEL*) override { return E_NOTIMPL; }
    STDMETHODIMP GetExtent(DWORD, SIZEL*) override { return E_NOTIMPL; }
    STDMETHODIMP Advise(IAdviseSink*, DWORD*) override { return OLE_E_ADVISENOTSUPPORTED; }
    STDMETHODIMP Unadvise(DWORD) override { return OLE_E_ADVISENOTSUPPORTED; }
    STDMETHODIMP EnumAdvise(IEnumSTATDATA** out) override {
        return hand_out_nothing(out, OLE_E_ADVISENOTSUPPORTED);
    }
    STDMETHODIMP GetMiscStatus(DWORD, DWORD* status) override {
        if (!status) return E_POINTER;
        *status = OLEMISC_SETCLIENTSITEFIRST;
        // The window the events come through exists only while the control is active.
        if (mode_ != ControlMode::kStrictWindow) *status |= OLEMISC_INVISIBLEATRUNTIME;
        return S_OK;
    }
    STDMETHODIMP SetColorScheme(LOGPALETTE*) override { return E_NOTIMPL; }

    // IPersistStreamInit: the control sets itself up in InitNew; nothing is saved.
    STDMETHODIMP GetClassID(CLSID* out) override { return GetUserClassID(out); }
    STDMETHODIMP IsDirty() override { return S_FALSE; }
    STDMETHODIMP Load(LPSTREAM) override {
        initialised_ = true;
        return S_OK;
    }
    STDMETHODIMP Save(LPSTREAM, BOOL) override { return S_OK; }
    STDMETHODIMP GetSizeMax(ULARGE_INTEGER* size) override {
        if (!size) return E_POINTER;
        size->QuadPart = 0;
        return S_OK;
    }
    STDMETHODIMP InitNew() override {
        if (initialised_) return E_UNEXPECTED;
        initialised_ = true;
        return S_OK;
    }

    // IOleInPlaceObject
    STDMETHODIMP GetWindow(HWND* out) override {
        if (!out) return E_POINTER;
        *out = window_.get();
        return window_ ? S_OK : E_FAIL;
    }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP InPlaceDeactivate() override {
        if (!window_) return S_OK;
        destroy_window();
        if (auto in_place = in_place_site_.query<IOleInPlaceSite>(IID_IOleInPlaceSite))
            in_place->OnInPlaceDeactivate();
        in_place_site_.reset();
        return S_OK;
    }
    STDMETHODIMP UIDeactivate() override { return S_OK; }
    STDMETHODIMP SetObjectRects(LPCRECT, LPCRECT) override { return S_OK; }
    STDMETHODIMP ReactivateAndUndo() override { return E_NOTIMPL; }

  private:
    // The device's events as this control delivers them in its stricter modes.
    class Router final : public EventSink {
      public:
        explicit Router(SimControlObject& control) : control_(control) {}
        void on_event(std::string_view name, std::span<const Value> args) override {
            const auto id = event_dispid(control_.host_.events_info(), name);
            if (!id) return;
            std::vector<Value> values;
            for (const Value& v : args) values.push_back(v.deref());
            control_.deliver(*id, std::move(values));
        }

      private:
        SimControlObject& control_;
    };

    struct Pending {
        DISPID id;
        std::vector<Value> args;
    };

    void refuse_unless_ready() {
        switch (mode_) {
            case ControlMode::kStrictPersist:
                if (!site_ || !initialised_)
                    raise_failure(E_FAIL, "the control is not sited and initialised as new");
                break;
            case ControlMode::kStrictUserMode:
                if (!site_ || !user_mode_)
                    raise_failure(E_FAIL,
                                  "the control does not run in design mode (UserMode is not True)");
                break;
            default:
                break;
        }
    }

    void read_ambients() {
        user_mode_ = false;
        auto ambient = site_.query<IDispatch>(IID_IDispatch);
        if (!ambient) return;
        auto get = [&](DISPID id, VARTYPE type, ScopedVariant& value) {
            DISPPARAMS none{};
            return SUCCEEDED(ambient->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT,
                                             DISPATCH_PROPERTYGET, &none, value.out(), nullptr,
                                             nullptr)) &&
                   V_VT(&value.get()) == type;
        };
        ScopedVariant user_mode, locale;
        user_mode_ = get(DISPID_AMBIENT_USERMODE, VT_BOOL, user_mode) &&
                     V_BOOL(&user_mode.get()) == VARIANT_TRUE &&
                     get(DISPID_AMBIENT_LOCALEID, VT_I4, locale);
    }

    HRESULT activate(IOleClientSite* site, HWND parent, LPCRECT position) {
        if (window_) return S_OK;
        if (!site) return E_UNEXPECTED;
        auto in_place =
            ComPtr<IOleClientSite>::share(site).query<IOleInPlaceSite>(IID_IOleInPlaceSite);
        if (!in_place || in_place->CanInPlaceActivate() != S_OK) return E_FAIL;
        HWND site_window = nullptr;
        if (FAILED(in_place->GetWindow(&site_window)) || !site_window) site_window = parent;
        if (!site_window) return E_FAIL;
        if (FAILED(in_place->OnInPlaceActivate())) return E_FAIL;
        const RECT at = position ? *position : RECT{0, 0, 32, 32};
        window_.reset(CreateWindowExW(0, L"STATIC", L"KXCardReader", WS_CHILD, at.left, at.top,
                                      at.right - at.left, at.bottom - at.top, site_window, nullptr,
                                      nullptr, nullptr));
        if (!window_) {
            const DWORD error = GetLastError();
            in_place->OnInPlaceDeactivate();
            return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
        }
        SetPropW(window_.get(), kControlProp, this);
        base_proc_ = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
            window_.get(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(window_proc)));
        in_place_site_ = ComPtr<IUnknown>::share(in_place.get());
        return S_OK;
    }

    void destroy_window() {
        window_.reset();
        pending_.clear();
    }

    static LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM w, LPARAM l) {
        auto* self = static_cast<SimControlObject*>(GetPropW(window, kControlProp));
        if (!self) return DefWindowProcW(window, message, w, l);
        if (message == kEventMessage) {
            self->fire_next();
            return 0;
        }
        return CallWindowProcW(self->base_proc_, window, message, w, l);
    }

    // On the control's thread, when the device has something to report.
    void deliver(DISPID id, std::vector<Value> args) {
        if (mode_ == ControlMode::kStrictWindow) {
            // Without its window the control has nowhere to hear its device thread.
            if (!window_) return;
            pending_.push_back({id, std::move(args)});
            HWND target = window_.get();
            worker_->post([target](bool wanted) {
                if (wanted) PostMessageW(target, kEventMessage, 0, 0);
            });
            return;
        }
        // The device thread calls each sink through the global interface table.
        ComPtr<IGlobalInterfaceTable> table;
        if (FAILED(CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_IGlobalInterfaceTable, table.out_void())))
            return;
        for (auto& sink : point_.connected()) {
            DWORD cookie = 0;
            if (FAILED(table->RegisterInterfaceInGlobal(sink.get(), IID_IDispatch, &cookie)))
                continue;
            IGlobalInterfaceTable* shared_table = table.copy().release();
            worker_->post([shared_table, cookie, id, args](bool wanted) {
                auto owned = ComPtr<IGlobalInterfaceTable>::adopt(shared_table);
                ComPtr<IDispatch> target;
                const HRESULT got =
                    owned->GetInterfaceFromGlobal(cookie, IID_IDispatch, target.out_void());
                owned->RevokeInterfaceFromGlobal(cookie);
                if (wanted && SUCCEEDED(got)) call_sink(target.get(), id, args);
            });
        }
    }

    void fire_next() {
        if (pending_.empty()) return;
        Pending next = std::move(pending_.front());
        pending_.pop_front();
        AddRef();  // a handler may release the control
        point_.fire(next.id, next.args);
        Release();
    }

    ITypeInfo* dispatch_info() override { return host_.control_info(); }
    EventConnectionPoint& event_point() override { return point_; }
    ITypeInfo* class_info() override { return host_.control_class(); }
    IUnknown* find_interface(REFIID iid) override {
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID__DKXCardReader)
            return static_cast<IDispatch*>(this);
        if (IUnknown* connectable = find_connectable(iid)) return connectable;
        if (iid == IID_IOleObject) return static_cast<IOleObject*>(this);
        if (mode_ == ControlMode::kStrictPersist &&
            (iid == IID_IPersistStreamInit || iid == IID_IPersist))
            return static_cast<IPersistStreamInit*>(this);
        if (mode_ == ControlMode::kStrictWindow &&
            (iid == IID_IOleInPlaceObject || iid == IID_IOleWindow))
            return static_cast<IOleInPlaceObject*>(this);
        return nullptr;
    }

    SimHost::Hold hold_;  // first: the device goes after the control
    SimHost& host_;
    const ControlMode mode_;
    std::shared_ptr<Object> control_;
    std::shared_ptr<Dispatch> dispatch_;
    std::shared_ptr<EventSource> source_;
    EventConnectionPoint point_;
    ComPtr<IOleClientSite> site_;
    bool initialised_ = false;
    bool user_mode_ = false;
    std::unique_ptr<EventWorker> worker_;
    std::shared_ptr<Router> router_;
    uint32_t router_cookie_ = 0;
    UniqueResource<HWND, Unhook> window_;
    WNDPROC base_proc_ = nullptr;
    ComPtr<IUnknown> in_place_site_;
    std::deque<Pending> pending_;
};

class SimConsoleObject final : public ComObject<TypedDispatch<>> {
  public:
    explicit SimConsoleObject(SimHost::Hold host) : hold_(std::move(host)), host_(*hold_) {
        if (host_.has_device()) host_.device().keep_journal(true);
    }

    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* excepinfo, UINT*) override {
        if (result) VariantInit(result);
        const std::string member = member_named(id);
        if (member.empty()) return DISP_E_MEMBERNOTFOUND;
        const SimHost::Call call;
        return com_boundary({IID_IDispatch, kConsoleSource}, excepinfo, [&] {
            IncomingArgs incoming(params);
            Value value = run(member, invoke_kind(flags), incoming.values());
            if (result) value_to_variant(value, result);
        });
    }

  private:
    ITypeInfo* dispatch_info() override { return host_.console_info(); }
    IUnknown* find_interface(REFIID iid) override {
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID__DSimConsole) return this;
        return nullptr;
    }

    // The member's name in the console's description, where alone its DISPID is written;
    // empty for an id it does not declare.
    std::string member_named(DISPID id) {
        ScopedBstr name;
        UINT count = 0;
        if (FAILED(host_.console_info()->GetNames(id, name.out(), 1, &count)) || count == 0)
            return {};
        return narrow_bstr(name.get());
    }

    static const Value& argument(std::span<Value> args, size_t index) {
        if (index >= args.size())
            raise_failure(DISP_E_BADPARAMCOUNT, "Invalid number of parameters");
        return args[index].deref();
    }

    Value run(std::string_view member, InvokeKind kind, std::span<Value> args) {
        try {
            if (member == "Fire") {
                std::optional<Value> data;
                if (args.size() > 1 && !args[1].is_empty()) data = args[1].deref();
                host_.device().raise(to_string(argument(args, 0)), std::move(data));
                return {};
            }
            if (member == "SetState") {
                host_.device().set(to_string(argument(args, 0)), to_string(argument(args, 1)));
                return {};
            }
            if (member == "CheckState")
                return Value(
                    host_.check_state(to_string(argument(args, 0)), to_string(argument(args, 1)))
                        .value_or(std::string()));
            if (member == "ScenarioError") return Value(host_.scenario_error());
            if (member == "EchoCalls") {
                if (kind != InvokeKind::PropertyPut) return Value(host_.echo_calls);
                host_.echo_calls = to_bool(argument(args, 0));
                return {};
            }
            if (member == "Journal") {
                std::string text;
                for (const std::string& line : host_.device().journal()) text += line + "\n";
                return Value(text);
            }
            if (member == "Sited") return Value(host_.last_control_sited);
            if (member == "ControlsCreated")
                return Value(static_cast<int32_t>(host_.device().control_instances_created()));
            if (member == "Opened") return Value(host_.device().opened());
        } catch (const sim::ScenarioError& e) {
            raise_invalid_argument(e.what());
        }
        return {};
    }

    SimHost::Hold hold_;  // first: the device goes after the console
    SimHost& host_;
};

// Either class's objects, each holding the thread's simulator.
template <class Made>
HRESULT create(REFIID iid, void** out) {
    return hand_out(new Made(SimHost::Hold()), iid, out);
}

const ServerClass kClasses[] = {
    {CLSID_KXCardReader, L"KXCardReader simulated control", kControlSource, "KXCardReader",
     create<SimControlObject>},
    {CLSID_SimConsole, L"KXCardReader simulator console", kConsoleSource, "SimConsole",
     create<SimConsoleObject>},
};

}  // namespace

const ServerModule& czqic::win::this_server() {
    static const ServerModule server{kClasses, kControlSource, SimHost::held};
    return server;
}
