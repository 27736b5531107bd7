#include "diag/log_message.h"

#include <algorithm>
#include <charconv>

#include "device/control_contract.h"

namespace czqic::diag {
namespace {

using Kind = Message::Kind;

std::optional<int32_t> number(std::string_view text) {
    int32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
    return value;
}

Message event_line(std::string_view rest) {
    // The name runs up to the digits of the value: no handled event's name has a digit.
    const size_t digits = rest.find_first_of("-0123456789");
    if (digits == std::string_view::npos) return {};
    const std::string_view name = rest.substr(0, digits);
    const auto found = std::ranges::find(ev::kHandled, name, &ev::Handled::name);
    const auto status = number(rest.substr(digits));
    if (found == ev::kHandled.end() || !status) return {};
    Message m;
    m.kind = Kind::Event;
    m.status = status;
    m.event = static_cast<uint8_t>(found - ev::kHandled.begin());
    return m;
}

// "CardReaderWrite2" is track 2 of CardReaderWrite.
std::optional<Op> op_of(std::string_view name, int& track) {
    if (name.size() == 16 && name.starts_with("CardReaderWrite") && name[15] >= '1' &&
        name[15] <= '3') {
        track = name[15] - '0';
        return Op::Write;
    }
    return op_named(name);
}

Message labelled(std::string_view label, std::string_view value) {
    Message m;
    if (label.ends_with(" err")) {
        m.kind = Kind::Error;
        label.remove_suffix(4);
        m.text = value;
    } else if (label == "CardReaderRead start" || label == "CardReaderRead Start end ") {
        // The start line's "N F" is the status word and the entry-enabled flag.
        const bool start = label.back() == 't';
        const auto status = number(start ? value.substr(0, value.find(' ')) : value);
        if (!status) return {};
        m.kind = start ? Kind::Start : Kind::End;
        m.op = Op::Read;
        m.status = status;
        return m;
    } else if (label.ends_with(" end")) {
        m.kind = Kind::End;
        label.remove_suffix(4);
    } else {
        m.kind = Kind::Start;
    }
    const auto op = op_of(label, m.track);
    // The error line names the method, never a track; a progress line always has a number.
    if (!op || (m.kind == Kind::Error && m.track != 0)) return {};
    if (m.kind != Kind::Error && !(m.status = number(value))) return {};
    if (*op == Op::Write && m.kind != Kind::Error && m.track == 0) return {};
    if (*op == Op::Read && m.kind != Kind::Error) return {};  // its own labels, above
    // Lines these methods never write.
    if (*op == Op::GetStatus || *op == Op::Clear) {
        if (m.kind != Kind::Error) return {};
    } else if (*op == Op::Enable && m.kind == Kind::Start) {
        return {};
    }
    m.op = *op;
    return m;
}

}  // namespace

Message read_message(std::string_view message) {
    if (message.starts_with("Event ")) return event_line(message.substr(6));
    Message m;
    if (message.starts_with("mstrChipCardData:")) {
        m.kind = Kind::ChipData;
        m.text = message.substr(17);
        return m;
    }
    if (message == "CardReaderReset") {
        m.kind = Kind::TimerTick;
        m.op = Op::Reset;
        return m;
    }
    const size_t colon = message.find(':');
    if (colon == std::string_view::npos) return {};
    return labelled(message.substr(0, colon), message.substr(colon + 1));
}

}  // namespace czqic::diag
