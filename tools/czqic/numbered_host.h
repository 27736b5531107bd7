// The part of a host that is the same on every platform: the client's objects by its own
// numbers, the thread's message pump and the clock it tells. Ref is the host's owning
// reference to one object.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/message_loop.h"
#include "tools/czqic/host.h"
#include "tools/czqic/session.h"

namespace czqic::cli {

template <class Ref>
class NumberedHost : public Host {
  public:
    bool has_object(int number) const final { return objects_.contains(number); }

    void release_object(int number) final {
        auto it = objects_.find(number);
        if (it == objects_.end()) return;
        // Out of the table before the last reference goes, so that whatever the termination
        // runs sees the object as gone.
        Ref last = std::move(it->second);
        objects_.erase(it);
        last.reset();
    }

    std::vector<int> live_objects() const final {
        std::vector<int> numbers;
        for (const auto& [number, object] : objects_) numbers.push_back(number);
        return numbers;
    }

    void pump_for(int64_t ms) final { loop().pump_for(ms); }
    std::string clock_text() final { return format_time_of_day(loop().clock().time_of_day()); }

  protected:
    // For the hosts' destructors: the objects go lowest number first, while everything
    // their terminations use is still there.
    void release_all() {
        for (int number : live_objects()) release_object(number);
    }
    virtual MessageLoop& loop() = 0;

    std::map<int, Ref> objects_;
};

}  // namespace czqic::cli
