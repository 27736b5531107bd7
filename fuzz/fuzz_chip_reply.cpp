// Chip replies as the control may deliver them: arrays of any automation values (and
// things that are not arrays at all). Each element is modelled exactly here: its Long
// value by the coercion rules (Empty 0, True -1, Doubles rounded half to even, Null,
// arrays and out-of-range numbers refused) and then its 32-bit pattern in upper-case hex,
// at least two digits. The reply is the elements' texts in order, or an AutomationError
// when any element is refused; a reply passed by reference reads the same.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>

#include "component/chip_data.h"

namespace {

using czqic::AutomationError;
using czqic::Value;
using czqic::ValueArray;

[[noreturn]] void fault(const std::string& what) {
    std::fprintf(stderr, "chip_reply_to_text: %s\n", what.c_str());
    std::abort();
}

double interesting_double(FuzzedDataProvider& in) {
    static const double kValues[] = {0.0,
                                     -0.0,
                                     0.5,
                                     1.5,
                                     2.5,
                                     254.5,
                                     255.5,
                                     -0.5,
                                     -1.0,
                                     2147483647.0,
                                     2147483647.5,
                                     -2147483648.0,
                                     -2147483648.5,
                                     4294967295.0,
                                     1e300,
                                     std::numeric_limits<double>::infinity(),
                                     -std::numeric_limits<double>::infinity(),
                                     std::numeric_limits<double>::quiet_NaN(),
                                     std::numeric_limits<double>::denorm_min()};
    if (in.ConsumeBool())
        return kValues[in.ConsumeIntegralInRange<size_t>(0, std::size(kValues) - 1)];
    return in.ConsumeFloatingPoint<double>();
}

Value element(FuzzedDataProvider& in, int depth, std::vector<std::unique_ptr<Value>>& keep) {
    switch (in.ConsumeIntegralInRange(0, 10)) {
        case 0:
            return Value(in.ConsumeIntegral<int16_t>());
        case 1:
            return Value(in.ConsumeIntegral<int32_t>());
        case 2:
            return Value(interesting_double(in));
        case 3:
            return Value(in.ConsumeBool());
        case 4:
            return Value(in.ConsumeRandomLengthString(12));
        case 5:
            return Value(std::to_string(in.ConsumeIntegralInRange<int64_t>(-300, 5000000000)));
        case 6:
            return Value();
        case 7:
            return Value(czqic::Null{});
        case 8: {
            if (depth > 2) return Value(int32_t{1});
            ValueArray inner;
            const int n = in.ConsumeIntegralInRange(0, 3);
            for (int i = 0; i < n; ++i) inner.push_back(element(in, depth + 1, keep));
            return Value(std::move(inner));
        }
        case 9: {
            // A by-reference element, as a VARIANT may hold one.
            keep.push_back(std::make_unique<Value>(element(in, depth + 1, keep)));
            return Value::by_ref(*keep.back());
        }
        default:
            return Value(static_cast<int32_t>(in.ConsumeIntegralInRange(0, 255)));
    }
}

// The element's Long, or nullopt when the coercion refuses it. Strings go through the
// string parser, which has a fuzzer of its own; everything else is reckoned here.
std::optional<int64_t> model_long(const Value& element) {
    const Value& v = element.deref();
    if (std::holds_alternative<czqic::Empty>(v.v)) return 0;
    if (const auto* b = std::get_if<bool>(&v.v)) return *b ? -1 : 0;
    if (const auto* i = std::get_if<int16_t>(&v.v)) return *i;
    if (const auto* l = std::get_if<int32_t>(&v.v)) return *l;
    if (const auto* d = std::get_if<double>(&v.v)) {
        if (!std::isfinite(*d)) return std::nullopt;
        const double r = std::nearbyint(*d);  // the default mode: half to even
        if (r < -2147483648.0 || r > 2147483647.0) return std::nullopt;
        return static_cast<int64_t>(r);
    }
    if (const auto* text = v.text_if()) {
        try {
            return czqic::str_to_i4(*text);
        } catch (const AutomationError&) {
            return std::nullopt;
        }
    }
    return std::nullopt;  // Null, arrays
}

std::string model_text(int64_t n) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%02X", static_cast<unsigned>(static_cast<uint32_t>(n)));
    return digits;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    std::vector<std::unique_ptr<Value>> keep;
    const int shape = in.ConsumeIntegralInRange(0, 9);
    Value reply;
    if (shape == 0) {
        reply = element(in, 3, keep);  // maybe not an array at all
    } else {
        ValueArray items;
        const size_t n = in.ConsumeIntegralInRange<size_t>(0, shape == 1 ? 2000 : 40);
        for (size_t i = 0; i < n && in.remaining_bytes() > 0; ++i)
            items.push_back(element(in, 0, keep));
        reply = Value(std::move(items));
    }

    std::string text;
    bool raised = false;
    try {
        text = czqic::chip_reply_to_text(reply);
    } catch (const AutomationError&) {
        raised = true;
    } catch (const std::exception& e) {
        fault(std::string("a non-automation exception: ") + e.what());
    }

    if (reply.is_array()) {
        std::optional<std::string> expected = std::string();
        for (const auto& item : reply.elements()) {
            const auto n = model_long(item);
            if (!n) {
                expected.reset();
                break;
            }
            *expected += model_text(*n);
        }
        if (!expected && !raised) fault("accepted a reply with an element it must refuse: " + text);
        if (expected && raised) fault("refused a reply the model reads as " + *expected);
        if (expected && text != *expected) fault("read as " + text + " instead of " + *expected);
    } else if (!raised) {
        fault("text from something that is not an array");
    }

    // By reference: the same outcome.
    Value ref = Value::by_ref(reply);
    try {
        const std::string via_ref = czqic::chip_reply_to_text(ref);
        if (raised || via_ref != text) fault("by reference the reply reads differently");
    } catch (const AutomationError&) {
        if (!raised) fault("by reference the reply is refused");
    }
    return 0;
}
