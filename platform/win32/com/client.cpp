#include "platform/win32/com/client.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32/com/client_control_site.h"
#include "platform/win32/com/convert.h"
#include "platform/win32/com/error.h"
#include "platform/win32/com/object.h"
#include "platform/win32/com/typed_dispatch.h"

namespace czqic::win {
namespace {

constexpr wchar_t kSource[] = L"czqic host";

[[noreturn]] void cannot_create(std::string_view name, const std::string& why) {
    raise_runtime_error(rt_error::kCannotCreateObject,
                        "ActiveX component can't create object: " + std::string(name) + why);
}

// The object's default source interface, found the way a form finds it: the class's own
// description (IProvideClassInfo), else the coclass in the object's type library whose
// default interface is the one the object dispatches.
struct SourceInterface {
    IID iid;
    ComPtr<ITypeInfo> info;
};

ComPtr<ITypeInfo> class_info_of(IDispatch* object) {
    ComPtr<ITypeInfo> coclass;
    auto provide = ComPtr<IDispatch>::share(object).query<IProvideClassInfo>(IID_IProvideClassInfo);
    if (provide && SUCCEEDED(provide->GetClassInfo(coclass.out())) && coclass) return coclass;

    ComPtr<ITypeInfo> dispatched;
    if (FAILED(object->GetTypeInfo(0, LOCALE_USER_DEFAULT, dispatched.out())) || !dispatched)
        return {};
    TYPEATTR* raw = nullptr;
    if (FAILED(dispatched->GetTypeAttr(&raw))) return {};
    const ScopedTypeAttr dispatched_attr(dispatched.get(), raw);
    ComPtr<ITypeLib> library;
    UINT index = 0;
    if (FAILED(dispatched->GetContainingTypeLib(library.out(), &index))) return {};
    const UINT count = library->GetTypeInfoCount();
    for (UINT i = 0; i < count; ++i) {
        TYPEKIND kind;
        if (FAILED(library->GetTypeInfoType(i, &kind)) || kind != TKIND_COCLASS) continue;
        ComPtr<ITypeInfo> candidate;
        if (FAILED(library->GetTypeInfo(i, candidate.out()))) continue;
        HREFTYPE ref;
        ComPtr<ITypeInfo> default_interface;
        TYPEATTR* attr = nullptr;
        // Index 0 is the default interface in every coclass a compiler emits.
        if (FAILED(candidate->GetRefTypeOfImplType(0, &ref)) ||
            FAILED(candidate->GetRefTypeInfo(ref, default_interface.out())) ||
            FAILED(default_interface->GetTypeAttr(&attr)))
            continue;
        const ScopedTypeAttr interface_attr(default_interface.get(), attr);
        if (interface_attr->guid == dispatched_attr->guid) return candidate;
    }
    return {};
}

std::optional<SourceInterface> default_source_of(IDispatch* object) {
    auto coclass = class_info_of(object);
    if (!coclass) return std::nullopt;
    TYPEATTR* raw = nullptr;
    if (FAILED(coclass->GetTypeAttr(&raw))) return std::nullopt;
    const ScopedTypeAttr attr(coclass.get(), raw);
    for (UINT i = 0; i < attr->cImplTypes; ++i) {
        INT flags = 0;
        if (FAILED(coclass->GetImplTypeFlags(i, &flags))) continue;
        constexpr INT kWanted = IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE;
        if ((flags & kWanted) != kWanted) continue;
        HREFTYPE ref;
        SourceInterface source{};
        TYPEATTR* source_raw = nullptr;
        if (FAILED(coclass->GetRefTypeOfImplType(i, &ref)) ||
            FAILED(coclass->GetRefTypeInfo(ref, source.info.out())) ||
            FAILED(source.info->GetTypeAttr(&source_raw)))
            return std::nullopt;
        const ScopedTypeAttr source_attr(source.info.get(), source_raw);
        source.iid = source_attr->guid;
        return source;
    }
    return std::nullopt;
}

// Receives one connection's events and hands them on by name.
class EventSinkObject final : public ComObject<TypedDispatch<>> {
  public:
    EventSinkObject(const SourceInterface& source, std::weak_ptr<EventSink> sink)
        : iid_(source.iid), info_(source.info.copy()), sink_(std::move(sink)) {}

    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* excepinfo, UINT*) override {
        if (result) VariantInit(result);
        return com_boundary({iid_, kSource}, excepinfo, [&] {
            const std::string* name = name_of(id);
            auto sink = sink_.lock();
            // Events the handlers are not bound to, and events after the form let go of
            // its handlers, are received and dropped.
            if (!name || !sink) return;
            IncomingArgs args(params);
            sink->on_event(*name, args.values());
            args.write_back();
        });
    }

  private:
    ITypeInfo* dispatch_info() override { return nullptr; }
    IUnknown* find_interface(REFIID iid) override {
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == iid_) return this;
        return nullptr;
    }

