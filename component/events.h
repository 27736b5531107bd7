// The class's outgoing event interface. It is declared so that clients can connect to
// it, and nothing ever raises it: every outcome reaches the client through result codes
// and properties.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/dispatch.h"

namespace czqic {

struct EventMember {
    std::string_view name;
    DispId dispid;
    std::string_view params;  // as the type library declares them
};

inline constexpr std::string_view kEventInterface = "__ColsZQICCardReader";
inline constexpr std::array<EventMember, 3> kEventMembers{{
    {"StatusEvent", 1, "eventcode As Long, State As Long"},
    {"ResultEvent", 2, "eventcode As Long"},
    {"RapReady", 3, "eventcode As Long"},
}};

// A connection point that keeps its subscribers and never calls them.
class ConnectionPoint final : public EventSinksSource {
  public:
    size_t connections() const { return sinks_.size(); }
};

}  // namespace czqic
