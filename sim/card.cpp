// The test card's chip: just enough of ISO/IEC 7816-4 for a client to power it up, pick
// its application and ask for a challenge. Short APDUs only; the class byte is not
// checked, as no command here depends on it.
#include <algorithm>

#include "sim/sim_internal.h"

namespace czqic::sim::detail {
namespace {

constexpr uint8_t kInsGetChallenge = 0x84;
constexpr uint8_t kInsSelect = 0xA4;
constexpr uint8_t kSelectByName = 0x04;

std::vector<uint8_t> status(uint16_t sw) {
    return {static_cast<uint8_t>(sw >> 8), static_cast<uint8_t>(sw & 0xFF)};
}

constexpr uint16_t kOk = 0x9000;
constexpr uint16_t kWrongLength = 0x6700;
constexpr uint16_t kFileNotFound = 0x6A82;
constexpr uint16_t kWrongP1P2 = 0x6A86;
constexpr uint16_t kInsNotSupported = 0x6D00;

// The body after CLA INS P1 P2, split into the command data and the expected length.
struct Body {
    std::span<const uint8_t> data;
    std::optional<int> le;  // 0 in the APDU means 256
};

std::optional<Body> split_body(std::span<const uint8_t> body) {
    auto le_of = [](uint8_t b) { return b == 0 ? 256 : int{b}; };
    if (body.empty()) return Body{};
    if (body.size() == 1) return Body{{}, le_of(body[0])};
    const size_t lc = body[0];
    if (lc == 0) return std::nullopt;  // extended lengths are not spoken here
    if (body.size() == 1 + lc) return Body{body.subspan(1, lc), std::nullopt};
    if (body.size() == 2 + lc) return Body{body.subspan(1, lc), le_of(body.back())};
    return std::nullopt;
}

}  // namespace

std::vector<uint8_t> card_answer(std::span<const uint8_t> apdu, std::mt19937& random) {
    if (apdu.size() < 4) return status(kWrongLength);
    const uint8_t ins = apdu[1];
    const uint8_t p1 = apdu[2];
    if (ins != kInsGetChallenge && ins != kInsSelect) return status(kInsNotSupported);

    auto body = split_body(apdu.subspan(4));
    if (!body) return status(kWrongLength);

    if (ins == kInsGetChallenge) {
        if (!body->data.empty() || !body->le) return status(kWrongLength);
        std::vector<uint8_t> answer;
        answer.reserve(*body->le + 2);
        for (int i = 0; i < *body->le; ++i) answer.push_back(static_cast<uint8_t>(random() & 0xFF));
        auto sw = status(kOk);
        answer.insert(answer.end(), sw.begin(), sw.end());
        return answer;
    }

    if (p1 != kSelectByName) return status(kWrongP1P2);
    if (body->data.empty()) return status(kWrongLength);
    static const std::vector<uint8_t> aid = hex_to_raw(kCardApplicationId);
    return std::ranges::equal(body->data, aid) ? status(kOk) : status(kFileNotFound);
}

}  // namespace czqic::sim::detail
