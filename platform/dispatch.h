// Late-bound objects: calls by dispatch identifier, outgoing events bound by name, and
// creatable classes looked up by ProgID or class identifier. This is all the component
// knows of COM; the posix side keeps classes in a table, the win32 side asks the registry.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/automation.h"

namespace czqic {

using DispId = int32_t;

enum class InvokeKind { Method, PropertyGet, PropertyPut };

// The root of every object handed across a late-bound seam (IUnknown's role).
class Object {
  public:
    virtual ~Object() = default;
};

// An object reached by dispatch identifier (IDispatch::Invoke). Arguments come in
// call order; a by-reference argument is a Value holding a Ref. A failing call raises
// AutomationError carrying the callee's number, HRESULT and description.
class Dispatch : public virtual Object {
  public:
    virtual Value invoke(DispId id, InvokeKind kind, std::span<Value> args) = 0;

    Value call(DispId id, std::span<Value> args = {}) {
        return invoke(id, InvokeKind::Method, args);
    }
    Value get(DispId id) { return invoke(id, InvokeKind::PropertyGet, {}); }
    void put(DispId id, Value value) { invoke(id, InvokeKind::PropertyPut, {&value, 1}); }
};

// Receives an event source's events by name, the way a form's handlers are bound.
class EventSink {
  public:
    virtual ~EventSink() = default;
    virtual void on_event(std::string_view name, std::span<const Value> args) = 0;
};

// A connection point: advise returns a cookie that unadvise takes back. The source holds
// the sink weakly, so a sink that is gone is never called.
class EventSource : public virtual Object {
  public:
    virtual uint32_t advise(std::weak_ptr<EventSink> sink) = 0;
    virtual void unadvise(uint32_t cookie) = 0;
};

// The sinks connected to one event source, and the delivery of an event to them. A handler
// may connect, disconnect or release while an event is delivered: delivery walks a copy
// and skips a sink disconnected by an earlier one. What a handler raises is dropped: a
// control ignores what its handlers return, and the host reports its own failures.
class EventSinks {
  public:
    uint32_t advise(std::weak_ptr<EventSink> sink) {
        connections_.push_back({++last_cookie_, std::move(sink)});
        return last_cookie_;
    }
    void unadvise(uint32_t cookie) {
        std::erase_if(connections_, [cookie](const Connection& c) { return c.cookie == cookie; });
    }
    size_t size() const { return connections_.size(); }

    void raise(std::string_view name, std::span<const Value> args) {
        const auto connections = connections_;
        for (const auto& c : connections) {
            if (std::ranges::none_of(connections_,
                                     [&](const Connection& now) { return now.cookie == c.cookie; }))
                continue;
            auto sink = c.sink.lock();
            if (!sink) continue;
            try {
                sink->on_event(name, args);
            } catch (...) {
            }
        }
    }

  private:
    struct Connection {
        uint32_t cookie;
        std::weak_ptr<EventSink> sink;
    };
    std::vector<Connection> connections_;
    uint32_t last_cookie_ = 0;
};

// An event source whose connections are an EventSinks of its own, which whoever derives
// from it raises.
class EventSinksSource : public EventSource {
  public:
    uint32_t advise(std::weak_ptr<EventSink> sink) override {
        return sinks_.advise(std::move(sink));
    }
    void unadvise(uint32_t cookie) override { sinks_.unadvise(cookie); }

  protected:
    EventSinks sinks_;
};

// A control placed on a form: shown (in-place activated) once the form's handlers are
// connected, and closed before they are disconnected. Objects that are no controls, and
// the classes of the posix table, do not offer it. Failures raise AutomationError.
class FormControl : public virtual Object {
  public:
    virtual void activate() = 0;
    virtual void close() = 0;
};

// Classes the platform itself can create, for names the table does not hold: none on
// posix; on Windows every registered COM class, through CoCreateInstance.
namespace platform_classes {
bool exists(std::string_view progid_or_clsid);
// Raises run-time error 429 when there is no such class or it cannot be created.
std::shared_ptr<Object> create(std::string_view progid_or_clsid);
}  // namespace platform_classes

// The table of creatable classes (CoCreateInstance by ProgID or by class identifier).
// Classes registered in the table come first; any other name goes to the platform.
class ClassRegistry {
  public:
    using Factory = std::function<std::shared_ptr<Object>()>;

    // Registers a class under its ProgID and its class identifier (either may be empty).
    void register_class(std::string progid, std::string clsid, Factory factory);
    void unregister_class(std::string_view progid_or_clsid);
    bool has_class(std::string_view progid_or_clsid) const;

    // Creates an instance; raises run-time error 429 when no such class is registered or
    // its factory fails, carrying the factory's description when it gave one.
    std::shared_ptr<Object> create(std::string_view progid_or_clsid) const;

    // Creates an instance and asks it for interface T (QueryInterface); raises 429 too
    // when the object does not offer T.
    template <class T>
    std::shared_ptr<T> create_as(std::string_view progid_or_clsid) const {
        auto object = create(progid_or_clsid);
        auto typed = std::dynamic_pointer_cast<T>(object);
        if (!typed)
            raise_runtime_error(rt_error::kCannotCreateObject,
                                "ActiveX component can't create object: " +
                                    std::string(progid_or_clsid) + " lacks the expected interface");
        return typed;
    }

  private:
    std::map<std::string, Factory, std::less<>> factories_;
};

}  // namespace czqic
