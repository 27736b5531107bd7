// Loads the registered CZQICCardReader type library and holds it against the core's
// member table: every member's name, DISPID, kind, types and slot, the flags of both
// interfaces, the event interface and the registration of the class.
#include <windows.h>

#include <gtest/gtest.h>
#include <oleauto.h>

#include <string>
#include <vector>

#include "CZQICCardReader.h"
#include "component/events.h"
#include "component/members.h"
#include "platform/win32/com/convert.h"
#include "platform/win32/com/server_registration.h"
#include "platform/win32/scoped.h"

namespace czqic::win {
namespace {

constexpr WORD kDualFlags = TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDUAL |
                            TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE;
constexpr WORD kSourceFlags = TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE;
constexpr size_t kDispatchSlots = 7;  // IUnknown's three, IDispatch's four

std::string name_of(ITypeInfo* info, MEMBERID id) {
    ScopedBstr name;
    UINT count = 0;
    if (id == MEMBERID_NIL)
        info->GetDocumentation(id, name.out(), nullptr, nullptr, nullptr);
    else
        info->GetNames(id, name.out(), 1, &count);
    return narrow_bstr(name.get());
}

std::vector<std::string> names_of(ITypeInfo* info, MEMBERID id) {
    BSTR names[8] = {};
    UINT count = 0;
    info->GetNames(id, names, 8, &count);
    std::vector<std::string> result;
    for (UINT i = 0; i < count; ++i) {
        result.push_back(narrow_bstr(names[i]));
        SysFreeString(names[i]);
    }
    return result;
}

std::string type_name(const TYPEDESC& t) {
    switch (t.vt) {
        case VT_I4:
            return "long";
        case VT_BSTR:
            return "BSTR";
        case VT_HRESULT:
            return "HRESULT";
        case VT_VOID:
            return "void";
        case VT_PTR:
            return type_name(*t.lptdesc) + "*";
        default:
            return "vt" + std::to_string(t.vt);
    }
}

std::string expected_type(ValueType type) {
    return type == ValueType::Long ? "long" : "BSTR";
}

INVOKEKIND expected_invkind(MemberKind kind) {
    switch (kind) {
        case MemberKind::Method:
            return INVOKE_FUNC;
        case MemberKind::PropertyGet:
            return INVOKE_PROPERTYGET;
        case MemberKind::PropertyLet:
            return INVOKE_PROPERTYPUT;
    }
    return INVOKE_FUNC;
}

struct Described {
    ComPtr<ITypeInfo> info;
    TYPEATTR attr{};
};

Described describe(ComPtr<ITypeInfo> info) {
    Described d;
    d.info = std::move(info);
    TYPEATTR* raw = nullptr;
    if (d.info && SUCCEEDED(d.info->GetTypeAttr(&raw)))
        d.attr = *ScopedTypeAttr(d.info.get(), raw).get();
    return d;
}

// The interface a type implements at index i (-1: a dual interface's vtable side).
Described implemented(const Described& type, UINT i) {
    HREFTYPE ref = 0;
    ComPtr<ITypeInfo> info;
    type.info->GetRefTypeOfImplType(i, &ref);
    type.info->GetRefTypeInfo(ref, info.out());
    return describe(std::move(info));
}

std::wstring registry_text(const std::wstring& key, const wchar_t* value = nullptr) {
    wchar_t text[512] = {};
    DWORD size = sizeof text;
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), value, RRF_RT_REG_SZ, nullptr, text, &size) !=
        ERROR_SUCCESS)
        return L"(missing)";
    return text;
}

TEST(Registration, NamesTheClassItsProgIdServerAndTypeLibrary) {
    const std::wstring clsid = guid_text(CLSID_ColsZQICCardReader);
    EXPECT_EQ(narrow(registry_text(std::wstring(widen(kProgId)) + L"\\CLSID")), narrow(clsid))
        << "the ProgID names the class";
    EXPECT_EQ(narrow(registry_text(L"CLSID\\" + clsid + L"\\ProgID")), std::string(kProgId))
        << "the class names its ProgID";
    EXPECT_EQ(narrow(registry_text(L"CLSID\\" + clsid + L"\\InprocServer32", L"ThreadingModel")),
              std::string("Apartment"))
        << "the server is apartment-threaded";
    const std::string server = narrow(registry_text(L"CLSID\\" + clsid + L"\\InprocServer32"));
    EXPECT_TRUE(server.ends_with("CZQICCardReader.dll")) << "InprocServer32 is the DLL: " << server;
    EXPECT_EQ(narrow(registry_text(L"CLSID\\" + clsid + L"\\TypeLib")),
              narrow(guid_text(LIBID_CZQICCardReader)))
        << "the class names its type library";
}

