// The part of a host that is the same on every platform: the client's objects by its own
// numbers, created and called through the two hooks each platform fills in, the simulated
// reader's knobs (each platform's own part), the thread's message pump and the clock it
// tells. Ref is the host's owning reference to one object.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/message_loop.h"
#include "tools/cli/host.h"
#include "tools/cli/printers.h"

namespace czqic::cli {

template <class Ref>
class NumberedHost : public Host {
  public:
    bool has_object(int number) const final { return objects_.contains(number); }

    void create_object(int number) final { objects_[number] = new_object(); }

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

    Value invoke(int number, std::string_view member, InvokeKind kind,
                 std::span<Value> args) final {
        // Held for the call: a step's own release cannot free the object under it.
        Ref object = another_reference(objects_.at(number));
        return call(object, member, kind, args);
    }

    SimulatedReader& simulated_reader() final { return sim_; }
    void pump_for(int64_t ms) final { loop().pump_for(ms); }
    std::string clock_text() final { return format_time_of_day(loop().clock().time_of_day()); }

  protected:
    // sim is the host's own part, which the host keeps for as long as it lives (it may
    // still be under construction here: it is only stored).
    explicit NumberedHost(SimulatedReader& sim) : sim_(sim) {}

    // For the hosts' destructors: the objects go lowest number first, while everything
    // their terminations use is still there.
    void release_all() {
        for (int number : live_objects()) release_object(number);
    }
    virtual MessageLoop& loop() = 0;
    // A new object of the class; raises AutomationError when the component refuses.
    virtual Ref new_object() = 0;
    // A late-bound call of member on object; failures raise AutomationError.
    virtual Value call(Ref& object, std::string_view member, InvokeKind kind,
                       std::span<Value> args) = 0;

    std::map<int, Ref> objects_;

  private:
    SimulatedReader& sim_;

    static Ref another_reference(const Ref& ref) {
        if constexpr (std::is_copy_constructible_v<Ref>)
            return ref;
        else
            return ref.copy();  // a COM pointer, copied only when asked to
    }
};

}  // namespace czqic::cli
