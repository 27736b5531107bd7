// Drives the registered servers as a C++ client would: CZQICCardReader.dll's exports and
// unloading, its IDispatch by DISPID and by name, the error information of a failing
// property through both the dual interface and IDispatch, the connection point that a
// script host connects to (and that never fires), calls from a thread that does not own
// the object, the process-wide chip data, and the log writer's dual interface.
#include <windows.h>

#include <gtest/gtest.h>
#include <olectl.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "CZQICCardReader.h"
#include "QorLogWriter.h"
#include "component/members.h"
#include "platform/win32/com/convert.h"
#include "platform/win32/com/object.h"
#include "platform/win32/com/server_registration.h"
#include "platform/win32/com/typed_dispatch.h"
#include "platform/win32/scoped.h"
#include "win/tests/client.h"

namespace czqic::win {
namespace {

using testing::pump_for;

constexpr DISPID kCardReaderInit = dispid_of("CardReaderInit");
constexpr DISPID kChipCardData = dispid_of("ChipCardData");

std::string hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

ComPtr<IDispatch> create_reader() {
    ComPtr<IDispatch> object;
    const HRESULT hr = CoCreateInstance(CLSID_ColsZQICCardReader, nullptr, CLSCTX_INPROC_SERVER,
                                        IID_IDispatch, object.out_void());
    EXPECT_TRUE(SUCCEEDED(hr)) << "CoCreateInstance ColsZQICCardReader: " << hex(hr);
    return object;
}

struct InvokeResult {
    HRESULT hr;
    ScopedVariant value;
    std::string description;
    HRESULT scode = S_OK;
};

InvokeResult invoke(IDispatch* object, DISPID id, WORD flags, std::vector<VARIANT> args = {}) {
    InvokeResult r;
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params{args.empty() ? nullptr : args.data(), nullptr, static_cast<UINT>(args.size()),
                      0};
    if (flags & DISPATCH_PROPERTYPUT) {
        params.rgdispidNamedArgs = &put;
        params.cNamedArgs = 1;
    }
    ScopedExcepInfo excepinfo;
    r.hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, r.value.out(),
                          excepinfo.ptr(), nullptr);
    r.scode = excepinfo.ptr()->scode;
    r.description = narrow_bstr(excepinfo.ptr()->bstrDescription);
    return r;
}

VARIANT text_variant(const wchar_t* text) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = SysAllocString(text);
    return v;
}

// A client's event sink that counts every call it receives.
class CountingSink final : public ComObject<TypedDispatch<>> {
  public:
    int calls = 0;
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        ++calls;
        return S_OK;
    }

  private:
    ITypeInfo* dispatch_info() override { return nullptr; }
    IUnknown* find_interface(REFIID iid) override {
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID___ColsZQICCardReader)
            return this;
        return nullptr;
    }
};

using CanUnloadNow = HRESULT(STDAPICALLTYPE*)();

// The registered in-process server of a class, loaded once more.
HMODULE load_server(const CLSID& clsid) {
    wchar_t path[MAX_PATH] = {};
    DWORD size = sizeof path;
    const std::wstring key = L"CLSID\\" + guid_text(clsid) + L"\\InprocServer32";
    RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, path, &size);
    HMODULE dll = LoadLibraryW(path);
    EXPECT_TRUE(dll != nullptr) << "the registered DLL loads: " << narrow(path);
    return dll;
}

// Through void*: exported entry points have whatever type their documentation gives.
template <class Function>
Function export_of(HMODULE dll, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
}

