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

void event_line(std::string_view rest, Message& m) {
    // The name runs up to the digits of the value: no handled event's name has a digit.
    size_t digits = 0;
    while (digits < rest.size() && rest[digits] != '-' &&
           static_cast<unsigned char>(rest[digits] - '0') > 9)
        ++digits;
    const std::string_view name = rest.substr(0, digits);
    const auto found = std::ranges::find(ev::kHandled, name, &ev::Handled::name);
    const auto status = number(rest.substr(digits));
    if (found == ev::kHandled.end() || !status) return;
    m.kind = Kind::Event;
    m.status = status;
    m.event = static_cast<uint8_t>(found - ev::kHandled.begin());
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

void labelled(std::string_view label, std::string_view value, Message& m) {
    if (label.ends_with(" err")) {
        m.kind = Kind::Error;
        label.remove_suffix(4);
        m.text = value;
    } else if (label == "CardReaderRead start" || label == "CardReaderRead Start end ") {
        // The start line's "N F" is the status word and the entry-enabled flag.
        const bool start = label.back() == 't';
        const auto status = number(start ? value.substr(0, value.find(' ')) : value);
        if (!status) return m.unknown();
        m.kind = start ? Kind::Start : Kind::End;
        m.op = Op::Read;
        m.status = status;
        return;
    } else if (label.ends_with(" end")) {
        m.kind = Kind::End;
        label.remove_suffix(4);
    } else {
        m.kind = Kind::Start;
    }
    const auto op = op_of(label, m.track);
    // The error line names the method, never a track; a progress line always has a number.
    if (!op || (m.kind == Kind::Error && m.track != 0)) return m.unknown();
    if (m.kind != Kind::Error && !(m.status = number(value))) return m.unknown();
    if (*op == Op::Write && m.kind != Kind::Error && m.track == 0) return m.unknown();
    if (*op == Op::Read && m.kind != Kind::Error) return m.unknown();  // its own labels, above
    // Lines these methods never write.
    if (*op == Op::GetStatus || *op == Op::Clear) {
        if (m.kind != Kind::Error) return m.unknown();
    } else if (*op == Op::Enable && m.kind == Kind::Start) {
        return m.unknown();
    }
    m.op = *op;
    return;
}

}  // namespace

void read_message(std::string_view message, Message& m) {
    m = Message{};
    if (message.starts_with("Event ")) return event_line(message.substr(6), m);
    if (message.starts_with("mstrChipCardData:")) {
        m.kind = Kind::ChipData;
        m.text = message.substr(17);
        return;
    }
    if (message == "CardReaderReset") {
        m.kind = Kind::TimerTick;
        m.op = Op::Reset;
        return;
    }
    const size_t colon = message.find(':');
    if (colon != std::string_view::npos)
        labelled(message.substr(0, colon), message.substr(colon + 1), m);
}

}  // namespace czqic::diag
