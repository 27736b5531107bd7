#include "win/component/reader_object.h"

#include <olectl.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "CZQICCardReader.h"
#include "component/events.h"
#include "component/members.h"
#include "component/reader.h"
#include "platform/win32/com_error.h"
#include "platform/win32/convert.h"
#include "platform/win32/dispatch_object.h"
#include "win/com/class_factory.h"
#include "win/component/thread_runtime.h"

namespace czqic::win {
namespace {

constexpr wchar_t kErrorSource[] = L"CZQICCardReader.ColsZQICCardReader";
const ErrorOrigin kOrigin{IID__ColsZQICCardReader, kErrorSource};

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
    Enumerator(const IID& iid, std::vector<Item> items, size_t position = 0)
        : iid_(iid), items_(std::move(items)), position_(position) {
        for (Item& item : items_) retain(item);
    }
    ~Enumerator() override {
        for (Item& item : items_) drop(item);
    }

    STDMETHODIMP Next(ULONG count, Item* out, ULONG* fetched) override {
        if (!out || (count > 1 && !fetched)) return E_POINTER;
        ULONG given = 0;
        for (; given < count && position_ < items_.size(); ++given, ++position_) {
            out[given] = items_[position_];
            retain(out[given]);
        }
        if (fetched) *fetched = given;
        return given == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override {
        const size_t left = items_.size() - position_;
        position_ += std::min<size_t>(count, left);
        return count <= left ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override {
        position_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnum** out) override {
        if (!out) return E_POINTER;
        *out = new Enumerator(iid_, items_, position_);
        return S_OK;
    }

  private:
    IUnknown* find_interface(REFIID iid) override {
        if (iid == IID_IUnknown || iid == iid_) return this;
        return nullptr;
    }
    const IID& iid_;
    std::vector<Item> items_;
    size_t position_;
};

// A connected client's event interface, as the core's connection point holds it. The
// class raises no events, so nothing calls it; were it called, it would deliver by the
// event's DISPID like any other source.
class ClientEventSink final : public EventSink {
  public:
    explicit ClientEventSink(ComPtr<IDispatch> target) : target_(std::move(target)) {}
    void on_event(std::string_view name, std::span<const Value> args) override {
        auto member = std::ranges::find(kEventMembers, name, &EventMember::name);
        if (member == kEventMembers.end()) return;
        std::vector<Value> values(args.begin(), args.end());
        OutgoingArgs outgoing(values, false);
        ScopedVariant result;
        target_->Invoke(member->dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                        outgoing.params(), result.out(), nullptr, nullptr);
    }
    IUnknown* identity() const { return target_.get(); }

  private:
    ComPtr<IDispatch> target_;
};

class ReaderObject;

// The connection point of __ColsZQICCardReader: a part of its object, counted with it.
class EventPoint final : public IConnectionPoint {
  public:
    explicit EventPoint(ReaderObject& owner) : owner_(owner) {}
    EventPoint(const EventPoint&) = delete;  // lives inside its object
    EventPoint& operator=(const EventPoint&) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP GetConnectionInterface(IID* iid) override {
        if (!iid) return E_POINTER;
        *iid = DIID___ColsZQICCardReader;
        return S_OK;
    }
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** out) override;
    STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
    STDMETHODIMP Unadvise(DWORD cookie) override;
    STDMETHODIMP EnumConnections(IEnumConnections** out) override;

  private:
    struct Connection {
        DWORD cookie;
        std::shared_ptr<ClientEventSink> sink;
    };
    ReaderObject& owner_;
    std::vector<Connection> connections_;
};

class ReaderObject final : public ComObject<TypedDispatch<_ColsZQICCardReader>, ISupportErrorInfo,
                                            IConnectionPointContainer, IProvideClassInfo2> {
  public:
    ReaderObject(ThreadRuntime& runtime, ReaderRef reader)
        : runtime_(runtime), reader_(std::move(reader)), point_(*this) {}

    ColsZQICCardReader& reader() { return *reader_; }

    // IDispatch: names through the type information, calls through the member table.
    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* excepinfo, UINT* bad_argument) override;

