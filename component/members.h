// The class's default interface, member by member: name, dispatch identifier, kind and
// type, in slot order. Everything that reaches a member by identifier or by name (the
// command line, the COM server's dispatch, the type library check) goes through here.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "component/reader.h"
#include "platform/automation.h"
#include "platform/dispatch.h"

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

// Slot order of the default interface, after IUnknown's three and IDispatch's four.
extern const std::array<Member, 32> kMembers;

// The member with this identifier that answers this kind of invocation, or nullptr. A
// method-range identifier (0x6003xxxx) that names no method reaches the property with
// the same number in the property range (0x6803xxxx), as Visual Basic objects answer.
const Member* find_member(DispId id, InvokeKind kind);
// Case-insensitive, as IDispatch::GetIDsOfNames matches names.
const Member* find_member(std::string_view name, InvokeKind kind);
// True when some member has this name (of any kind).
bool has_member_named(std::string_view name);

// IDispatch::Invoke on the object: runs the member and returns its value (Empty for a
// let). Unknown identifiers raise 438; a let without its one argument raises
// DISP_E_BADPARAMCOUNT; failures of the member itself propagate unchanged.
Value invoke(ColsZQICCardReader& reader, DispId id, InvokeKind kind, std::span<Value> args = {});
Value invoke(ColsZQICCardReader& reader, std::string_view name, InvokeKind kind,
             std::span<Value> args = {});

}  // namespace czqic
