#include "win/component/log_writer_client.h"

#include "platform/win32/com/client.h"
#include "platform/win32/com/convert.h"
#include "platform/win32/com/error.h"
#include "platform/win32/scoped.h"

namespace czqic::win {

// The log writer's dual interface as far as the component relies on it: WriteLog is the
// first slot after IDispatch's. Its IID is the log writer's own and is read from its
// type information, so no other detail of that library is built in here. (Declared with
// external linkage: in an unnamed namespace the compiler would see that nothing here
// implements it and would replace the call with a pure-virtual trap.)
struct ILogWriterSlots : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE WriteLog(BSTR path, BSTR message, BSTR tag, LONG* result) = 0;
};

namespace {

constexpr size_t kFirstSlotAfterDispatch = 7;

[[noreturn]] void no_interface() {
    raise_runtime_error(rt_error::kCannotCreateObject,
                        std::string("ActiveX component can't create object: ") + kLogWriterClsid +
                            " lacks the expected interface");
}

// The vtable interface behind the object's IDispatch, checked to carry WriteLog first.
IID dual_interface_of(IDispatch* object) {
    ComPtr<ITypeInfo> info;
    if (FAILED(object->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.out())) || !info) no_interface();
    TYPEATTR* raw = nullptr;
    if (FAILED(info->GetTypeAttr(&raw))) no_interface();
    ScopedTypeAttr described(info.get(), raw);
    const TYPEKIND kind = described->typekind;
    const bool dual = (described->wTypeFlags & TYPEFLAG_FDUAL) != 0;
    described.reset();  // handed back to this description before another replaces it
    if (kind == TKIND_DISPATCH) {
        HREFTYPE ref;
        ComPtr<ITypeInfo> vtable_side;
        // Index -1 of a dual interface's dispatch description is its vtable description.
        if (!dual || FAILED(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref)) ||
            FAILED(info->GetRefTypeInfo(ref, vtable_side.out())))
            no_interface();
        info = std::move(vtable_side);
    }
    if (FAILED(info->GetTypeAttr(&raw))) no_interface();
    const ScopedTypeAttr attr(info.get(), raw);
    for (UINT i = 0; i < attr->cFuncs; ++i) {
        FUNCDESC* desc = nullptr;
        if (FAILED(info->GetFuncDesc(i, &desc))) continue;
        const ScopedFuncDesc func(info.get(), desc);
        if (func->oVft != static_cast<SHORT>(kFirstSlotAfterDispatch * sizeof(void*))) continue;
        ScopedBstr name;
        UINT count = 0;
        info->GetNames(func->memid, name.out(), 1, &count);
        if (narrow_bstr(name.get()) != "WriteLog" || func->cParams != 4) no_interface();
        return attr->guid;
    }
    no_interface();
}

class LogWriterClient final : public LogWriter {
  public:
    explicit LogWriterClient(ComPtr<ILogWriterSlots> writer) : writer_(std::move(writer)) {}

    int32_t WriteLog(const std::string& path, const std::string& message,
                     const std::string& tag) override {
        ScopedBstr p = make_bstr(path), m = make_bstr(message), t = make_bstr(tag);
        LONG result = 0;
        const HRESULT hr = writer_->WriteLog(p.get(), m.get(), t.get(), &result);
        if (FAILED(hr)) raise_call_failure(hr, writer_.get(), iid_);
        return result;
    }
    void set_iid(const IID& iid) { iid_ = iid; }

  private:
    ComPtr<ILogWriterSlots> writer_;
    IID iid_ = IID_NULL;
};

}  // namespace

std::shared_ptr<Object> make_log_writer_client() {
    const ComPtr<IDispatch> object = create_dispatch(kLogWriterClsid);
    const IID iid = dual_interface_of(object.get());
    ComPtr<ILogWriterSlots> writer;
    if (FAILED(object->QueryInterface(iid, writer.out_void()))) no_interface();
    auto client = std::make_shared<LogWriterClient>(std::move(writer));
    client->set_iid(iid);
    return client;
}

}  // namespace czqic::win
