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

// The dual interface's entries, one for each line of the member table: each finds its
// member by name and kind at compile time, so no slot number is written twice.
#define CZQIC_DUAL_ENTRY(KIND, TYPE, NAME, DISPID, CALL) CZQIC_DUAL_##KIND##_##TYPE(NAME)
#define CZQIC_DUAL_Method_Long(NAME)                                \
    STDMETHODIMP NAME(LONG* r) override {                           \
        return get_slot(member_slot(#NAME, MemberKind::Method), r); \
    }
#define CZQIC_DUAL_PropertyGet_Long(NAME)                                \
    STDMETHODIMP get_##NAME(LONG* v) override {                          \
        return get_slot(member_slot(#NAME, MemberKind::PropertyGet), v); \
    }
#define CZQIC_DUAL_PropertyGet_String(NAME)                              \
    STDMETHODIMP get_##NAME(BSTR* v) override {                          \
        return get_slot(member_slot(#NAME, MemberKind::PropertyGet), v); \
    }
#define CZQIC_DUAL_PropertyLet_Long(NAME)                                \
    STDMETHODIMP put_##NAME(LONG v) override {                           \
        return put_slot(member_slot(#NAME, MemberKind::PropertyLet), v); \
    }
#define CZQIC_DUAL_PropertyLet_String(NAME)                              \
    STDMETHODIMP put_##NAME(BSTR v) override {                           \
        return put_slot(member_slot(#NAME, MemberKind::PropertyLet), v); \
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

    // The dual interface, from the member table.
    CZQIC_READER_MEMBERS(CZQIC_DUAL_ENTRY)

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

    // Runs a member for the client. The reference held for the call keeps the record
    // alive even if the client lets go of the object while the call pumps messages, and
    // the call's scope keeps the thread's runtime until the record is done with.
    Value run_slot(size_t slot, const Value& argument) {
        const ThreadRuntime::Call call;
        auto reader = reader_;
        return kMembers[slot].run(*reader, argument);
    }
    HRESULT get_slot(size_t slot, LONG* out) {
        return com_boundary(origin(), nullptr, [&] {
            if (!out) return E_POINTER;
            *out = 0;
            *out = to_i4(run_slot(slot, Value()));
            return S_OK;
        });
    }
    HRESULT get_slot(size_t slot, BSTR* out) {
        return com_boundary(origin(), nullptr, [&] {
            if (!out) return E_POINTER;
            *out = nullptr;
            *out = make_bstr(to_string(run_slot(slot, Value()))).release();
            return S_OK;
        });
    }
    HRESULT put_slot(size_t slot, BSTR text) {
        return com_boundary(origin(), nullptr, [&] { run_slot(slot, Value(narrow_bstr(text))); });
    }
    HRESULT put_slot(size_t slot, LONG number) {
        return com_boundary(origin(), nullptr, [&] { run_slot(slot, Value(int32_t{number})); });
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
