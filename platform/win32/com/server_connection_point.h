// The connection point of a server object's outgoing event interface. The object's core
// raises events by name through an EventSource; the point hands each one, by the DISPID
// its type description gives the name, to every sink connected now. A class that raises
// nothing still offers the point, as clients expect to connect to it.
#pragma once

#include <windows.h>

#include <ocidl.h>
#include <olectl.h>

#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "platform/dispatch.h"
#include "platform/win32/com/error.h"
#include "platform/win32/scoped.h"

namespace czqic::win {

// The DISPID the events interface described by names gives an event's name; nullopt for
// a name it does not declare, whose event reaches nobody.
std::optional<DISPID> event_dispid(ITypeInfo* names, std::string_view name);
// Raises one event on one sink; what the sink returns, a failure included, is the sink's
// own affair, not the raiser's.
void call_sink(IDispatch* sink, DISPID id, std::span<const Value> args);

// A part of its object, counted with it; the object answers the container's two calls
// with find() and enumerate().
class EventConnectionPoint final : public IConnectionPoint {
  public:
    // events: the outgoing dispinterface; source: who reports a failed call; owner_thread:
    // the one thread that may call the point, its container and their enumerators (0: any).
    EventConnectionPoint(IUnknown& owner, const IID& events, const wchar_t* source,
                         DWORD owner_thread = 0)
        : owner_(owner), events_(events), source_(source), owner_thread_(owner_thread) {}
    ~EventConnectionPoint();
    EventConnectionPoint(const EventConnectionPoint&) = delete;  // lives inside its object
    EventConnectionPoint& operator=(const EventConnectionPoint&) = delete;

    // From now until the point goes, what `from` raises reaches the connected sinks, by
    // the DISPIDs `names` declares; `from` must outlive the point.
    void forward(EventSource& from, ITypeInfo* names);
    // Raises one event on every sink connected now; a sink that disconnects another
    // during delivery is respected, and what a sink returns is ignored.
    void fire(DISPID id, std::span<const Value> args);

    // The sinks connected now, for a server that delivers its events another way.
    std::vector<ComPtr<IDispatch>> connected() const;

    const IID& events() const { return events_; }
    // The boundary of a call of iid on the point or its container.
    ErrorOrigin origin(const IID& iid) const { return {iid, source_, owner_thread_}; }
    HRESULT find(REFIID iid, IConnectionPoint** out);
    HRESULT enumerate(IEnumConnectionPoints** out);

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override { return owner_.AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return owner_.Release(); }
    STDMETHODIMP GetConnectionInterface(IID* iid) override;
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** out) override;
    STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
    STDMETHODIMP Unadvise(DWORD cookie) override;
    STDMETHODIMP EnumConnections(IEnumConnections** out) override;

  private:
    struct Sink {
        DWORD cookie;
        ComPtr<IDispatch> target;
    };
    IUnknown& owner_;
    const IID& events_;
    const wchar_t* source_;
    DWORD owner_thread_;
    std::vector<Sink> sinks_;
    DWORD last_cookie_ = 0;
    EventSource* from_ = nullptr;
    std::shared_ptr<EventSink> forwarder_;
    uint32_t from_cookie_ = 0;
};

// What a script host or a form asks of an object with one outgoing interface to find
// that interface and connect to it: the container of its one point and the description
// of its class.
class ConnectableObject : public IConnectionPointContainer, public IProvideClassInfo2 {
  public:
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** out) override {
        return com_boundary(event_point().origin(IID_IConnectionPointContainer), nullptr,
                            [&] { return event_point().enumerate(out); });
    }
    STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** out) override {
        return com_boundary(event_point().origin(IID_IConnectionPointContainer), nullptr,
                            [&] { return event_point().find(iid, out); });
    }
    STDMETHODIMP GetClassInfo(ITypeInfo** out) override {
        return com_boundary(event_point().origin(IID_IProvideClassInfo), nullptr, [&] {
            if (!out) return E_POINTER;
            *out = class_info();
            (*out)->AddRef();
            return S_OK;
        });
    }
    STDMETHODIMP GetGUID(DWORD kind, GUID* out) override {
        return com_boundary(event_point().origin(IID_IProvideClassInfo2), nullptr, [&] {
            if (!out) return E_POINTER;
            if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) return E_INVALIDARG;
            *out = event_point().events();
            return S_OK;
        });
    }

  protected:
    virtual EventConnectionPoint& event_point() = 0;
    virtual ITypeInfo* class_info() = 0;  // the coclass; the object keeps the reference

    // The interfaces above, for the object's find_interface; nullptr for any other.
    IUnknown* find_connectable(REFIID iid) {
        if (iid == IID_IConnectionPointContainer)
            return static_cast<IConnectionPointContainer*>(this);
        if (iid == IID_IProvideClassInfo || iid == IID_IProvideClassInfo2)
            return static_cast<IProvideClassInfo2*>(this);
        return nullptr;
    }
};

}  // namespace czqic::win