// The registered library, loaded as a client loads it.
class TypeLibrary : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(LoadRegTypeLib(LIBID_CZQICCardReader, 1, 0, LOCALE_NEUTRAL, library_.out()), S_OK)
            << "LoadRegTypeLib finds CZQICCardReader 1.0";
    }
    // The library's description of the type with that GUID.
    Described type_of(REFGUID guid) {
        ComPtr<ITypeInfo> info;
        library_->GetTypeInfoOfGuid(guid, info.out());
        return describe(std::move(info));
    }
    ComPtr<ITypeLib> library_;
};

TEST_F(TypeLibrary, IsVersionOneFromTheDllsOwnResource) {
    ITypeLib* library = library_.get();
    TLIBATTR* raw = nullptr;
    ASSERT_EQ(library->GetLibAttr(&raw), S_OK);
    const ScopedLibAttr attr(library, raw);
    EXPECT_EQ(attr->wMajorVerNum, 1) << "major version";
    EXPECT_EQ(attr->wMinorVerNum, 0) << "minor version";
    ScopedBstr name;
    library->GetDocumentation(-1, name.out(), nullptr, nullptr, nullptr);
    EXPECT_EQ(narrow_bstr(name.get()), std::string("CZQICCardReader")) << "library name";
    EXPECT_EQ(library->GetTypeInfoCount(), 3u) << "three types: the class and its two interfaces";
    ScopedBstr path;
    QueryPathOfRegTypeLib(LIBID_CZQICCardReader, 1, 0, LOCALE_NEUTRAL, path.out());
    const std::string where = narrow_bstr(path.get());
    EXPECT_TRUE(where.find("CZQICCardReader.dll") != std::string::npos)
        << "registered from the DLL's own resource: " << where;
}

TEST_F(TypeLibrary, DescribesTheCreatableClass) {
    const Described coclass = type_of(CLSID_ColsZQICCardReader);
    EXPECT_EQ(coclass.attr.typekind, TKIND_COCLASS) << "a coclass";
    EXPECT_EQ(name_of(coclass.info.get(), MEMBERID_NIL), std::string(kClassName)) << "class name";
    EXPECT_TRUE(coclass.attr.wTypeFlags & TYPEFLAG_FCANCREATE) << "creatable";
    EXPECT_EQ(coclass.attr.cImplTypes, 2) << "two interfaces";
    const struct {
        INT flags;
        GUID iid;
    } expected[] = {
        {IMPLTYPEFLAG_FDEFAULT, IID__ColsZQICCardReader},
        {IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE, DIID___ColsZQICCardReader},
    };
    for (UINT i = 0; i < 2; ++i) {
        INT flags = 0;
        coclass.info->GetImplTypeFlags(i, &flags);
        EXPECT_EQ(flags, expected[i].flags) << "interface " << i << " role";
        EXPECT_TRUE(implemented(coclass, i).attr.guid == expected[i].iid)
            << "interface " << i << " GUID";
    }
}

