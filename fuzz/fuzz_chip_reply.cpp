// Chip replies as the control may deliver them: arrays of any automation values (and
// things that are not arrays at all). The conversion either gives upper-case hexadecimal
// text, at least two and at most eight digits per element, or raises an AutomationError;
// replies made only of bytes read back exactly; a reply passed by reference reads the same.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

#include "device/chip_data.h"

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

bool is_byte(const Value& v, uint8_t& out) {
    if (const auto* i = std::get_if<int32_t>(&v.v); i && *i >= 0 && *i <= 255) {
        out = static_cast<uint8_t>(*i);
        return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    std::vector<std::unique_ptr<Value>> keep;
    const int shape = in.ConsumeIntegralInRange(0, 9);
    Value reply;
    size_t elements = 0;
    if (shape == 0) {
        reply = element(in, 3, keep);  // maybe not an array at all
        if (reply.is_array()) elements = reply.elements().size();
    } else {
        ValueArray items;
        const size_t n = in.ConsumeIntegralInRange<size_t>(0, shape == 1 ? 2000 : 40);
        for (size_t i = 0; i < n && in.remaining_bytes() > 0; ++i)
            items.push_back(element(in, 0, keep));
        elements = items.size();
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

    if (!raised) {
        if (!reply.is_array()) fault("text from something that is not an array");
        if (text.size() < 2 * elements) fault("fewer than two digits for some element");
        if (text.size() > 8 * elements) fault("more than eight digits for some element");
        for (char c : text)
            if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
                fault("a character that is not upper-case hex: " + text);

        // Bytes read back exactly, two digits each.
        const ValueArray& items = reply.elements();
        bool all_bytes = true;
        std::string expected;
        for (const auto& item : items) {
            uint8_t b;
            if (!is_byte(item, b)) {
                all_bytes = false;
                break;
            }
            char two[3];
            std::snprintf(two, sizeof two, "%02X", b);
            expected += two;
        }
        if (all_bytes && text != expected)
            fault("bytes read as " + text + " instead of " + expected);
    } else if (reply.is_array()) {
        // Only an element can be at fault; an array of bytes never is.
        bool all_bytes = true;
        for (const auto& item : reply.elements()) {
            uint8_t b;
            all_bytes = all_bytes && is_byte(item, b);
        }
        if (all_bytes) fault("an array of bytes refused");
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