TEST(ComponentServer, ExportsAndUnloading) {
    HMODULE dll = load_server(CLSID_ColsZQICCardReader);
    ASSERT_TRUE(dll != nullptr);
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    auto get_class_object = export_of<GetClassObject>(dll, "DllGetClassObject");
    auto can_unload = export_of<CanUnloadNow>(dll, "DllCanUnloadNow");
    EXPECT_TRUE(get_class_object && can_unload && GetProcAddress(dll, "DllRegisterServer") &&
                GetProcAddress(dll, "DllUnregisterServer"))
        << "the four server entry points are exported";
    if (!get_class_object || !can_unload) return;

    EXPECT_EQ(can_unload(), S_OK) << "unloadable before anything is created";
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(get_class_object(IID_IDispatch, IID_IClassFactory, factory.out_void()),
              CLASS_E_CLASSNOTAVAILABLE)
        << "another CLSID is refused";
    EXPECT_EQ(get_class_object(CLSID_ColsZQICCardReader, IID_IClassFactory, factory.out_void()),
              S_OK)
        << "DllGetClassObject gives the class factory";
    EXPECT_EQ(can_unload(), S_FALSE) << "not unloadable while the factory lives";
    ComPtr<IDispatch> object;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, object.out_void()), S_OK)
        << "the factory creates the object";
    invoke(object.get(), kChipCardData, DISPATCH_PROPERTYPUT, {text_variant(L"0102")});
    ComPtr<IUnknown> outer_attempt;
    EXPECT_EQ(factory->CreateInstance(object.get(), IID_IUnknown, outer_attempt.out_void()),
              CLASS_E_NOAGGREGATION)
        << "aggregation is refused";
    factory->LockServer(TRUE);
    factory.reset();
    EXPECT_EQ(can_unload(), S_FALSE) << "not unloadable while an object lives";
    object.reset();
    EXPECT_EQ(can_unload(), S_FALSE) << "not unloadable while the server is locked";
    get_class_object(CLSID_ColsZQICCardReader, IID_IClassFactory, factory.out_void());
    factory->LockServer(FALSE);
    factory.reset();
    EXPECT_EQ(can_unload(), S_OK) << "DllCanUnloadNow is S_OK once every object is released";
    // The server comes back whole after it has let go of its per-thread state.
    EXPECT_EQ(get_class_object(CLSID_ColsZQICCardReader, IID_IClassFactory, factory.out_void()),
              S_OK)
        << "a new factory after unloading was allowed";
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, object.out_void()), S_OK)
        << "a new object after unloading was allowed";
    // The library stayed loaded, so its process-wide values did too.
    auto chip = invoke(object.get(), kChipCardData, DISPATCH_PROPERTYGET);
    EXPECT_TRUE(chip.value.type() == VT_BSTR && narrow_bstr(V_BSTR(&chip.value.get())) == "0102")
        << "process-wide values outlive a DllCanUnloadNow that said S_OK";
    object.reset();
    factory.reset();
    EXPECT_EQ(can_unload(), S_OK) << "unloadable again";
    FreeLibrary(dll);
}

TEST(ComponentServer, IDispatchByDispidAndByName) {
    auto object = create_reader();
    if (!object) return;
    std::wstring lower = L"cardreaderinit";
    LPOLESTR names[] = {lower.data()};
    DISPID id = 0;
    EXPECT_EQ(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK)
        << "GetIDsOfNames matches names without regard to case";
    EXPECT_EQ(id, kCardReaderInit) << "CardReaderInit by name is its identifier in the table";
    std::wstring unknown = L"NoSuchMember";
    names[0] = unknown.data();
    EXPECT_EQ(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id),
              DISP_E_UNKNOWNNAME)
        << "an unknown name is refused";

    auto init = invoke(object.get(), kCardReaderInit, DISPATCH_METHOD);
    EXPECT_TRUE(init.hr == S_OK && init.value.type() == VT_I4 && V_I4(&init.value.get()) == 0)
        << "CardReaderInit's DISPID without arguments runs it and yields Long 0: " << hex(init.hr);
    EXPECT_EQ(invoke(object.get(), 0x60030099, DISPATCH_METHOD).hr, DISP_E_MEMBERNOTFOUND)
        << "an unknown DISPID is DISP_E_MEMBERNOTFOUND";
    EXPECT_EQ(invoke(object.get(), kCardReaderInit, DISPATCH_METHOD, {text_variant(L"x")}).hr,
              DISP_E_BADPARAMCOUNT)
        << "a method given an argument is DISP_E_BADPARAMCOUNT";
    EXPECT_EQ(invoke(object.get(), kChipCardData, DISPATCH_PROPERTYPUT, {text_variant(L"9000")}).hr,
              S_OK)
        << "ChipCardData let through IDispatch";
    auto read = invoke(object.get(), kChipCardData, DISPATCH_PROPERTYGET);
    EXPECT_TRUE(read.value.type() == VT_BSTR && narrow_bstr(V_BSTR(&read.value.get())) == "9000")
        << "ChipCardData get through IDispatch";
    auto version = invoke(object.get(), dispid_of("CardVer"), DISPATCH_PROPERTYGET);
    EXPECT_TRUE(version.value.type() == VT_BSTR && SysStringLen(V_BSTR(&version.value.get())) == 0)
        << "CardVer is the empty string";
    invoke(object.get(), kChipCardData, DISPATCH_PROPERTYPUT, {text_variant(L"")});
}