TEST_F(TypeLibrary, DefaultInterfaceMatchesTheMemberTable) {
    const Described dispatch = type_of(IID__ColsZQICCardReader);
    EXPECT_EQ(name_of(dispatch.info.get(), MEMBERID_NIL), std::string(kInterfaceName))
        << "interface name";
    EXPECT_EQ(dispatch.attr.typekind, TKIND_DISPATCH) << "dispatch side of a dual interface";
    // ITypeInfo never reports oleautomation for the dispatch side of a dual interface;
    // the vtable side below carries it.
    constexpr WORD kDispatchSide = kDualFlags & ~TYPEFLAG_FOLEAUTOMATION;
    EXPECT_EQ(dispatch.attr.wTypeFlags & kDualFlags, kDispatchSide)
        << "hidden, nonextensible, dual, dispatchable (dispatch side)";

    const Described vtable = implemented(dispatch, static_cast<UINT>(-1));
    EXPECT_EQ(vtable.attr.typekind, TKIND_INTERFACE) << "vtable side";
    EXPECT_EQ(vtable.attr.wTypeFlags & kDualFlags, kDualFlags)
        << "hidden, nonextensible, dual, oleautomation (vtable side)";
    EXPECT_EQ(vtable.attr.cFuncs, static_cast<WORD>(kMembers.size())) << "one slot per member";
    EXPECT_EQ(vtable.attr.cbSizeVft,
              static_cast<WORD>((kDispatchSlots + kMembers.size()) * sizeof(void*)))
        << "table size: IDispatch's slots and the members'";

    for (size_t i = 0; i < kMembers.size(); ++i) {
        const Member& m = kMembers[i];
        FUNCDESC* raw = nullptr;
        const bool described = SUCCEEDED(vtable.info->GetFuncDesc(static_cast<UINT>(i), &raw));
        EXPECT_TRUE(described) << "slot " << i << " described";
        if (!described) continue;
        const ScopedFuncDesc f(vtable.info.get(), raw);
        const std::string label = "slot " + std::to_string(i) + " " + std::string(m.name);
        const std::string actual_name = name_of(vtable.info.get(), f->memid);
        const bool get_like = m.kind != MemberKind::PropertyLet;
        const std::string param_type =
            f->cParams == 1 ? type_name(f->lprgelemdescParam[0].tdesc) : "";
        const USHORT param_flags =
            f->cParams == 1 ? f->lprgelemdescParam[0].paramdesc.wParamFlags : 0;
        const bool ok = actual_name == m.name && f->memid == m.dispid &&
                        f->invkind == expected_invkind(m.kind) &&
                        f->oVft == static_cast<SHORT>((kDispatchSlots + i) * sizeof(void*)) &&
                        f->funckind == FUNC_PUREVIRTUAL && f->callconv == CC_STDCALL &&
                        f->elemdescFunc.tdesc.vt == VT_HRESULT && f->cParams == 1 &&
                        param_type == expected_type(m.type) + (get_like ? "*" : "") &&
                        (get_like ? (param_flags & (PARAMFLAG_FOUT | PARAMFLAG_FRETVAL)) ==
                                        (PARAMFLAG_FOUT | PARAMFLAG_FRETVAL)
                                  : (param_flags & PARAMFLAG_FIN) != 0);
        char detail[256];
        std::snprintf(detail, sizeof detail,
                      "found %s id 0x%08lX invkind %d vtable offset %d params %d (%s)",
                      actual_name.c_str(), static_cast<unsigned long>(f->memid), f->invkind,
                      f->oVft, f->cParams, param_type.c_str());
        EXPECT_TRUE(ok) << label << ": " << detail;
    }

    // Late binding by name finds every member's DISPID through the dispatch side.
    for (const Member& m : kMembers) {
        std::wstring name = widen(m.name);
        LPOLESTR names[] = {name.data()};
        MEMBERID id = MEMBERID_NIL;
        dispatch.info->GetIDsOfNames(names, 1, &id);
        EXPECT_EQ(id, m.dispid) << "GetIDsOfNames " << m.name;
    }
}

TEST_F(TypeLibrary, EventInterface) {
    const Described events = type_of(DIID___ColsZQICCardReader);
    EXPECT_EQ(name_of(events.info.get(), MEMBERID_NIL), std::string(kEventInterface))
        << "event interface name";
    EXPECT_EQ(events.attr.typekind, TKIND_DISPATCH) << "a dispinterface";
    EXPECT_EQ(events.attr.wTypeFlags & kSourceFlags, kSourceFlags) << "hidden and nonextensible";
    EXPECT_FALSE(events.attr.wTypeFlags & TYPEFLAG_FDUAL) << "dispatch-only";
    EXPECT_EQ(events.attr.cFuncs, static_cast<WORD>(kEventMembers.size())) << "three events";
    for (UINT i = 0; i < events.attr.cFuncs && i < kEventMembers.size(); ++i) {
        const EventMember& e = kEventMembers[i];
        FUNCDESC* raw = nullptr;
        events.info->GetFuncDesc(i, &raw);
        const ScopedFuncDesc f(events.info.get(), raw);
        // "eventcode As Long, State As Long" in the declared form, one name per parameter.
        std::string declared;
        const auto names = names_of(events.info.get(), f->memid);
        for (size_t p = 1; p < names.size(); ++p) {
            if (p > 1) declared += ", ";
            declared +=
                names[p] + " As " + (f->lprgelemdescParam[p - 1].tdesc.vt == VT_I4 ? "Long" : "?");
        }
        const std::string label = std::string(e.name) + " " + std::to_string(e.dispid);
        EXPECT_TRUE(names.size() > 0 && names[0] == e.name && f->memid == e.dispid &&
                    f->invkind == INVOKE_FUNC && f->elemdescFunc.tdesc.vt == VT_VOID &&
                    declared == e.params)
            << label << ": "
            << (names.empty() ? std::string("?") : names[0]) + "(" + declared + ")";
    }
}

}  // namespace
}  // namespace czqic::win