    // The dual interface, slot by slot in the member table's order.
    STDMETHODIMP get_CardReaderStatus(LONG* v) override { return get_slot(0, v); }
    STDMETHODIMP get_ReadTrack1(BSTR* v) override { return get_slot(1, v); }
    STDMETHODIMP get_ReadTrack2(BSTR* v) override { return get_slot(2, v); }
    STDMETHODIMP get_ReadTrack3(BSTR* v) override { return get_slot(3, v); }
    STDMETHODIMP get_ReadTrack1Len(LONG* v) override { return get_slot(4, v); }
    STDMETHODIMP get_ReadTrack2Len(LONG* v) override { return get_slot(5, v); }
    STDMETHODIMP get_ReadTrack3Len(LONG* v) override { return get_slot(6, v); }
    STDMETHODIMP put_WriteTrack1(BSTR v) override { return put_slot(7, v); }
    STDMETHODIMP put_WriteTrack2(BSTR v) override { return put_slot(8, v); }
    STDMETHODIMP put_WriteTrack3(BSTR v) override { return put_slot(9, v); }
    STDMETHODIMP put_WriteTrack1Len(BSTR v) override { return put_slot(10, v); }
    STDMETHODIMP put_WriteTrack2Len(BSTR v) override { return put_slot(11, v); }
    STDMETHODIMP put_WriteTrack3Len(BSTR v) override { return put_slot(12, v); }
    STDMETHODIMP CardReaderClear(LONG* r) override { return get_slot(13, r); }
    STDMETHODIMP CardReaderInit(LONG* r) override { return get_slot(14, r); }
    STDMETHODIMP CardReaderGetStatus(LONG* r) override { return get_slot(15, r); }
    STDMETHODIMP CardReaderReset(LONG* r) override { return get_slot(16, r); }
    STDMETHODIMP Reset(LONG* r) override { return get_slot(17, r); }
    STDMETHODIMP CardReaderRetain(LONG* r) override { return get_slot(18, r); }
    STDMETHODIMP CardReaderEnable(LONG* r) override { return get_slot(19, r); }
    STDMETHODIMP CardReaderRead(LONG* r) override { return get_slot(20, r); }
    STDMETHODIMP QOR_WaitChip(LONG* r) override { return get_slot(21, r); }
    STDMETHODIMP Qor_ChipTrnsp(LONG* r) override { return get_slot(22, r); }
    STDMETHODIMP CardReaderWrite(LONG* r) override { return get_slot(23, r); }
    STDMETHODIMP CardReaderReturn(LONG* r) override { return get_slot(24, r); }
    STDMETHODIMP CardReaderDisable(LONG* r) override { return get_slot(25, r); }
    STDMETHODIMP put_TimeOutCard(LONG v) override { return put_slot(26, Value(int32_t{v})); }
    STDMETHODIMP put_IsChipCard(LONG v) override { return put_slot(27, Value(int32_t{v})); }
    STDMETHODIMP get_ChipCardData(BSTR* v) override { return get_slot(28, v); }
    STDMETHODIMP put_ChipCardData(BSTR v) override { return put_slot(29, v); }
    STDMETHODIMP get_GSRV(BSTR* v) override { return get_slot(30, v); }
    STDMETHODIMP get_CardVer(BSTR* v) override { return get_slot(31, v); }

    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override {
        return iid == IID__ColsZQICCardReader || iid == IID_IDispatch ? S_OK : S_FALSE;
    }

    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** out) override {
        if (!out) return E_POINTER;
        *out = new Enumerator<IEnumConnectionPoints, IConnectionPoint*>(IID_IEnumConnectionPoints,
                                                                        {&point_});
        return S_OK;
    }
    STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (iid != DIID___ColsZQICCardReader) return CONNECT_E_NOCONNECTION;
        *out = &point_;
        point_.AddRef();
        return S_OK;
    }

    STDMETHODIMP GetClassInfo(ITypeInfo** out) override {
        if (!out) return E_POINTER;
        *out = runtime_.class_info();
        (*out)->AddRef();
        return S_OK;
    }
    STDMETHODIMP GetGUID(DWORD kind, GUID* out) override {
        if (!out) return E_POINTER;
        if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) return E_INVALIDARG;
        *out = DIID___ColsZQICCardReader;
        return S_OK;
    }

  private:
    ITypeInfo* dispatch_info() override { return runtime_.dispatch_info(); }
    IUnknown* find_interface(REFIID iid) override {
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID__ColsZQICCardReader)
            return static_cast<_ColsZQICCardReader*>(this);
        if (iid == IID_ISupportErrorInfo) return static_cast<ISupportErrorInfo*>(this);
        if (iid == IID_IConnectionPointContainer)
            return static_cast<IConnectionPointContainer*>(this);
        if (iid == IID_IProvideClassInfo || iid == IID_IProvideClassInfo2)
            return static_cast<IProvideClassInfo2*>(this);
        return nullptr;
    }

    // The reference held for the call keeps the record alive even if the client lets go
    // of the object while the call pumps messages.
    HRESULT get_slot(size_t slot, LONG* out) {
        if (!out) return E_POINTER;
        *out = 0;
        auto reader = reader_;
        return com_boundary(kOrigin, nullptr,
                            [&] { *out = to_i4(kMembers[slot].run(*reader, Value())); });
    }
    HRESULT get_slot(size_t slot, BSTR* out) {
        if (!out) return E_POINTER;
        *out = nullptr;
        auto reader = reader_;
        return com_boundary(kOrigin, nullptr, [&] {
            *out = make_bstr(to_string(kMembers[slot].run(*reader, Value()))).release();
        });
    }
    HRESULT put_slot(size_t slot, BSTR text) {
        auto reader = reader_;
        return com_boundary(kOrigin, nullptr,
                            [&] { kMembers[slot].run(*reader, Value(narrow_bstr(text))); });
    }
    HRESULT put_slot(size_t slot, Value argument) {
        auto reader = reader_;
        return com_boundary(kOrigin, nullptr, [&] { kMembers[slot].run(*reader, argument); });
    }

    ThreadRuntime& runtime_;
    ReaderRef reader_;
    EventPoint point_;
};

