// What every platform shares of automation values: the run-time errors and their
// HRESULTs, following by-reference arguments, array access, and banker's rounding.
#include <atomic>
#include <cmath>
#include <cstdint>
#include <string>
#include <variant>

#include "platform/automation.h"

namespace czqic {

std::string runtime_error_description(int32_t number) {
    switch (number) {
        case rt_error::kOverflow:
            return "Overflow";
        case 7:
            return "Out of memory";
        case rt_error::kSubscriptOutOfRange:
            return "Subscript out of range";
        case rt_error::kTypeMismatch:
            return "Type mismatch";
        case rt_error::kInvalidUseOfNull:
            return "Invalid use of Null";
        case rt_error::kCannotCreateObject:
            return "ActiveX component can't create object";
        case rt_error::kNoSuchMember:
            return "Object doesn't support this property or method";
        default:
            return "Application-defined or object-defined error";
    }
}

namespace {

// Unsigned arithmetic so that any number, even a nonsensical negative one, yields an
// HRESULT without signed overflow.
uint32_t hresult_of(int32_t number) {
    return 0x800A0000u + static_cast<uint32_t>(number);
}

// A by-reference argument never legitimately refers to another reference more than a
// level or two deep; a longer chain can only be a cycle, and stopping leaves a Ref that
// every conversion rejects instead of hanging the caller.
constexpr int kMaxReferenceHops = 64;

const ValueArray& empty_array() {
    static const ValueArray empty;
    return empty;
}

}  // namespace

void raise_runtime_error(int32_t number) {
    throw AutomationError(number, hresult_of(number), runtime_error_description(number));
}

void raise_runtime_error(int32_t number, std::string description) {
    throw AutomationError(number, hresult_of(number), std::move(description));
}

void raise_failure(std::string description) {
    throw AutomationError(static_cast<int32_t>(kEFail), kEFail, std::move(description));
}

void raise_invalid_argument(std::string description) {
    throw AutomationError(static_cast<int32_t>(kEInvalidArg), kEInvalidArg, std::move(description));
}

void raise_member_not_found() {
    throw AutomationError(rt_error::kNoSuchMember, kDispEMemberNotFound, "Member not found");
}

void raise_bad_param_count() {
    // What Visual Basic reports for DISP_E_BADPARAMCOUNT.
    constexpr int32_t kWrongArgumentCount = 450;
    throw AutomationError(kWrongArgumentCount, kDispEBadParamCount, "Invalid number of parameters");
}

const std::string& Text::empty() {
    static const std::string none;
    return none;
}

// A block made from bytes builds its elements at most once, on first use as values.
enum class ByteForm : uint8_t { kNone, kOnly, kBuilding };

// The count is atomic because a control's own threads may hold copies of event
// arguments while the owner thread releases its own; for the same reason the byte form
// ends through an atomic state, as reading an array must stay safe from two threads.
struct SharedArray::Block {
    std::atomic<uint32_t> holders{1};
    std::atomic<ByteForm> form{ByteForm::kNone};
    ValueArray items;
    std::vector<uint8_t> bytes;
};

SharedArray::SharedArray(ValueArray items) : block_(new Block) {
    block_->items = std::move(items);
}

SharedArray SharedArray::of_bytes(std::vector<uint8_t> bytes) {
    SharedArray array;
    array.block_ = new Block;
    array.block_->bytes = std::move(bytes);
    array.block_->form.store(ByteForm::kOnly, std::memory_order_release);
    return array;
}

SharedArray::SharedArray(const SharedArray& other) noexcept : block_(other.block_) {
    if (block_ != nullptr) block_->holders.fetch_add(1, std::memory_order_relaxed);
}

SharedArray::~SharedArray() {
    if (block_ != nullptr && block_->holders.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete block_;
}

ValueArray& SharedArray::operator*() const {
    Block& block = *block_;
    for (;;) {
        ByteForm form = block.form.load(std::memory_order_acquire);
        if (form == ByteForm::kNone) return block.items;
        if (form == ByteForm::kOnly && block.form.compare_exchange_strong(
                                           form, ByteForm::kBuilding, std::memory_order_acquire)) {
            try {
                block.items.reserve(block.bytes.size());
                for (const uint8_t byte : block.bytes)
                    block.items.emplace_back(static_cast<double>(byte));
            } catch (...) {
                block.items.clear();
                block.form.store(ByteForm::kOnly, std::memory_order_release);
                throw;
            }
            // The bytes stay allocated: a pointer bytes() gave out earlier stays valid.
            block.form.store(ByteForm::kNone, std::memory_order_release);
            return block.items;
        }
        // Another thread is building them, a few microseconds at most. Should it fail, the
        // form goes back to bytes only and this thread builds them itself rather than
        // waiting for elements that will never come.
    }
}

const std::vector<uint8_t>* SharedArray::bytes() const {
    if (block_ == nullptr || block_->form.load(std::memory_order_acquire) != ByteForm::kOnly)
        return nullptr;
    return &block_->bytes;
}

const Value& Value::deref() const {
    const Value* current = this;
    for (int hops = 0; hops < kMaxReferenceHops; ++hops) {
        const Ref* ref = std::get_if<Ref>(&current->v);
        if (ref == nullptr || *ref == nullptr) break;
        current = *ref;
    }
    return *current;
}

Value& Value::deref() {
    return const_cast<Value&>(static_cast<const Value&>(*this).deref());
}

const ValueArray& Value::elements() const {
    const Array* array = std::get_if<Array>(&deref().v);
    if (array == nullptr) raise_runtime_error(rt_error::kTypeMismatch);
    // An array slot that was never filled in behaves as an array with no elements.
    return *array ? **array : empty_array();
}

double round_half_even(double x) {
    if (!std::isfinite(x)) return x;
    const double below = std::floor(x);
    // Exact: x and floor(x) are within one of each other, so no bits are lost.
    const double fraction = x - below;
    double result = below;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(below, 2.0) != 0.0)) result = below + 1.0;
    // Keep the sign of a value that rounds to zero, as the FPU's own rounding does.
    return result == 0.0 ? std::copysign(0.0, x) : result;
}

}  // namespace czqic
