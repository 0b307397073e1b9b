// Device enumeration of the simulated media framework: the system device
// enumerator, the video-input category's moniker enumerator, monikers and
// their property bags; and CoCreateInstance, which makes every object.
#include <cstring>

#include "platform/sim/video_com.h"

namespace nuv::sim {
namespace {

class PropertyBag final : public IPropertyBag, public ComObject {
public:
    explicit PropertyBag(std::shared_ptr<VirtualCamera> camera) : camera_(std::move(camera)) {}
    NUV_SIM_COM_REFCOUNT

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override {
        if (out == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IPropertyBag) return HandOut(static_cast<IPropertyBag *>(this), out);
        *out = nullptr;
        return E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE Read(LPCOLESTR name, VARIANT *value, IErrorLog *) override {
        if (name == nullptr || value == nullptr) return E_POINTER;
        if (std::wstring(name) != L"FriendlyName") return E_INVALIDARG;
        {
            std::lock_guard<std::mutex> hold(camera_->video->lock);
            if (!camera_->video->hasFriendlyName) return E_INVALIDARG;
        }
        if (value->vt != VT_EMPTY && value->vt != VT_BSTR) return E_INVALIDARG;
        BSTR text = os::SysAllocString(camera_->friendlyName.c_str());
        if (text == nullptr) return E_OUTOFMEMORY;
        value->vt = VT_BSTR;
        value->bstrVal = text;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Write(LPCOLESTR, VARIANT *) override { return E_NOTIMPL; }

private:
    std::shared_ptr<VirtualCamera> camera_;
};

class DeviceMoniker final : public IMoniker, public ComObject {
public:
    explicit DeviceMoniker(std::shared_ptr<VirtualCamera> camera) : camera_(std::move(camera)) {}
    NUV_SIM_COM_REFCOUNT

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override {
        if (out == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || iid == kIidMoniker || iid == kIidPersist) {
            return HandOut(static_cast<IMoniker *>(this), out);
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }

    HRESULT STDMETHODCALLTYPE GetDisplayName(IBindCtx *, IMoniker *, LPOLESTR *name) override {
        if (name == nullptr) return E_POINTER;
        *name = nullptr;
        if (VideoFaults::Instance().Fails(kStepDisplayName)) return E_FAIL;
        const std::wstring text = DisplayNameOf(*camera_);
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
        *out = static_cast<IPropertyBag *>(new PropertyBag(camera_));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE BindToObject(IBindCtx *, IMoniker *, REFIID iid, void **out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        {
            std::lock_guard<std::mutex> hold(camera_->video->lock);
            if (camera_->video->filterFails) return E_FAIL;
        }
        return CreateCaptureFilter(camera_, iid, out);
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
    std::shared_ptr<VirtualCamera> camera_;
};

// Enumerates the devices plugged in when it was created, in world order.
class MonikerEnum final : public IEnumMoniker, public ComObject {
public:
    explicit MonikerEnum(std::vector<std::shared_ptr<VirtualCamera>> devices, std::size_t next = 0)
        : devices_(std::move(devices)), next_(next) {}
    NUV_SIM_COM_REFCOUNT

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override {
        if (out == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || iid == kIidEnumMoniker) return HandOut(static_cast<IEnumMoniker *>(this), out);
        *out = nullptr;
        return E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE Next(ULONG count, IMoniker **monikers, ULONG *fetched) override {
        if (monikers == nullptr) return E_POINTER;
        if (count != 1 && fetched == nullptr) return E_POINTER;
        std::lock_guard<std::mutex> hold(lock_);
        ULONG n = 0;
        while (n < count && next_ < devices_.size()) monikers[n++] = new DeviceMoniker(devices_[next_++]);
        if (fetched) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
        std::lock_guard<std::mutex> hold(lock_);
        const std::size_t left = devices_.size() - next_;
        next_ += count < left ? count : left;
        return count <= left ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        std::lock_guard<std::mutex> hold(lock_);
        next_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnumMoniker **out) override {
        if (out == nullptr) return E_POINTER;
        std::lock_guard<std::mutex> hold(lock_);
        *out = new MonikerEnum(devices_, next_);
        return S_OK;
    }

private:
    std::mutex lock_;
    std::vector<std::shared_ptr<VirtualCamera>> devices_;
    std::size_t next_;
};

class SystemDeviceEnum final : public ICreateDevEnum, public ComObject {
public:
    NUV_SIM_COM_REFCOUNT

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
        if (VideoFaults::Instance().Fails(kStepClassEnumerator)) return E_FAIL;
        if (category != CLSID_VideoInputDeviceCategory) return S_FALSE;
        auto devices = World::Instance().DeviceSnapshot();
        if (devices.empty()) return S_FALSE;
        *out = new MonikerEnum(std::move(devices));
        return S_OK;
    }
};

}  // namespace

HRESULT CreateSystemDeviceEnum(REFIID iid, void **out) {
    auto *object = new SystemDeviceEnum();
    const HRESULT result = object->QueryInterface(iid, out);
    object->Release();
    return result;
}

}  // namespace nuv::sim

namespace nuv::os {

HRESULT CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD, REFIID iid, LPVOID *object) {
    using namespace nuv::sim;
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return E_NOINTERFACE;  // no aggregation here
    auto &faults = VideoFaults::Instance();
    if (clsid == CLSID_FilterGraph) {
        return faults.Fails(kStepFilterGraph) ? E_FAIL : CreateFilterGraph(iid, object);
    }
    if (clsid == CLSID_SystemDeviceEnum) {
        return faults.Fails(kStepDeviceEnumerator) ? E_FAIL : CreateSystemDeviceEnum(iid, object);
    }
    if (clsid == CLSID_CaptureGraphBuilder2) {
        return faults.Fails(kStepCaptureBuilder) ? E_FAIL : CreateCaptureGraphBuilder(iid, object);
    }
    if (clsid == CLSID_SampleGrabber) {
        return faults.Fails(kStepSampleGrabber) ? E_FAIL : CreateSampleGrabber(iid, object);
    }
    return REGDB_E_CLASSNOTREG;
}

}  // namespace nuv::os