STDMETHODIMP ReaderObject::Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                                  VARIANT* result, EXCEPINFO* excepinfo, UINT*) {
    if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    if (!params) return E_POINTER;
    const InvokeKind kind = invoke_kind(flags);
    const bool put = kind == InvokeKind::PropertyPut;
    if (!find_member(id, kind)) return DISP_E_MEMBERNOTFOUND;
    if (put) {
        if (params->cNamedArgs != 1 || params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
            return DISP_E_PARAMNOTOPTIONAL;
        if (params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
    } else {
        if (params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
        if (params->cArgs != 0) return DISP_E_BADPARAMCOUNT;
    }
    if (result) VariantInit(result);
    auto reader = reader_;
    return com_boundary(kOrigin, excepinfo, [&] {
        IncomingArgs args(params);
        Value value = czqic::invoke(*reader, id, kind, args.values());
        args.write_back();
        if (result && !put) value_to_variant(value, result);
    });
}

STDMETHODIMP EventPoint::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid != IID_IUnknown && iid != IID_IConnectionPoint) return E_NOINTERFACE;
    *out = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) EventPoint::AddRef() {
    return owner_.AddRef();
}

STDMETHODIMP_(ULONG) EventPoint::Release() {
    return owner_.Release();
}

STDMETHODIMP EventPoint::GetConnectionPointContainer(IConnectionPointContainer** out) {
    if (!out) return E_POINTER;
    return owner_.QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(out));
}

STDMETHODIMP EventPoint::Advise(IUnknown* sink, DWORD* cookie) {
    if (!sink || !cookie) return E_POINTER;
    *cookie = 0;
    auto target = ComPtr<IUnknown>::share(sink).query<IDispatch>(DIID___ColsZQICCardReader);
    if (!target) target = ComPtr<IUnknown>::share(sink).query<IDispatch>(IID_IDispatch);
    if (!target) return CONNECT_E_CANNOTCONNECT;
    return com_boundary({IID_IConnectionPoint, kErrorSource}, nullptr, [&] {
        auto client = std::make_shared<ClientEventSink>(std::move(target));
        const DWORD given = owner_.reader().events().advise(client);
        connections_.push_back({given, std::move(client)});
        *cookie = given;
    });
}

STDMETHODIMP EventPoint::Unadvise(DWORD cookie) {
    auto it = std::ranges::find(connections_, cookie, &Connection::cookie);
    if (it == connections_.end()) return CONNECT_E_NOCONNECTION;
    owner_.reader().events().unadvise(cookie);
    connections_.erase(it);
    return S_OK;
}

STDMETHODIMP EventPoint::EnumConnections(IEnumConnections** out) {
    if (!out) return E_POINTER;
    std::vector<CONNECTDATA> data;
    for (const Connection& c : connections_) data.push_back({c.sink->identity(), c.cookie});
    *out = new Enumerator<IEnumConnections, CONNECTDATA>(IID_IEnumConnections, std::move(data));
    return S_OK;
}

}  // namespace

HRESULT create_reader_object(REFIID iid, void** out) {
    return com_boundary({IID_IClassFactory, kErrorSource}, nullptr, [&] {
        ThreadRuntime& runtime = ThreadRuntime::current();
        auto reader = ColsZQICCardReader::create(runtime.runtime());
        check(hand_out(new ReaderObject(runtime, std::move(reader)), iid, out),
              "ColsZQICCardReader");
    });
}

}  // namespace czqic::win
