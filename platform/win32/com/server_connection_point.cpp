#include "platform/win32/com/server_connection_point.h"

#include <olectl.h>

#include <algorithm>
#include <string>
#include <utility>

#include "platform/win32/com/convert.h"
#include "platform/win32/com/error.h"
#include "platform/win32/com/object.h"

namespace czqic::win {
namespace {

// What an enumerator hands out: each item handed over carries a reference of its own.
void retain(IConnectionPoint* point) {
    point->AddRef();
}
void drop(IConnectionPoint* point) {
    point->Release();
}
void retain(CONNECTDATA& data) {
    data.pUnk->AddRef();
}
void drop(CONNECTDATA& data) {
    data.pUnk->Release();
}

template <class IEnum, class Item>
class Enumerator final : public ComObject<IEnum> {
  public:
    // origin: the point's, for the enumerated interface; its owner thread alone may call.
    Enumerator(const ErrorOrigin& origin, std::vector<Item> items, size_t position = 0)
        : origin_(origin), items_(std::move(items)), position_(position) {
        for (Item& item : items_) retain(item);
    }
    ~Enumerator() override {
        for (Item& item : items_) drop(item);
    }

    STDMETHODIMP Next(ULONG count, Item* out, ULONG* fetched) override {
        return com_boundary(origin_, nullptr, [&] {
            if (!out || (count > 1 && !fetched)) return E_POINTER;
            ULONG given = 0;
            for (; given < count && position_ < items_.size(); ++given, ++position_) {
                out[given] = items_[position_];
                retain(out[given]);
            }
            if (fetched) *fetched = given;
            return given == count ? S_OK : S_FALSE;
        });
    }
    STDMETHODIMP Skip(ULONG count) override {
        return com_boundary(origin_, nullptr, [&] {
            const size_t left = items_.size() - position_;
            position_ += std::min<size_t>(count, left);
            return count <= left ? S_OK : S_FALSE;
        });
    }
    STDMETHODIMP Reset() override {
        return com_boundary(origin_, nullptr, [&] {
            position_ = 0;
            return S_OK;
        });
    }
    STDMETHODIMP Clone(IEnum** out) override {
        return com_boundary(origin_, nullptr, [&] {
            if (!out) return E_POINTER;
            *out = new Enumerator(origin_, items_, position_);
            return S_OK;
        });
    }

  private:
    IUnknown* find_interface(REFIID iid) override {
        if (iid == IID_IUnknown || iid == origin_.iid) return this;
        return nullptr;
    }
    const ErrorOrigin origin_;
    std::vector<Item> items_;
    size_t position_;
};

// Hands the events a core raises by name to the point by DISPID.
class Forwarder final : public EventSink {
  public:
    Forwarder(EventConnectionPoint& point, ITypeInfo* names) : point_(point), names_(names) {}
    void on_event(std::string_view name, std::span<const Value> args) override {
        if (auto id = event_dispid(names_, name)) point_.fire(*id, args);
    }

  private:
    EventConnectionPoint& point_;
    ITypeInfo* names_;
};

}  // namespace

std::optional<DISPID> event_dispid(ITypeInfo* names, std::string_view name) {
    const std::wstring wide = widen(name);
    LPOLESTR asked[] = {const_cast<LPOLESTR>(wide.c_str())};
    DISPID id = DISPID_UNKNOWN;
    if (FAILED(names->GetIDsOfNames(asked, 1, &id))) return std::nullopt;
    return id;
}

void call_sink(IDispatch* sink, DISPID id, std::span<const Value> args) {
    std::vector<Value> values(args.begin(), args.end());
    OutgoingArgs outgoing(values, false);
    ScopedVariant result;
    ScopedExcepInfo excepinfo;
    sink->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, outgoing.params(),
                 result.out(), excepinfo.ptr(), nullptr);
}

EventConnectionPoint::~EventConnectionPoint() {
    if (from_) from_->unadvise(from_cookie_);
}

void EventConnectionPoint::forward(EventSource& from, ITypeInfo* names) {
    forwarder_ = std::make_shared<Forwarder>(*this, names);
    from_cookie_ = from.advise(forwarder_);
    from_ = &from;
}

void EventConnectionPoint::fire(DISPID id, std::span<const Value> args) {
    std::vector<DWORD> cookies;
    for (const Sink& s : sinks_) cookies.push_back(s.cookie);
    for (DWORD cookie : cookies) {
        auto it = std::ranges::find(sinks_, cookie, &Sink::cookie);
        if (it == sinks_.end()) continue;
        call_sink(it->target.copy().get(), id, args);
    }
}

std::vector<ComPtr<IDispatch>> EventConnectionPoint::connected() const {
    std::vector<ComPtr<IDispatch>> targets;
    for (const Sink& s : sinks_) targets.push_back(s.target.copy());
    return targets;
}

HRESULT EventConnectionPoint::find(REFIID iid, IConnectionPoint** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid != events_) return CONNECT_E_NOCONNECTION;
    *out = this;
    AddRef();
    return S_OK;
}

HRESULT EventConnectionPoint::enumerate(IEnumConnectionPoints** out) {
    if (!out) return E_POINTER;
    *out = new Enumerator<IEnumConnectionPoints, IConnectionPoint*>(
        origin(IID_IEnumConnectionPoints), {this});
    return S_OK;
}

STDMETHODIMP EventConnectionPoint::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid != IID_IUnknown && iid != IID_IConnectionPoint) return E_NOINTERFACE;
    *out = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP EventConnectionPoint::GetConnectionInterface(IID* iid) {
    return com_boundary(origin(IID_IConnectionPoint), nullptr, [&] {
        if (!iid) return E_POINTER;
        *iid = events_;
        return S_OK;
    });
}

STDMETHODIMP EventConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** out) {
    return com_boundary(origin(IID_IConnectionPoint), nullptr, [&] {
        if (!out) return E_POINTER;
        return owner_.QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(out));
    });
}

STDMETHODIMP EventConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
    return com_boundary(origin(IID_IConnectionPoint), nullptr, [&] {
        if (!sink || !cookie) return E_POINTER;
        *cookie = 0;
        auto target = ComPtr<IUnknown>::share(sink).query<IDispatch>(events_);
        if (!target) target = ComPtr<IUnknown>::share(sink).query<IDispatch>(IID_IDispatch);
        if (!target) return CONNECT_E_CANNOTCONNECT;
        sinks_.push_back({last_cookie_ + 1, std::move(target)});
        *cookie = ++last_cookie_;
        return S_OK;
    });
}

STDMETHODIMP EventConnectionPoint::Unadvise(DWORD cookie) {
    return com_boundary(origin(IID_IConnectionPoint), nullptr, [&] {
        auto it = std::ranges::find(sinks_, cookie, &Sink::cookie);
        if (it == sinks_.end()) return CONNECT_E_NOCONNECTION;
        sinks_.erase(it);
        return S_OK;
    });
}

STDMETHODIMP EventConnectionPoint::EnumConnections(IEnumConnections** out) {
    return com_boundary(origin(IID_IConnectionPoint), nullptr, [&] {
        if (!out) return E_POINTER;
        std::vector<CONNECTDATA> data;
        for (const Sink& s : sinks_) data.push_back({s.target.get(), s.cookie});
        *out = new Enumerator<IEnumConnections, CONNECTDATA>(origin(IID_IEnumConnections),
                                                             std::move(data));
        return S_OK;
    });
}

}  // namespace czqic::win