TEST(ComponentServer, AFailingPropertyCarriesItsErrorInformation) {
    auto object = create_reader();
    if (!object) return;
    auto dual = object.query<_ColsZQICCardReader>(IID__ColsZQICCardReader);
    ASSERT_TRUE(bool(dual)) << "the dual interface is offered";
    auto support = object.query<ISupportErrorInfo>(IID_ISupportErrorInfo);
    EXPECT_TRUE(support && support->InterfaceSupportsErrorInfo(IID__ColsZQICCardReader) == S_OK)
        << "ISupportErrorInfo for the dual interface";

    ScopedBstr abc(L"abc");
    HRESULT hr = dual->put_WriteTrack1Len(abc.get());
    EXPECT_EQ(hex(hr), std::string("0x800A000D"))
        << "WriteTrack1Len \"abc\" fails with type mismatch";
    ComPtr<IErrorInfo> info;
    ScopedBstr description;
    GUID guid{};
    const bool informed = GetErrorInfo(0, info.out()) == S_OK && info;
    EXPECT_TRUE(informed) << "error information is set";
    if (informed) {
        info->GetDescription(description.out());
        info->GetGUID(&guid);
        EXPECT_EQ(narrow_bstr(description.get()), std::string("Type mismatch"))
            << "its description";
        EXPECT_TRUE(guid == IID__ColsZQICCardReader) << "it names the failing interface";
    }
    ScopedBstr huge(L"99999999999");
    EXPECT_EQ(hex(dual->put_WriteTrack1Len(huge.get())), std::string("0x800A0006"))
        << "an out-of-range number is an overflow";
    ScopedBstr twelve(L"12");
    EXPECT_EQ(dual->put_WriteTrack1Len(twelve.get()), S_OK) << "WriteTrack1Len \"12\" is taken";

    auto failed = invoke(object.get(), dispid_of("WriteTrack1Len"), DISPATCH_PROPERTYPUT,
                         {text_variant(L"abc")});
    EXPECT_TRUE(failed.hr == DISP_E_EXCEPTION && failed.scode == static_cast<HRESULT>(0x800A000D) &&
                failed.description == "Type mismatch")
        << "through IDispatch: DISP_E_EXCEPTION carrying 0x800A000D and its description: "
        << hex(failed.hr) + " " + hex(failed.scode) + " " + failed.description;

    LONG result = -1;
    EXPECT_TRUE(dual->Reset(&result) == S_OK && result == 0) << "a slot method returns its Long";
}

