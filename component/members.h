// The class's default interface, member by member: name, dispatch identifier, kind and
// type, in slot order. Everything that reaches a member by identifier or by name (the
// command line, the COM server's dispatch, the type library check) goes through here.
//
// Header-only on purpose: the table binds methods that the operations and chip layers
// define, so it is compiled only where those layers are linked (the hosts), never into
// the component library itself. Being constexpr, it also answers at compile time.
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
    // Runs the member; a let receives its one argument already coerced to its type.
    Value (*run)(ColsZQICCardReader& reader, const Value& argument);
};

inline constexpr std::string_view kInterfaceName = "_ColsZQICCardReader";
inline constexpr std::string_view kClassName = "ColsZQICCardReader";
inline constexpr std::string_view kProgId = "CZQICCardReader.ColsZQICCardReader";

namespace members_detail {

using Reader = ColsZQICCardReader;
using Arg = const Value&;
constexpr auto kMethod = MemberKind::Method;
constexpr auto kGet = MemberKind::PropertyGet;
constexpr auto kLet = MemberKind::PropertyLet;
constexpr auto kLong = ValueType::Long;
constexpr auto kText = ValueType::String;

// Visual Basic numbers a class's properties from 0x68030000 and its methods from
// 0x60030000 up, in reverse order of declaration; both ranges share the low word.
constexpr DispId kPropertyBit = 0x08000000;

}  // namespace members_detail

// Slot order of the default interface, after IUnknown's three and IDispatch's four.
inline constexpr std::array<Member, 32> kMembers = [] {
    using namespace members_detail;
    return std::array<Member, 32>{{
        {"CardReaderStatus", 0x68030011, kGet, kLong,
         [](Reader& r, Arg) { return Value(r.CardReaderStatus()); }},
        {"ReadTrack1", 0x68030010, kGet, kText,
         [](Reader& r, Arg) { return Value(r.ReadTrack(1)); }},
        {"ReadTrack2", 0x6803000F, kGet, kText,
         [](Reader& r, Arg) { return Value(r.ReadTrack(2)); }},
        {"ReadTrack3", 0x6803000E, kGet, kText,
         [](Reader& r, Arg) { return Value(r.ReadTrack(3)); }},
        {"ReadTrack1Len", 0x6803000D, kGet, kLong,
         [](Reader& r, Arg) { return Value(r.ReadTrackLen(1)); }},
        {"ReadTrack2Len", 0x6803000C, kGet, kLong,
         [](Reader& r, Arg) { return Value(r.ReadTrackLen(2)); }},
        {"ReadTrack3Len", 0x6803000B, kGet, kLong,
         [](Reader& r, Arg) { return Value(r.ReadTrackLen(3)); }},
        {"WriteTrack1", 0x6803000A, kLet, kText,
         [](Reader& r, Arg a) { return r.WriteTrack(1, to_string(a)), Value(); }},
        {"WriteTrack2", 0x68030009, kLet, kText,
         [](Reader& r, Arg a) { return r.WriteTrack(2, to_string(a)), Value(); }},
        {"WriteTrack3", 0x68030008, kLet, kText,
         [](Reader& r, Arg a) { return r.WriteTrack(3, to_string(a)), Value(); }},
        {"WriteTrack1Len", 0x68030007, kLet, kText,
         [](Reader& r, Arg a) { return r.WriteTrackLen(1, to_string(a)), Value(); }},
        {"WriteTrack2Len", 0x68030006, kLet, kText,
         [](Reader& r, Arg a) { return r.WriteTrackLen(2, to_string(a)), Value(); }},
        {"WriteTrack3Len", 0x68030005, kLet, kText,
         [](Reader& r, Arg a) { return r.WriteTrackLen(3, to_string(a)), Value(); }},
        {"CardReaderClear", 0x60030014, kMethod, kLong,
         [](Reader& r, Arg) { return Value(r.CardReaderClear()); }},
        {"CardReaderInit", 0x60030015, kMethod, kLong,
         [](Reader& r, Arg) { return Value(r.CardReaderInit()); }},
        {"CardReaderGetStatus", 0x60030016, kMethod, kLong,
         [](Reader& r, Arg) { return Value(r.CardReaderGetStatus()); }},
        {"CardReaderReset", 0x60030017, kMethod, kLong,
         [](Reader& r, Arg) { return Value(r.CardReaderReset()); }},
        {"Reset", 0x60030018, kMethod, kLong, [](Reader& r, Arg) { return Value(r.Reset()); }},
        {"CardReaderRetain", 0x60030019, kMethod, kLong,
         [](Reader& r, Arg) { return Value(r.CardReaderRetain()); }},
        {"CardReaderEnable", 0x6003001A, kMethod, kLong,
         [](Reader& r, Arg) { return Value(r.CardReaderEnable()); }},
        {"CardReaderRead", 0x6003001B, kMethod, kLong,
         [](Reader& r, Arg) { return Value(r.CardReaderRead()); }},
        {"QOR_WaitChip", 0x6003001C, kMethod, kLong,
         [](Reader& r, Arg) { return Value(r.QOR_WaitChip()); }},
        {"Qor_ChipTrnsp", 0x6003001D, kMethod, kLong,
         [](Reader& r, Arg) { return Value(r.Qor_ChipTrnsp()); }},
        {"CardReaderWrite", 0x6003001E, kMethod, kLong,
         [](Reader& r, Arg) { return Value(r.CardReaderWrite()); }},
        {"CardReaderReturn", 0x6003001F, kMethod, kLong,
         [](Reader& r, Arg) { return Value(r.CardReaderReturn()); }},
        {"CardReaderDisable", 0x60030020, kMethod, kLong,
         [](Reader& r, Arg) { return Value(r.CardReaderDisable()); }},
        {"TimeOutCard", 0x68030004, kLet, kLong,
         [](Reader& r, Arg a) { return r.TimeOutCard(to_i4(a)), Value(); }},
        {"IsChipCard", 0x68030003, kLet, kLong,
         [](Reader& r, Arg a) { return r.IsChipCard(to_i4(a)), Value(); }},
        {"ChipCardData", 0x68030002, kGet, kText,
         [](Reader& r, Arg) { return Value(r.ChipCardData()); }},
        {"ChipCardData", 0x68030002, kLet, kText,
         [](Reader& r, Arg a) { return r.ChipCardData(to_string(a)), Value(); }},
        {"GSRV", 0x68030001, kGet, kText, [](Reader& r, Arg) { return Value(r.GSRV()); }},
        {"CardVer", 0x68030000, kGet, kText, [](Reader& r, Arg) { return Value(r.CardVer()); }},
    }};
}();

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
