// The class's default interface, member by member: name, dispatch identifier, kind and
// type, in slot order. Everything that reaches a member by identifier or by name (the
// command line, the COM server's dual interface and dispatch, the type library check,
// the tests and fuzz targets) takes it from here, so that a new member is its line in
// CZQIC_READER_MEMBERS, its body in the class and its line in the IDL.
//
// Header-only and constexpr, so that it also answers at compile time.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "component/reader.h"
#include "platform/automation.h"
#include "platform/dispatch.h"
#include "platform/text.h"

namespace czqic {

enum class MemberKind { Method, PropertyGet, PropertyLet };
enum class ValueType { Long, String };

struct Member {
    std::string_view name;
    DispId dispid;
    MemberKind kind;
    ValueType type;  // a method's or get's result, a let's argument
    // Runs the member; a let converts its one argument to its type first.
    Value (*run)(ColsZQICCardReader& reader, const Value& argument);
};

inline constexpr std::string_view kInterfaceName = "_ColsZQICCardReader";
inline constexpr std::string_view kClassName = "ColsZQICCardReader";
inline constexpr std::string_view kProgId = "CZQICCardReader.ColsZQICCardReader";

// X(KIND, TYPE, NAME, DISPID, CALL) for every member in slot order, after IUnknown's three
// and IDispatch's four: KIND a MemberKind, TYPE a ValueType, CALL the member's call on
// the object `r`, a let's argument (converted to TYPE) being `v`. Visual Basic numbers a
// class's properties from 0x68030000 and its methods from 0x60030000 up, in reverse order
// of declaration; both ranges share the low word.
#define CZQIC_READER_MEMBERS(X)                                               \
    X(PropertyGet, Long, CardReaderStatus, 0x68030011, r.CardReaderStatus())  \
    X(PropertyGet, String, ReadTrack1, 0x68030010, r.ReadTrack(1))            \
    X(PropertyGet, String, ReadTrack2, 0x6803000F, r.ReadTrack(2))            \
    X(PropertyGet, String, ReadTrack3, 0x6803000E, r.ReadTrack(3))            \
    X(PropertyGet, Long, ReadTrack1Len, 0x6803000D, r.ReadTrackLen(1))        \
    X(PropertyGet, Long, ReadTrack2Len, 0x6803000C, r.ReadTrackLen(2))        \
    X(PropertyGet, Long, ReadTrack3Len, 0x6803000B, r.ReadTrackLen(3))        \
    X(PropertyLet, String, WriteTrack1, 0x6803000A, r.WriteTrack(1, v))       \
    X(PropertyLet, String, WriteTrack2, 0x68030009, r.WriteTrack(2, v))       \
    X(PropertyLet, String, WriteTrack3, 0x68030008, r.WriteTrack(3, v))       \
    X(PropertyLet, String, WriteTrack1Len, 0x68030007, r.WriteTrackLen(1, v)) \
    X(PropertyLet, String, WriteTrack2Len, 0x68030006, r.WriteTrackLen(2, v)) \
    X(PropertyLet, String, WriteTrack3Len, 0x68030005, r.WriteTrackLen(3, v)) \
    X(Method, Long, CardReaderClear, 0x60030014, r.CardReaderClear())         \
    X(Method, Long, CardReaderInit, 0x60030015, r.CardReaderInit())           \
    X(Method, Long, CardReaderGetStatus, 0x60030016, r.CardReaderGetStatus()) \
    X(Method, Long, CardReaderReset, 0x60030017, r.CardReaderReset())         \
    X(Method, Long, Reset, 0x60030018, r.Reset())                             \
    X(Method, Long, CardReaderRetain, 0x60030019, r.CardReaderRetain())       \
    X(Method, Long, CardReaderEnable, 0x6003001A, r.CardReaderEnable())       \
    X(Method, Long, CardReaderRead, 0x6003001B, r.CardReaderRead())           \
    X(Method, Long, QOR_WaitChip, 0x6003001C, r.QOR_WaitChip())               \
    X(Method, Long, Qor_ChipTrnsp, 0x6003001D, r.Qor_ChipTrnsp())             \
    X(Method, Long, CardReaderWrite, 0x6003001E, r.CardReaderWrite())         \
    X(Method, Long, CardReaderReturn, 0x6003001F, r.CardReaderReturn())       \
    X(Method, Long, CardReaderDisable, 0x60030020, r.CardReaderDisable())     \
    X(PropertyLet, Long, TimeOutCard, 0x68030004, r.TimeOutCard(v))           \
    X(PropertyLet, Long, IsChipCard, 0x68030003, r.IsChipCard(v))             \
    X(PropertyGet, String, ChipCardData, 0x68030002, r.ChipCardData())        \
    X(PropertyLet, String, ChipCardData, 0x68030002, r.ChipCardData(v))       \
    X(PropertyGet, String, GSRV, 0x68030001, r.GSRV())                        \
    X(PropertyGet, String, CardVer, 0x68030000, r.CardVer())

namespace members_detail {

template <ValueType type>
auto converted(const Value& argument) {
    if constexpr (type == ValueType::Long)
        return to_i4(argument);
    else
        return to_string(argument);
}

// What sets a property's identifier apart from the method's with the same low word.
constexpr DispId kPropertyBit = 0x08000000;

}  // namespace members_detail

#define CZQIC_MEMBER_RUN_Method(TYPE, CALL) \
    [](ColsZQICCardReader& r, const Value&) { return Value(CALL); }
#define CZQIC_MEMBER_RUN_PropertyGet CZQIC_MEMBER_RUN_Method
#define CZQIC_MEMBER_RUN_PropertyLet(TYPE, CALL)                             \
    [](ColsZQICCardReader& r, const Value& argument) {                       \
        const auto v = members_detail::converted<ValueType::TYPE>(argument); \
        CALL;                                                                \
        return Value();                                                      \
    }
#define CZQIC_MEMBER_ROW(KIND, TYPE, NAME, DISPID, CALL) \
    Member{#NAME, DISPID, MemberKind::KIND, ValueType::TYPE, CZQIC_MEMBER_RUN_##KIND(TYPE, CALL)},

// Slot order of the default interface.
inline constexpr auto kMembers = std::to_array<Member>({CZQIC_READER_MEMBERS(CZQIC_MEMBER_ROW)});

#undef CZQIC_MEMBER_ROW
#undef CZQIC_MEMBER_RUN_PropertyLet
#undef CZQIC_MEMBER_RUN_PropertyGet
#undef CZQIC_MEMBER_RUN_Method

// The slot (index into kMembers) of the first member with this name, at compile time; a
// name that is no member does not compile.
consteval size_t member_slot(std::string_view name) {
    for (size_t i = 0; i < kMembers.size(); ++i)
        if (equals_ignoring_case(kMembers[i].name, name)) return i;
    throw "no member of that name";
}
// The slot of the member with this name and kind (ChipCardData has a get and a let).
consteval size_t member_slot(std::string_view name, MemberKind kind) {
    for (size_t i = 0; i < kMembers.size(); ++i)
        if (kMembers[i].kind == kind && equals_ignoring_case(kMembers[i].name, name)) return i;
    throw "no member of that name and kind";
}
// The dispatch identifier of the member with this name, at compile time.
consteval DispId dispid_of(std::string_view name) {
    return kMembers[member_slot(name)].dispid;
}

namespace members_detail {

constexpr bool answers(const Member& m, InvokeKind kind) {
    switch (kind) {
        case InvokeKind::Method:
            // Automation clients may read a property with a method-style call.
            return m.kind == MemberKind::Method || m.kind == MemberKind::PropertyGet;
        case InvokeKind::PropertyGet:
            return m.kind == MemberKind::PropertyGet || m.kind == MemberKind::Method;
        case InvokeKind::PropertyPut:
            return m.kind == MemberKind::PropertyLet;
    }
    return false;
}

constexpr const Member* exact(DispId id, InvokeKind kind) {
    for (const Member& m : kMembers)
        if (m.dispid == id && answers(m, kind)) return &m;
    return nullptr;
}

constexpr bool id_known(DispId id) {
    return std::ranges::any_of(kMembers, [id](const Member& m) { return m.dispid == id; });
}

inline Value run(ColsZQICCardReader& reader, const Member* m, InvokeKind kind,
                 std::span<Value> args) {
    if (!m) raise_runtime_error(rt_error::kNoSuchMember);
    if (kind == InvokeKind::PropertyPut) {
        if (args.size() != 1)
            throw AutomationError(static_cast<int32_t>(kDispEBadParamCount), kDispEBadParamCount,
                                  "Invalid number of parameters");
        return m->run(reader, args[0].deref());
    }
    if (!args.empty())
        throw AutomationError(static_cast<int32_t>(kDispEBadParamCount), kDispEBadParamCount,
                              "Invalid number of parameters");
    return m->run(reader, Value());
}

}  // namespace members_detail

// The member with this identifier that answers this kind of invocation, or nullptr. A
// method-range identifier (0x6003xxxx) that names no method reaches the property with
// the same number in the property range (0x6803xxxx), as Visual Basic objects answer.
constexpr const Member* find_member(DispId id, InvokeKind kind) {
    using namespace members_detail;
    if (const Member* m = exact(id, kind)) return m;
    if (!(id & kPropertyBit) && !id_known(id)) return exact(id | kPropertyBit, kind);
    return nullptr;
}

// Case-insensitive, as IDispatch::GetIDsOfNames matches names.
constexpr const Member* find_member(std::string_view name, InvokeKind kind) {
    for (const Member& m : kMembers)
        if (equals_ignoring_case(m.name, name) && members_detail::answers(m, kind)) return &m;
    return nullptr;
}

// IDispatch::Invoke on the object: runs the member and returns its value (Empty for a
// let). Unknown identifiers raise 438; a let without its one argument raises
// DISP_E_BADPARAMCOUNT; failures of the member itself propagate unchanged.
inline Value invoke(ColsZQICCardReader& reader, DispId id, InvokeKind kind,
                    std::span<Value> args = {}) {
    return members_detail::run(reader, find_member(id, kind), kind, args);
}
inline Value invoke(ColsZQICCardReader& reader, std::string_view name, InvokeKind kind,
                    std::span<Value> args = {}) {
    return members_detail::run(reader, find_member(name, kind), kind, args);
}

}  // namespace czqic