TEST(ComponentServer, TheEventConnectionPointNeverFires) {
    auto object = create_reader();
    if (!object) return;
    auto provide = object.query<IProvideClassInfo2>(IID_IProvideClassInfo2);
    GUID source{};
    EXPECT_TRUE(provide && provide->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source) == S_OK &&
                source == DIID___ColsZQICCardReader)
        << "IProvideClassInfo2 names the default source interface";
    ComPtr<ITypeInfo> coclass;
    if (provide) provide->GetClassInfo(coclass.out());
    EXPECT_TRUE(bool(coclass)) << "IProvideClassInfo gives the class description";

    auto container = object.query<IConnectionPointContainer>(IID_IConnectionPointContainer);
    ASSERT_TRUE(bool(container)) << "IConnectionPointContainer";
    ComPtr<IEnumConnectionPoints> points;
    container->EnumConnectionPoints(points.out());
    IConnectionPoint* listed[2] = {};
    ULONG fetched = 0;
    points->Next(2, listed, &fetched);
    EXPECT_EQ(fetched, 1ul) << "one connection point is listed";
    for (ULONG i = 0; i < fetched; ++i) listed[i]->Release();

    ComPtr<IConnectionPoint> other;
    EXPECT_EQ(container->FindConnectionPoint(IID_IDispatch, other.out()), CONNECT_E_NOCONNECTION)
        << "no connection point for another interface";
    ComPtr<IConnectionPoint> point;
    EXPECT_EQ(container->FindConnectionPoint(DIID___ColsZQICCardReader, point.out()), S_OK)
        << "FindConnectionPoint __ColsZQICCardReader";
    if (!point) return;
    IID iid{};
    point->GetConnectionInterface(&iid);
    EXPECT_TRUE(iid == DIID___ColsZQICCardReader) << "the point's interface";

    ComPtr<CountingSink> sink;
    sink.reset(new CountingSink());
    DWORD cookie = 0;
    EXPECT_EQ(point->Advise(sink.get(), &cookie), S_OK) << "Advise";
    ComPtr<IEnumConnections> connections;
    point->EnumConnections(connections.out());
    CONNECTDATA data[2] = {};
    fetched = 0;
    connections->Next(2, data, &fetched);
    EXPECT_TRUE(fetched == 1 && data[0].dwCookie == cookie) << "the connection is listed";
    for (ULONG i = 0; i < fetched; ++i) data[i].pUnk->Release();

    // A whole card transaction with the sink connected: nothing may reach it.
    for (DISPID method :
         {dispid_of("CardReaderInit"), dispid_of("CardReaderEnable"), dispid_of("CardReaderRead"),
          dispid_of("QOR_WaitChip"), dispid_of("CardReaderReturn")})
        invoke(object.get(), method, DISPATCH_METHOD);
    pump_for(300);
    EXPECT_EQ(sink->calls, 0) << "no event is delivered";
    EXPECT_EQ(point->Unadvise(cookie), S_OK) << "Unadvise";
    EXPECT_EQ(point->Unadvise(cookie), CONNECT_E_NOCONNECTION) << "a second Unadvise is refused";
}

// Every interface of one object, as a client on the owner thread obtained them.
struct Interfaces {
    IDispatch* dispatch;
    _ColsZQICCardReader* dual;
    ISupportErrorInfo* support;
    IProvideClassInfo2* provide;
    IConnectionPointContainer* container;
    IConnectionPoint* point;
    IEnumConnectionPoints* points;
    IEnumConnections* connections;
    IDispatch* sink;
};

// How a thread that is not the owner is set up before it calls.
enum class Foreign { Mta, Sta, NoCom };

struct ForeignRun {
    Foreign kind;
    const Interfaces* with;
    std::vector<std::pair<std::string, HRESULT>> results;
};

