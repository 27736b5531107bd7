// Chip command text: the check accepts exactly the non-empty, even-length hexadecimal
// texts (either case) and refuses the rest with Type mismatch; an accepted text becomes
// bytes that give the same text back in upper case, through both the command and the
// reply conversion; text longer than 32768 characters overflows. Qor_ChipTrnsp itself
// refuses a malformed text before the pending mark and the control call (the text stays
// in ChipCardData), refuses one too long before the control call, and sends any other
// byte for byte.
//
// Input: byte 0 is a repeat count, the rest is the text. A repeat lets inputs that fit
// libFuzzer's length limit still cross the 32768-character limit.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "component/chip_data.h"
#include "fuzz/rig.h"

namespace {

using czqic::AutomationError;

[[noreturn]] void fault(std::string_view text, const std::string& what) {
    std::string shown(text.substr(0, 80));
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
    std::fprintf(stderr, "chip command (%zu chars) \"%s%s\": %s\n", text.size(), shown.c_str(),
                 text.size() > 80 ? "..." : "", what.c_str());
    std::abort();
}

bool is_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

char upper(char c) {
    return c >= 'a' && c <= 'f' ? static_cast<char>(c - 32) : c;
}

// Returns the error number, or 0 when nothing was raised.
template <class F>
int32_t error_of(std::string_view text, const char* what, F&& f) {
    try {
        f();
        return 0;
    } catch (const AutomationError& e) {
        return e.number();
    } catch (const std::exception& e) {
        fault(text, std::string(what) + " let a non-automation exception out: " + e.what());
    }
}

}  // namespace

// The whole method on the simulated reader: what reaches the control, and what a
// refusal leaves behind.
void check_transfer(const std::string& text, bool valid) {
    czqic::fuzz::Rig rig(czqic::sim::builtin_scenario());
    auto reader = rig.make_reader();
    reader->ChipCardData(text);
    rig.rt.status_word = 0;
    rig.device->clear_journal();
    const int32_t result = czqic::fuzz::checked_call(
        *reader, "Qor_ChipTrnsp", {czqic::kOk, czqic::kTimedOut, czqic::kFailed});
    std::vector<std::string> sends;
    for (const auto& line : rig.device->journal())
        if (line.starts_with("call: chipSend(")) sends.push_back(line);
    if (!valid || text.size() > czqic::kMaxChipCommandChars) {
        if (result != czqic::kFailed)
            fault(text, "a refused command gave " + std::to_string(result));
        if (!sends.empty()) fault(text, "a refused command reached the control: " + sends[0]);
        if (!valid && rig.rt.status_word != 0) fault(text, "refused after the pending mark");
        if (reader->ChipCardData() != text) fault(text, "a refused command was not kept");
        return;
    }
    std::string expected = "call: chipSend(\"SEND\", 0, [";
    for (size_t i = 0; i < text.size(); i += 2) {
        if (i) expected += ", ";
        expected += std::to_string(std::stoi(text.substr(i, 2), nullptr, 16));
    }
    expected += "], -1)";
    if (sends.size() != 1 || sends[0] != expected)
        fault(text,
              "not sent byte for byte: " + (sends.empty() ? "nothing" : sends[0].substr(0, 80)));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string unit(reinterpret_cast<const char*>(data + 1), size - 1);
    // 0 to 9 extra copies, or for 250 and up enough copies to pass the limit.
    size_t copies = 1;
    if (data[0] >= 250 && !unit.empty())
        copies = czqic::kMaxChipCommandChars / unit.size() + (data[0] - 249);
    else
        copies += data[0] % 10;
    std::string text;
    text.reserve(unit.size() * copies);
    for (size_t i = 0; i < copies; ++i) text += unit;

    bool valid = !text.empty() && text.size() % 2 == 0;
    for (char c : text) valid = valid && is_hex(c);

    const int32_t check =
        error_of(text, "check_chip_command", [&] { czqic::check_chip_command(text); });
    if (!valid) {
        if (check != 13)
            fault(text, "not a chip command, but the check gave " + std::to_string(check));
        check_transfer(text, false);
        return 0;
    }
    if (check != 0) fault(text, "a valid chip command refused with " + std::to_string(check));

    czqic::Value command;
    const int32_t convert = error_of(text, "chip_command_to_array",
                                     [&] { command = czqic::chip_command_to_array(text); });
    if (text.size() > czqic::kMaxChipCommandChars) {
        if (convert != 6) fault(text, "longer than the limit, but gave " + std::to_string(convert));
        check_transfer(text, true);
        return 0;
    }
    if (convert != 0)
        fault(text, "conversion refused a valid command with " + std::to_string(convert));
    // The controls read the compact form; the elements are built from it afterwards.
    const auto* compact = std::get<czqic::Value::Array>(command.v).bytes();
    if (!compact || compact->size() != text.size() / 2)
        fault(text, "the command is not held as its bytes");
    const std::vector<uint8_t> sent = *compact;
    const czqic::ValueArray& bytes = command.elements();
    if (bytes.size() != text.size() / 2) fault(text, "wrong number of bytes");

    std::string expected;
    for (char c : text) expected += upper(c);
    std::string rebuilt;
    for (const auto& b : bytes) {
        const double* d = std::get_if<double>(&b.v);
        if (!d) fault(text, "a command byte is not held as a Double");
        if (!(*d >= 0 && *d <= 255) || *d != static_cast<int>(*d))
            fault(text, "a byte out of 0..255");
        char two[3];
        std::snprintf(two, sizeof two, "%02X", static_cast<unsigned>(*d));
        rebuilt += two;
        if (sent[rebuilt.size() / 2 - 1] != static_cast<uint8_t>(*d))
            fault(text, "the compact bytes and the elements differ");
    }
    if (rebuilt != expected) fault(text, "bytes give back \"" + rebuilt.substr(0, 80) + "\"");

    // The same bytes arriving as a reply read back as the same text.
    std::string reply;
    const int32_t back = error_of(text, "chip_reply_to_text",
                                  [&] { reply = czqic::chip_reply_to_text(czqic::Value(bytes)); });
    if (back != 0)
        fault(text, "the reply conversion refused command bytes with " + std::to_string(back));
    if (reply != expected) fault(text, "as a reply the bytes read \"" + reply.substr(0, 80) + "\"");
    check_transfer(text, true);
    return 0;
}
