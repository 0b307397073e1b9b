// Device enumeration of the framework: the system device enumerator, the
// video-input category's moniker enumerator, monikers and their property
// bags, all over the video sources present.
#include <cstring>

#include "platform/framework/filters.h"

namespace nuv::framework {
namespace {

const WideText &FriendlyNameKey() {
    static const WideText key = Widen("FriendlyName");
    return key;
}

class PropertyBag final : public IPropertyBag, public ComObject {
public:
    explicit PropertyBag(std::shared_ptr<VideoSource> source) : source_(std::move(source)) {}
    NUV_COM_REFCOUNT

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override {
        if (out == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IPropertyBag) return HandOut(static_cast<IPropertyBag *>(this), out);
        *out = nullptr;
        return E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE Read(LPCOLESTR name, VARIANT *value, IErrorLog *) override {
        if (name == nullptr || value == nullptr) return E_POINTER;
        WideText friendlyName;
        if (FriendlyNameKey() != name || !source_->FriendlyName(&friendlyName)) return E_INVALIDARG;
        if (value->vt != VT_EMPTY && value->vt != VT_BSTR) return E_INVALIDARG;
        BSTR text = os::SysAllocString(friendlyName.c_str());
        if (text == nullptr) return E_OUTOFMEMORY;
        value->vt = VT_BSTR;
        value->bstrVal = text;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Write(LPCOLESTR, VARIANT *) override { return E_NOTIMPL; }

private:
    std::shared_ptr<VideoSource> source_;
};

class DeviceMoniker final : public IMoniker, public ComObject {
public:
    explicit DeviceMoniker(std::shared_ptr<VideoSource> source) : source_(std::move(source)) {}
    NUV_COM_REFCOUNT

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override {
        if (out == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IMoniker || iid == IID_IPersist) {
            return HandOut(static_cast<IMoniker *>(this), out);
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }

    HRESULT STDMETHODCALLTYPE GetDisplayName(IBindCtx *, IMoniker *, LPOLESTR *name) override {
        if (name == nullptr) return E_POINTER;
        *name = nullptr;
        if (Faults::Fails(FaultPoint::DisplayName)) return E_FAIL;
        const WideText text = source_->DisplayName();
        auto *copy = static_cast<LPOLESTR>(os::CoTaskMemAlloc((text.size() + 1) * sizeof(OLECHAR)));
        if (copy == nullptr) return E_OUTOFMEMORY;
        std::memcpy(copy, text.c_str(), (text.size() + 1) * sizeof(OLECHAR));
        *name = copy;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE BindToStorage(IBindCtx *, IMoniker *, REFIID iid, void **out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (iid != IID_IPropertyBag) return E_NOINTERFACE;
        *out = static_cast<IPropertyBag *>(new PropertyBag(source_));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE BindToObject(IBindCtx *, IMoniker *, REFIID iid, void **out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (!source_->Binds()) return E_FAIL;
        return CreateCaptureFilter(source_, iid, out);
    }

    HRESULT STDMETHODCALLTYPE GetClassID(CLSID *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsDirty() override { return S_FALSE; }
    HRESULT STDMETHODCALLTYPE Load(IStream *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Save(IStream *, BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSizeMax(ULARGE_INTEGER *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reduce(IBindCtx *, DWORD, IMoniker **, IMoniker **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ComposeWith(IMoniker *, BOOL, IMoniker **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Enum(BOOL, IEnumMoniker **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsEqual(IMoniker *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Hash(DWORD *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsRunning(IBindCtx *, IMoniker *, IMoniker *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTimeOfLastChange(IBindCtx *, IMoniker *, FILETIME *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Inverse(IMoniker **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CommonPrefixWith(IMoniker *, IMoniker **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RelativePathTo(IMoniker *, IMoniker **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ParseDisplayName(IBindCtx *, IMoniker *, LPOLESTR, ULONG *, IMoniker **) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE IsSystemMoniker(DWORD *) override { return E_NOTIMPL; }

private:
    std::shared_ptr<VideoSource> source_;
};

// The devices present when it was made, in enumeration order.
using MonikerEnum = ListEnum<IEnumMoniker, IMoniker, IID_IEnumMoniker>;

class SystemDeviceEnum final : public ICreateDevEnum, public ComObject {
public:
    NUV_COM_REFCOUNT

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override {
        if (out == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_ICreateDevEnum) return HandOut(static_cast<ICreateDevEnum *>(this), out);
        *out = nullptr;
        return E_NOINTERFACE;
    }
    // S_FALSE and no enumerator for an empty category, as the framework does.
    HRESULT STDMETHODCALLTYPE CreateClassEnumerator(REFCLSID category, IEnumMoniker **out, DWORD) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (Faults::Fails(FaultPoint::ClassEnumerator)) return E_FAIL;
        if (category != CLSID_VideoInputDeviceCategory) return S_FALSE;
        auto sources = Sources().VideoSources();
        if (sources.empty()) return S_FALSE;
        const std::size_t count = sources.size();
        *out = new MonikerEnum(count, [sources = std::move(sources)](std::size_t index) -> IMoniker * {
            return new DeviceMoniker(sources[index]);
        });
        return S_OK;
    }
};

}  // namespace

HRESULT CreateSystemDeviceEnum(REFIID iid, void **out) { return CreateObject<SystemDeviceEnum>(iid, out); }

}  // namespace nuv::framework
