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
class ConnectionPoint final : public EventSource {
  public:
    uint32_t advise(std::weak_ptr<EventSink> sink) override {
        return sinks_.advise(std::move(sink));
    }
    void unadvise(uint32_t cookie) override { sinks_.unadvise(cookie); }
    size_t connections() const { return sinks_.size(); }

  private:
    EventSinks sinks_;
};

}  // namespace czqic
