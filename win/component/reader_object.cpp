#include "win/component/reader_object.h"

#include <olectl.h>

#include <memory>

#include "CZQICCardReader.h"
#include "component/members.h"
#include "component/reader.h"
#include "platform/win32/com/convert.h"
#include "platform/win32/com/error.h"
#include "platform/win32/com/server_class_factory.h"
#include "platform/win32/com/server_connection_point.h"
#include "platform/win32/com/typed_dispatch.h"
#include "win/component/thread_runtime.h"

namespace czqic::win {
namespace {

constexpr const wchar_t* kErrorSource = kWideAscii<kProgId>.data();

// Each vtable entry finds its member by name and kind at compile time: a name the table
// lacks does not compile, and no slot number is written twice.
consteval size_t get_of(std::string_view name) {
    return member_slot(name, MemberKind::PropertyGet);
}
consteval size_t let_of(std::string_view name) {
    return member_slot(name, MemberKind::PropertyLet);
}
consteval size_t method_of(std::string_view name) {
    return member_slot(name, MemberKind::Method);
}

class ReaderObject final
    : public ComObject<TypedDispatch<_ColsZQICCardReader>, ISupportErrorInfo, ConnectableObject> {
  public:
    // Everything the object reaches (the thread's runtime, form, control and log writer)
    // belongs to the creating thread, which alone may call it; from any other thread
    // every member fails with RPC_E_WRONG_THREAD and changes nothing.
    ReaderObject(ThreadRuntime::Hold runtime, ReaderRef reader)
        : runtime_(std::move(runtime)),
          reader_(std::move(reader)),
          owner_thread_(GetCurrentThreadId()),
          point_(*static_cast<IConnectionPointContainer*>(this), DIID___ColsZQICCardReader,
                 kErrorSource, owner_thread_) {
        point_.forward(reader_->events(), runtime_->events_info());
    }

    // IDispatch: names through the type information, calls through the member table.
    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* excepinfo, UINT* bad_argument) override;

    // The dual interface, in the member table's order.
    STDMETHODIMP get_CardReaderStatus(LONG* v) override {
        return get_slot(get_of("CardReaderStatus"), v);
    }
    STDMETHODIMP get_ReadTrack1(BSTR* v) override { return get_slot(get_of("ReadTrack1"), v); }
    STDMETHODIMP get_ReadTrack2(BSTR* v) override { return get_slot(get_of("ReadTrack2"), v); }
    STDMETHODIMP get_ReadTrack3(BSTR* v) override { return get_slot(get_of("ReadTrack3"), v); }
    STDMETHODIMP get_ReadTrack1Len(LONG* v) override {
        return get_slot(get_of("ReadTrack1Len"), v);
    }
    STDMETHODIMP get_ReadTrack2Len(LONG* v) override {
        return get_slot(get_of("ReadTrack2Len"), v);
    }
    STDMETHODIMP get_ReadTrack3Len(LONG* v) override {
        return get_slot(get_of("ReadTrack3Len"), v);
    }
    STDMETHODIMP put_WriteTrack1(BSTR v) override { return put_slot(let_of("WriteTrack1"), v); }
    STDMETHODIMP put_WriteTrack2(BSTR v) override { return put_slot(let_of("WriteTrack2"), v); }
    STDMETHODIMP put_WriteTrack3(BSTR v) override { return put_slot(let_of("WriteTrack3"), v); }
    STDMETHODIMP put_WriteTrack1Len(BSTR v) override {
        return put_slot(let_of("WriteTrack1Len"), v);
    }
    STDMETHODIMP put_WriteTrack2Len(BSTR v) override {
        return put_slot(let_of("WriteTrack2Len"), v);
    }
    STDMETHODIMP put_WriteTrack3Len(BSTR v) override {
        return put_slot(let_of("WriteTrack3Len"), v);
    }
    STDMETHODIMP CardReaderClear(LONG* r) override {
        return get_slot(method_of("CardReaderClear"), r);
    }
    STDMETHODIMP CardReaderInit(LONG* r) override {
        return get_slot(method_of("CardReaderInit"), r);
    }
    STDMETHODIMP CardReaderGetStatus(LONG* r) override {
        return get_slot(method_of("CardReaderGetStatus"), r);
    }
    STDMETHODIMP CardReaderReset(LONG* r) override {
        return get_slot(method_of("CardReaderReset"), r);
    }
    STDMETHODIMP Reset(LONG* r) override { return get_slot(method_of("Reset"), r); }
    STDMETHODIMP CardReaderRetain(LONG* r) override {
        return get_slot(method_of("CardReaderRetain"), r);
    }
    STDMETHODIMP CardReaderEnable(LONG* r) override {
        return get_slot(method_of("CardReaderEnable"), r);
    }
    STDMETHODIMP CardReaderRead(LONG* r) override {
        return get_slot(method_of("CardReaderRead"), r);
    }
    STDMETHODIMP QOR_WaitChip(LONG* r) override { return get_slot(method_of("QOR_WaitChip"), r); }
    STDMETHODIMP Qor_ChipTrnsp(LONG* r) override { return get_slot(method_of("Qor_ChipTrnsp"), r); }
    STDMETHODIMP CardReaderWrite(LONG* r) override {
        return get_slot(method_of("CardReaderWrite"), r);
    }
    STDMETHODIMP CardReaderReturn(LONG* r) override {
        return get_slot(method_of("CardReaderReturn"), r);
    }
    STDMETHODIMP CardReaderDisable(LONG* r) override {
        return get_slot(method_of("CardReaderDisable"), r);
    }
    STDMETHODIMP put_TimeOutCard(LONG v) override {
        return put_slot(let_of("TimeOutCard"), Value(int32_t{v}));
    }
    STDMETHODIMP put_IsChipCard(LONG v) override {
        return put_slot(let_of("IsChipCard"), Value(int32_t{v}));
    }
    STDMETHODIMP get_ChipCardData(BSTR* v) override { return get_slot(get_of("ChipCardData"), v); }
    STDMETHODIMP put_ChipCardData(BSTR v) override { return put_slot(let_of("ChipCardData"), v); }
    STDMETHODIMP get_GSRV(BSTR* v) override { return get_slot(get_of("GSRV"), v); }
    STDMETHODIMP get_CardVer(BSTR* v) override { return get_slot(get_of("CardVer"), v); }

    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override {
        return com_boundary(origin(IID_ISupportErrorInfo), nullptr, [&] {
            return iid == IID__ColsZQICCardReader || iid == IID_IDispatch ? S_OK : S_FALSE;
        });
    }