// Calls every member of the object's interfaces but IUnknown's (a pointer used on the
// wrong thread, never marshalled) and records what each returned.
DWORD WINAPI call_everything(void* context) {
    auto& run = *static_cast<ForeignRun*>(context);
    const Interfaces& t = *run.with;
    if (run.kind != Foreign::NoCom)
        CoInitializeEx(nullptr,
                       run.kind == Foreign::Mta ? COINIT_MULTITHREADED : COINIT_APARTMENTTHREADED);
    auto record = [&](const char* name, HRESULT hr) { run.results.emplace_back(name, hr); };
    UINT count = 0;
    record("GetTypeInfoCount", t.dispatch->GetTypeInfoCount(&count));
    ComPtr<ITypeInfo> info;
    record("GetTypeInfo", t.dispatch->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.out()));
    std::wstring name = L"CardReaderInit";
    LPOLESTR names[] = {name.data()};
    DISPID id = 0;
    record("GetIDsOfNames", t.dispatch->GetIDsOfNames(IID_NULL, names, 1, 0, &id));
    record("Invoke", invoke(t.dispatch, kCardReaderInit, DISPATCH_METHOD).hr);
    record("Invoke ChipCardData let",
           invoke(t.dispatch, kChipCardData, DISPATCH_PROPERTYPUT, {text_variant(L"FFFF")}).hr);
    LONG result = 0;
    record("CardReaderInit", t.dual->CardReaderInit(&result));
    ScopedBstr chip(L"EEEE");
    record("put_ChipCardData", t.dual->put_ChipCardData(chip.get()));
    record("InterfaceSupportsErrorInfo", t.support->InterfaceSupportsErrorInfo(IID_IDispatch));
    ComPtr<ITypeInfo> coclass;
    record("GetClassInfo", t.provide->GetClassInfo(coclass.out()));
    GUID guid{};
    record("GetGUID", t.provide->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &guid));
    ComPtr<IEnumConnectionPoints> points;
    record("EnumConnectionPoints", t.container->EnumConnectionPoints(points.out()));
    ComPtr<IConnectionPoint> point;
    record("FindConnectionPoint",
           t.container->FindConnectionPoint(DIID___ColsZQICCardReader, point.out()));
    IID iid{};
    record("GetConnectionInterface", t.point->GetConnectionInterface(&iid));
    ComPtr<IConnectionPointContainer> container;
    record("GetConnectionPointContainer", t.point->GetConnectionPointContainer(container.out()));
    DWORD cookie = 0;
    record("Advise", t.point->Advise(t.sink, &cookie));
    record("Unadvise", t.point->Unadvise(1));
    ComPtr<IEnumConnections> connections;
    record("EnumConnections", t.point->EnumConnections(connections.out()));
    IConnectionPoint* listed = nullptr;
    record("IEnumConnectionPoints::Next", t.points->Next(1, &listed, nullptr));
    record("IEnumConnectionPoints::Skip", t.points->Skip(1));
    record("IEnumConnectionPoints::Reset", t.points->Reset());
    ComPtr<IEnumConnectionPoints> clone;
    record("IEnumConnectionPoints::Clone", t.points->Clone(clone.out()));
    CONNECTDATA data{};
    record("IEnumConnections::Next", t.connections->Next(1, &data, nullptr));
    if (run.kind != Foreign::NoCom) CoUninitialize();
    return 0;
}