    const std::string* name_of(DISPID id) {
        if (auto it = names_.find(id); it != names_.end()) return &it->second;
        ScopedBstr name;
        UINT count = 0;
        if (FAILED(info_->GetNames(id, name.out(), 1, &count)) || count == 0) return nullptr;
        return &names_.emplace(id, narrow_bstr(name.get())).first->second;
    }

    IID iid_;
    ComPtr<ITypeInfo> info_;
    std::weak_ptr<EventSink> sink_;
    std::map<DISPID, std::string> names_;
};

class ComDispatch : public Dispatch, public FormControl {
  public:
    ComDispatch(ComPtr<IDispatch> object, std::string_view name) : object_(std::move(object)) {
        // A control is hosted as a form hosts it before anything else is asked of it.
        if (auto ole = object_.query<IOleObject>(IID_IOleObject))
            hosting_ = std::make_unique<ControlHosting>(ole.get(), name);
    }
    ComDispatch(const ComDispatch&) = delete;  // holds the object's references
    ComDispatch& operator=(const ComDispatch&) = delete;

    void activate() override {
        if (hosting_) hosting_->activate();
    }
    void close() override {
        if (hosting_) hosting_->close();
    }

    Value invoke(DispId id, InvokeKind kind, std::span<Value> args) override {
        WORD flags = DISPATCH_METHOD;
        if (kind == InvokeKind::PropertyGet) flags = DISPATCH_PROPERTYGET;
        if (kind == InvokeKind::PropertyPut) flags = DISPATCH_PROPERTYPUT;
        OutgoingArgs outgoing(args, kind == InvokeKind::PropertyPut);
        ScopedVariant result;
        EXCEPINFO excepinfo{};
        UINT bad_argument = 0;
        const HRESULT hr =
            object_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, outgoing.params(),
                            result.out(), &excepinfo, &bad_argument);
        if (FAILED(hr)) raise_call_failure(hr, object_.get(), IID_IDispatch, &excepinfo);
        outgoing.write_back();
        return variant_to_value(result.get());
    }

  protected:
    IDispatch* object() const { return object_.get(); }

  private:
    ComPtr<IDispatch> object_;
    std::unique_ptr<ControlHosting> hosting_;
};

class ComEventDispatch final : public ComDispatch, public EventSource {
  public:
    ComEventDispatch(ComPtr<IDispatch> object, std::string_view name, SourceInterface source,
                     ComPtr<IConnectionPoint> point)
        : ComDispatch(std::move(object), name),
          source_(std::move(source)),
          point_(std::move(point)) {}
    ~ComEventDispatch() override {
        // A control is closed before its handlers are disconnected.
        close();
        for (DWORD cookie : cookies_) point_->Unadvise(cookie);
    }

    uint32_t advise(std::weak_ptr<EventSink> sink) override {
        ComPtr<IDispatch> receiver;
        receiver.reset(new EventSinkObject(source_, std::move(sink)));
        DWORD cookie = 0;
        const HRESULT hr = point_->Advise(receiver.get(), &cookie);
        if (FAILED(hr)) raise_call_failure(hr, point_.get(), IID_IConnectionPoint);
        cookies_.push_back(cookie);
        return cookie;
    }
    void unadvise(uint32_t cookie) override {
        std::erase(cookies_, cookie);
        point_->Unadvise(cookie);
    }

  private:
    SourceInterface source_;
    ComPtr<IConnectionPoint> point_;
    std::vector<DWORD> cookies_;
};

}  // namespace

CLSID class_id_of(std::string_view progid_or_clsid) {
    const std::wstring name = widen(progid_or_clsid);
    CLSID clsid{};
    const HRESULT hr = name.starts_with(L"{") ? CLSIDFromString(name.c_str(), &clsid)
                                              : CLSIDFromProgID(name.c_str(), &clsid);
    if (FAILED(hr)) cannot_create(progid_or_clsid, " is not registered");
    return clsid;
}

ComPtr<IDispatch> create_dispatch(std::string_view progid_or_clsid) {
    const CLSID clsid = class_id_of(progid_or_clsid);
    ComPtr<IDispatch> object;
    // The reason of a refusal is what the class factory leaves in the thread's error
    // information, never what an earlier failed call left there unread.
    SetErrorInfo(0, nullptr);
    const HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                        IID_IDispatch, object.out_void());
    if (FAILED(hr)) cannot_create(progid_or_clsid, ": " + thread_failure_text(hr));
    return object;
}

std::shared_ptr<Object> create_com_object(std::string_view progid_or_clsid) {
    return wrap_com_object(create_dispatch(progid_or_clsid), progid_or_clsid);
}

std::shared_ptr<Object> wrap_com_object(ComPtr<IDispatch> object, std::string_view name) {
    auto source = default_source_of(object.get());
    if (source) {
        auto container = object.query<IConnectionPointContainer>(IID_IConnectionPointContainer);
        ComPtr<IConnectionPoint> point;
        if (container && SUCCEEDED(container->FindConnectionPoint(source->iid, point.out())))
            return std::make_shared<ComEventDispatch>(std::move(object), name, std::move(*source),
                                                      std::move(point));
    }
    return std::make_shared<ComDispatch>(std::move(object), name);
}

}  // namespace czqic::win