  private:
    ErrorOrigin origin(const IID& iid = IID__ColsZQICCardReader) const {
        return {iid, kErrorSource, owner_thread_};
    }
    ErrorOrigin dispatch_origin() override { return origin(); }
    ITypeInfo* dispatch_info() override { return runtime_->dispatch_info(); }
    EventConnectionPoint& event_point() override { return point_; }
    ITypeInfo* class_info() override { return runtime_->class_info(); }
    IUnknown* find_interface(REFIID iid) override {
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID__ColsZQICCardReader)
            return static_cast<_ColsZQICCardReader*>(this);
        if (iid == IID_ISupportErrorInfo) return static_cast<ISupportErrorInfo*>(this);
        return find_connectable(iid);
    }

    // The reference held for the call keeps the record alive even if the client lets go
    // of the object while the call pumps messages, and the call's scope keeps the
    // thread's runtime until the record is done with.
    HRESULT get_slot(size_t slot, LONG* out) {
        return com_boundary(origin(), nullptr, [&] {
            if (!out) return E_POINTER;
            *out = 0;
            const ThreadRuntime::Call call;
            auto reader = reader_;
            *out = to_i4(kMembers[slot].run(*reader, Value()));
            return S_OK;
        });
    }
    HRESULT get_slot(size_t slot, BSTR* out) {
        return com_boundary(origin(), nullptr, [&] {
            if (!out) return E_POINTER;
            *out = nullptr;
            const ThreadRuntime::Call call;
            auto reader = reader_;
            *out = make_bstr(to_string(kMembers[slot].run(*reader, Value()))).release();
            return S_OK;
        });
    }
    HRESULT put_slot(size_t slot, BSTR text) {
        return com_boundary(origin(), nullptr, [&] {
            const ThreadRuntime::Call call;
            auto reader = reader_;
            kMembers[slot].run(*reader, Value(narrow_bstr(text)));
        });
    }
    HRESULT put_slot(size_t slot, Value argument) {
        return com_boundary(origin(), nullptr, [&] {
            const ThreadRuntime::Call call;
            auto reader = reader_;
            kMembers[slot].run(*reader, argument);
        });
    }

    // First: the runtime goes last, after the record's termination has used it.
    ThreadRuntime::Hold runtime_;
    ReaderRef reader_;
    const DWORD owner_thread_;
    EventConnectionPoint point_;
};

STDMETHODIMP ReaderObject::Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                                  VARIANT* result, EXCEPINFO* excepinfo, UINT*) {
    return com_boundary(origin(), excepinfo, [&] {
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
        const ThreadRuntime::Call call;
        auto reader = reader_;
        IncomingArgs args(params);
        Value value = czqic::invoke(*reader, id, kind, args.values());
        args.write_back();
        if (result && !put) value_to_variant(value, result);
        return S_OK;
    });
}

}  // namespace

HRESULT create_reader_object(REFIID iid, void** out) {
    // A refused creation lets go of the runtime it made.
    ThreadRuntime::Hold runtime;
    auto reader = ColsZQICCardReader::create(runtime->runtime());
    return hand_out(new ReaderObject(std::move(runtime), std::move(reader)), iid, out);
}

}  // namespace czqic::win