TEST(ComponentServer, ACallFromAThreadNotTheOwnersFailsWithWrongThread) {
    auto object = create_reader();
    if (!object) return;
    auto dual = object.query<_ColsZQICCardReader>(IID__ColsZQICCardReader);
    auto support = object.query<ISupportErrorInfo>(IID_ISupportErrorInfo);
    auto provide = object.query<IProvideClassInfo2>(IID_IProvideClassInfo2);
    auto container = object.query<IConnectionPointContainer>(IID_IConnectionPointContainer);
    ASSERT_TRUE(dual && support && provide && container);
    ComPtr<IConnectionPoint> point;
    ComPtr<IEnumConnectionPoints> points;
    ComPtr<IEnumConnections> connections;
    container->FindConnectionPoint(DIID___ColsZQICCardReader, point.out());
    container->EnumConnectionPoints(points.out());
    ASSERT_TRUE(point && points);
    point->EnumConnections(connections.out());
    ComPtr<CountingSink> sink;
    sink.reset(new CountingSink());
    invoke(object.get(), kChipCardData, DISPATCH_PROPERTYPUT, {text_variant(L"0102")});
    const Interfaces all{object.get(),  dual.get(),        support.get(),
                         provide.get(), container.get(),   point.get(),
                         points.get(),  connections.get(), sink.get()};

    for (Foreign kind : {Foreign::Mta, Foreign::Sta, Foreign::NoCom}) {
        const char* label = kind == Foreign::Mta   ? "an MTA thread"
                            : kind == Foreign::Sta ? "another STA thread"
                                                   : "a thread without COM";
        ForeignRun run{kind, &all, {}};
        ScopedHandle thread(CreateThread(nullptr, 0, call_everything, &run, 0, nullptr));
        ASSERT_TRUE(thread.valid());
        // The owner pumps while it waits, as an STA must.
        const HANDLE handle = thread.get();
        while (MsgWaitForMultipleObjects(1, &handle, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0)
            pump_for(0);
        for (const auto& [member, hr] : run.results)
            EXPECT_EQ(hex(hr), hex(RPC_E_WRONG_THREAD)) << member << " from " << label;
    }

    auto chip = invoke(object.get(), kChipCardData, DISPATCH_PROPERTYGET);
    EXPECT_TRUE(chip.value.type() == VT_BSTR && narrow_bstr(V_BSTR(&chip.value.get())) == "0102")
        << "nothing ran: ChipCardData is as the owner left it";
    const ULONGLONG start = GetTickCount64();
    auto init = invoke(object.get(), kCardReaderInit, DISPATCH_METHOD);
    const ULONGLONG took = GetTickCount64() - start;
    EXPECT_TRUE(init.hr == S_OK && init.value.type() == VT_I4 && V_I4(&init.value.get()) == 0)
        << "the owner's next CardReaderInit returns 0: " << hex(init.hr);
    EXPECT_LT(took, 3000u) << "and at once, with no wait left over from the refused calls";
    invoke(object.get(), kChipCardData, DISPATCH_PROPERTYPUT, {text_variant(L"")});
}

BOOL CALLBACK collect_window(HWND window, LPARAM into) {
    reinterpret_cast<std::set<HWND>*>(into)->insert(window);
    return TRUE;
}

// The windows of a thread: its top-level ones and its message-only ones.
std::set<HWND> thread_windows(DWORD thread) {
    std::set<HWND> found;
    EnumThreadWindows(thread, collect_window, reinterpret_cast<LPARAM>(&found));
    for (HWND window = nullptr; (window = FindWindowExW(HWND_MESSAGE, window, nullptr, nullptr));)
        if (GetWindowThreadProcessId(window, nullptr) == thread) found.insert(window);
    return found;
}

// A client thread's whole life with one reader: create it, initialise the reader, let go
// of it, end. With release_inside_call the last reference goes from a message handler
// that runs while CardReaderInit pumps.
struct ReaderThread {
    bool release_inside_call;
    bool created = false;
    bool released_inside_call = false;
    HRESULT init = E_FAIL;
    size_t apartment_windows = 0;  // COM's own, there before the reader
    size_t with_reader = 0;
    size_t after_release = 0;
};

ComPtr<IDispatch>* reader_to_release = nullptr;

void CALLBACK release_reader(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    reader_to_release->reset();
}

DWORD WINAPI run_reader_thread(void* argument) {
    auto& run = *static_cast<ReaderThread*>(argument);
    const ScopedComApartment apartment;
    const DWORD self = GetCurrentThreadId();
    run.apartment_windows = thread_windows(self).size();
    ComPtr<IDispatch> reader;
    run.created = SUCCEEDED(CoCreateInstance(
        CLSID_ColsZQICCardReader, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reader.out_void()));
    if (!run.created) return 0;
    IDispatch* const object = reader.get();
    if (run.release_inside_call) {
        reader_to_release = &reader;
        SetTimer(nullptr, 0, 0, release_reader);
    }
    run.init = invoke(object, kCardReaderInit, DISPATCH_METHOD).hr;
    run.released_inside_call = !reader;
    run.with_reader = thread_windows(self).size();
    reader.reset();
    run.after_release = thread_windows(self).size();
    return 0;
}

TEST(ComponentServer, AThreadThatLetsGoOfItsReaderLeavesNothingBehind) {
    CLSID control{};
    CLSIDFromProgID(L"CZQICSim.KXCardReader", &control);
    HMODULE component = load_server(CLSID_ColsZQICCardReader);
    HMODULE simulator = load_server(control);
    ASSERT_TRUE(component && simulator);
    auto component_can_unload = export_of<CanUnloadNow>(component, "DllCanUnloadNow");
    auto simulator_can_unload = export_of<CanUnloadNow>(simulator, "DllCanUnloadNow");

    for (bool inside : {false, true}) {
        const char* how = inside ? "released while CardReaderInit pumps" : "released after it";
        ReaderThread run{inside};
        ScopedHandle thread(CreateThread(nullptr, 0, run_reader_thread, &run, 0, nullptr));
        ASSERT_TRUE(thread.valid());
        WaitForSingleObject(thread.get(), INFINITE);
        ASSERT_TRUE(run.created) << how;
        EXPECT_EQ(hex(run.init), hex(S_OK)) << how;
        if (inside) {
            EXPECT_TRUE(run.released_inside_call) << "the handler ran inside the call";
            EXPECT_EQ(run.with_reader, run.apartment_windows)
                << "the call's end took the thread's windows: " << how;
        } else {
            EXPECT_GT(run.with_reader, run.apartment_windows)
                << "the reader's form and loop have windows of the thread";
        }
        EXPECT_EQ(run.after_release, run.apartment_windows)
            << "no window of ours is left on the thread: " << how;
        EXPECT_EQ(hex(component_can_unload()), hex(S_OK))
            << "the component can unload once the thread let go: " << how;
        EXPECT_EQ(hex(simulator_can_unload()), hex(S_OK))
            << "so can the control's server, released with the form: " << how;
    }
    FreeLibrary(simulator);
    FreeLibrary(component);
}

TEST(ComponentServer, ChipDataIsProcessWide) {
    auto first = create_reader();
    auto second = create_reader();
    if (!first || !second) return;
    invoke(first.get(), kChipCardData, DISPATCH_PROPERTYPUT, {text_variant(L"00A4040008")});
    auto read = invoke(second.get(), kChipCardData, DISPATCH_PROPERTYGET);
    EXPECT_TRUE(read.value.type() == VT_BSTR &&
                narrow_bstr(V_BSTR(&read.value.get())) == "00A4040008")
        << "ChipCardData set through one object reads back through another";
}

TEST(LogWriterServer, WritesThroughItsDualInterface) {
    ComPtr<_LogWriter> writer;
    HRESULT hr = CoCreateInstance(CLSID_LogWriter, nullptr, CLSCTX_INPROC_SERVER, IID__LogWriter,
                                  writer.out_void());
    ASSERT_TRUE(SUCCEEDED(hr)) << "the log writer is created by its CLSID: " << hex(hr);
    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    const std::wstring path = std::wstring(folder) + L"czqic-check\\sub\\check.log";
    DeleteFileW(path.c_str());
    ScopedBstr p(path.c_str()), m(L"first line"), t(L"Qor"), broken(L"two\r\nlines\x01");
    LONG result = -1;
    EXPECT_EQ(writer->WriteLog(p.get(), m.get(), t.get(), &result), S_OK)
        << "WriteLog through the first slot after IDispatch";
    writer->WriteLog(p.get(), broken.get(), t.get(), &result);
    std::ifstream file(narrow(path), std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    const std::string lines = text.str();
    EXPECT_TRUE(lines.find("[Qor] first line\r\n") != std::string::npos)
        << "the line lands in the file, folders created: " << lines;
    EXPECT_TRUE(lines.find("[Qor] two\\r\\nlines\\x01\r\n") != std::string::npos)
        << "control characters are escaped: one message, one line: " << lines;

    const std::wstring bad = std::wstring(folder) + L"czqic-check\\sub\\check.log\\x.log";
    ScopedBstr b(bad.c_str());
    hr = writer->WriteLog(b.get(), m.get(), t.get(), &result);
    EXPECT_EQ(hex(hr), std::string("0x800A004B")) << "an unusable path fails with error 75";
    ComPtr<IErrorInfo> info;
    ScopedBstr description;
    if (GetErrorInfo(0, info.out()) == S_OK) info->GetDescription(description.out());
    const std::string said = description.get() ? narrow_bstr(description.get()) : "";
    EXPECT_TRUE(said.starts_with("Path/File access error: ") &&
                said.find("check.log") != std::string::npos)
        << "the error names the file: " << said;
}

}  // namespace
}  // namespace czqic::win
