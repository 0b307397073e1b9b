// Filters of the simulated media framework: the device's capture filter
// (capture pin with its stream configuration, video-property interfaces) and
// the sample grabber (input and output pin, buffer callback).
#include <cstdlib>
#include <cstring>

#include "platform/sim/video_com.h"

namespace nuv::sim {

namespace {
constexpr HRESULT kPropertyUnsupported = static_cast<HRESULT>(0x80070490u);  // element not found
constexpr HRESULT kWrongState = static_cast<HRESULT>(0x80040227u);
constexpr HRESULT kAlreadyConnected = static_cast<HRESULT>(0x80040204u);

void CopyName(WCHAR (&target)[128], const std::wstring &name) {
    std::size_t n = name.size() < 127 ? name.size() : 127;
    for (std::size_t i = 0; i < n; ++i) target[i] = name[i];
    target[n] = 0;
}
}  // namespace

class FilterBase;

// Pins live inside their filter and count references on it.
class PinBase : public IPin {
public:
    PinBase(FilterBase &owner, PIN_DIRECTION direction, const wchar_t *name)
        : owner_(owner), direction_(direction), name_(name) {}
    virtual ~PinBase() = default;

    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override {
        if (out == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IPin) return HandOut(static_cast<IPin *>(this), out);
        if (iid == kIidSimPin) {
            *out = this;  // no reference: a private look inside
            return S_OK;
        }
        return QueryMore(iid, out);
    }
    virtual HRESULT QueryMore(REFIID, void **out) {
        *out = nullptr;
        return E_NOINTERFACE;
    }

    HRESULT STDMETHODCALLTYPE Disconnect() override {
        std::lock_guard<std::mutex> hold(lock_);
        if (connected_ == nullptr) return S_FALSE;
        connected_ = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ConnectedTo(IPin **pin) override {
        if (pin == nullptr) return E_POINTER;
        std::lock_guard<std::mutex> hold(lock_);
        *pin = connected_;
        if (connected_ == nullptr) return VFW_E_NOT_CONNECTED;
        connected_->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ConnectionMediaType(AM_MEDIA_TYPE *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryPinInfo(PIN_INFO *info) override;
    HRESULT STDMETHODCALLTYPE QueryDirection(PIN_DIRECTION *direction) override {
        if (direction == nullptr) return E_POINTER;
        *direction = direction_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryId(LPWSTR *id) override {
        if (id == nullptr) return E_POINTER;
        auto *copy = static_cast<LPWSTR>(os::CoTaskMemAlloc((name_.size() + 1) * sizeof(WCHAR)));
        if (copy == nullptr) return E_OUTOFMEMORY;
        for (std::size_t i = 0; i <= name_.size(); ++i) copy[i] = i < name_.size() ? name_[i] : 0;
        *id = copy;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryAccept(const AM_MEDIA_TYPE *) override { return S_FALSE; }
    HRESULT STDMETHODCALLTYPE EnumMediaTypes(IEnumMediaTypes **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryInternalConnections(IPin **, ULONG *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EndOfStream() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE BeginFlush() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE EndFlush() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Connect(IPin *, const AM_MEDIA_TYPE *) override { return VFW_E_CANNOT_CONNECT; }
    HRESULT STDMETHODCALLTYPE ReceiveConnection(IPin *, const AM_MEDIA_TYPE *) override {
        return VFW_E_CANNOT_CONNECT;
    }

    FilterBase &owner() { return owner_; }
    const std::wstring &name() const { return name_; }
    IPin *connected() {
        std::lock_guard<std::mutex> hold(lock_);
        return connected_;
    }

protected:
    FilterBase &owner_;
    PIN_DIRECTION direction_;
    std::wstring name_;
    std::mutex lock_;
    // Not a reference: the graph holds both filters while they are
    // connected and disconnects them before it lets go.
    IPin *connected_ = nullptr;
};

PinBase *AsPin(IPin *pin) {
    if (pin == nullptr) return nullptr;
    void *self = nullptr;
    return pin->QueryInterface(kIidSimPin, &self) == S_OK ? static_cast<PinBase *>(self) : nullptr;
}

// Enumerates a filter's pins in the filter's order; keeps the filter alive.
class PinEnum final : public IEnumPins, public ComObject {
public:
    PinEnum(IBaseFilter *filter, std::vector<IPin *> pins, std::size_t next = 0)
        : filter_(filter), pins_(std::move(pins)), next_(next) {
        filter_->AddRef();
    }
    ~PinEnum() override { filter_->Release(); }
    NUV_SIM_COM_REFCOUNT

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override {
        if (out == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IEnumPins) return HandOut(static_cast<IEnumPins *>(this), out);
        *out = nullptr;
        return E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE Next(ULONG count, IPin **pins, ULONG *fetched) override {
        if (pins == nullptr) return E_POINTER;
        if (count != 1 && fetched == nullptr) return E_POINTER;
        std::lock_guard<std::mutex> hold(lock_);
        ULONG n = 0;
        while (n < count && next_ < pins_.size()) {
            pins[n] = pins_[next_++];
            pins[n++]->AddRef();
        }
        if (fetched) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
        std::lock_guard<std::mutex> hold(lock_);
        const std::size_t left = pins_.size() - next_;
        next_ += count < left ? count : left;
        return count <= left ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        std::lock_guard<std::mutex> hold(lock_);
        next_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnumPins **out) override {
        if (out == nullptr) return E_POINTER;
        std::lock_guard<std::mutex> hold(lock_);
        *out = new PinEnum(filter_, pins_, next_);
        return S_OK;
    }

private:
    std::mutex lock_;
    IBaseFilter *filter_;
    std::vector<IPin *> pins_;
    std::size_t next_;
};

class FilterBase : public IBaseFilter, public ComObject {
public:
    NUV_SIM_COM_REFCOUNT
    ULONG AddRefFromPin() { return AddRefImpl(); }
    ULONG ReleaseFromPin() { return ReleaseImpl(); }

    virtual std::vector<PinBase *> Pins() = 0;
    virtual HRESULT QueryMore(REFIID, void **out) {
        *out = nullptr;
        return E_NOINTERFACE;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override {
        if (out == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IBaseFilter || iid == IID_IMediaFilter || iid == kIidPersist) {
            return HandOut(static_cast<IBaseFilter *>(this), out);
        }
        return QueryMore(iid, out);
    }
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Stop() override {
        state_ = State_Stopped;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Pause() override {
        state_ = State_Paused;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME) override {
        state_ = State_Running;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetState(DWORD, FILTER_STATE *state) override {
        if (state == nullptr) return E_POINTER;
        *state = state_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetSyncSource(IReferenceClock *) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetSyncSource(IReferenceClock **clock) override {
        if (clock == nullptr) return E_POINTER;
        *clock = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE EnumPins(IEnumPins **out) override {
        if (out == nullptr) return E_POINTER;
        std::vector<IPin *> pins;
        for (PinBase *pin : Pins()) pins.push_back(pin);
        *out = new PinEnum(this, std::move(pins));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE FindPin(LPCWSTR id, IPin **out) override {
        if (id == nullptr || out == nullptr) return E_POINTER;
        *out = nullptr;
        for (PinBase *pin : Pins()) {
            if (pin->name() == id) return HandOut(static_cast<IPin *>(pin), reinterpret_cast<void **>(out));
        }
        return VFW_E_NOT_FOUND;
    }
    HRESULT STDMETHODCALLTYPE QueryFilterInfo(FILTER_INFO *info) override {
        if (info == nullptr) return E_POINTER;
        std::lock_guard<std::mutex> hold(infoLock_);
        CopyName(info->achName, graphName_);
        info->pGraph = graph_;
        if (graph_) graph_->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE JoinFilterGraph(IFilterGraph *graph, LPCWSTR name) override {
        std::lock_guard<std::mutex> hold(infoLock_);
        graph_ = graph;  // not a reference: the graph holds the filter
        graphName_ = name ? name : L"";
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryVendorInfo(LPWSTR *) override { return E_NOTIMPL; }

    IFilterGraph *graph() {
        std::lock_guard<std::mutex> hold(infoLock_);
        return graph_;
    }

protected:
    std::atomic<FILTER_STATE> state_{State_Stopped};
    std::mutex infoLock_;
    IFilterGraph *graph_ = nullptr;
    std::wstring graphName_;
};

ULONG STDMETHODCALLTYPE PinBase::AddRef() { return owner_.AddRefFromPin(); }
ULONG STDMETHODCALLTYPE PinBase::Release() { return owner_.ReleaseFromPin(); }

HRESULT STDMETHODCALLTYPE PinBase::QueryPinInfo(PIN_INFO *info) {
    if (info == nullptr) return E_POINTER;
    info->pFilter = &owner_;
    owner_.AddRef();
    info->dir = direction_;
    CopyName(info->achName, name_);
    return S_OK;
}

AM_MEDIA_TYPE *NewMediaType(const VideoCapability &cap) {
    auto *type = static_cast<AM_MEDIA_TYPE *>(os::CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (type == nullptr) return nullptr;
    std::memset(type, 0, sizeof *type);
    type->majortype = MEDIATYPE_Video;
    type->subtype = cap.subtype;
    type->bFixedSizeSamples = TRUE;
    const long rows = cap.height < 0 ? -cap.height : cap.height;
    type->lSampleSize = static_cast<ULONG>(static_cast<long long>(cap.width) * rows * cap.bitCount / 8);
    type->formattype = cap.formatType;
    // Other format types get a zeroed block of the larger header kind.
    const ULONG size = cap.formatType == FORMAT_VideoInfo ? sizeof(VIDEOINFOHEADER) : 112;
    type->pbFormat = static_cast<BYTE *>(os::CoTaskMemAlloc(size));
    if (type->pbFormat == nullptr) {
        os::CoTaskMemFree(type);
        return nullptr;
    }
    std::memset(type->pbFormat, 0, size);
    type->cbFormat = size;
    if (cap.formatType == FORMAT_VideoInfo) {
        auto *info = reinterpret_cast<VIDEOINFOHEADER *>(type->pbFormat);
        info->AvgTimePerFrame = cap.frameInterval;
        info->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        info->bmiHeader.biWidth = cap.width;
        info->bmiHeader.biHeight = cap.height;
        info->bmiHeader.biPlanes = 1;
        info->bmiHeader.biBitCount = static_cast<WORD>(cap.bitCount);
        std::memcpy(&info->bmiHeader.biCompression, &cap.subtype, sizeof(DWORD));
        info->bmiHeader.biSizeImage = type->lSampleSize;
    }
    return type;
}

namespace {
void FreeMediaType(AM_MEDIA_TYPE *type) {
    if (type == nullptr) return;
    os::CoTaskMemFree(type->pbFormat);
    os::CoTaskMemFree(type);
}
}  // namespace

// ---- Capture filter -------------------------------------------------------

class CaptureFilter;

class CapturePin final : public PinBase, public IAMStreamConfig {
public:
    CapturePin(FilterBase &owner, CaptureFilter &filter) : PinBase(owner, PINDIR_OUTPUT, L"Capture"), filter_(filter) {}

    ULONG STDMETHODCALLTYPE AddRef() override { return PinBase::AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return PinBase::Release(); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override {
        return PinBase::QueryInterface(iid, out);
    }
    HRESULT QueryMore(REFIID iid, void **out) override {
        if (iid == IID_IAMStreamConfig) return HandOut(static_cast<IAMStreamConfig *>(this), out);
        *out = nullptr;
        return E_NOINTERFACE;
    }

    HRESULT STDMETHODCALLTYPE Connect(IPin *receiver, const AM_MEDIA_TYPE *) override;

    HRESULT STDMETHODCALLTYPE SetFormat(AM_MEDIA_TYPE *type) override;
    HRESULT STDMETHODCALLTYPE GetFormat(AM_MEDIA_TYPE **type) override;
    HRESULT STDMETHODCALLTYPE GetNumberOfCapabilities(int *count, int *size) override;
    HRESULT STDMETHODCALLTYPE GetStreamCaps(int index, AM_MEDIA_TYPE **type, BYTE *caps) override;

private:
    CaptureFilter &filter_;
};

// One of the two video-property interfaces; indexes are offset into the
// device's flat list (0 for the amplifier, 10 for camera control).
template <class Interface>
class PropertyPort final : public Interface {
public:
    PropertyPort(FilterBase &owner, std::shared_ptr<VirtualCamera> camera, int base, int count)
        : owner_(owner), camera_(std::move(camera)), base_(base), count_(count) {}

    ULONG STDMETHODCALLTYPE AddRef() override { return owner_.AddRefFromPin(); }
    ULONG STDMETHODCALLTYPE Release() override { return owner_.ReleaseFromPin(); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override { return owner_.QueryInterface(iid, out); }

    HRESULT STDMETHODCALLTYPE GetRange(long property, long *min, long *max, long *step, long *def,
                                       long *caps) override {
        if (!min || !max || !step || !def || !caps) return E_POINTER;
        std::lock_guard<std::mutex> hold(camera_->video->lock);
        const VideoProperty *p = Find(property);
        if (p == nullptr) return kPropertyUnsupported;
        *min = p->min;
        *max = p->max;
        *step = p->step;
        *def = p->defaultValue;
        *caps = 2;  // manual
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Set(long property, long value, long flags) override {
        std::lock_guard<std::mutex> hold(camera_->video->lock);
        VideoProperty *p = Find(property);
        if (p == nullptr) return kPropertyUnsupported;
        if (value < p->min || value > p->max) return E_INVALIDARG;
        p->value = value;
        p->flags = flags;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Get(long property, long *value, long *flags) override {
        if (!value || !flags) return E_POINTER;
        std::lock_guard<std::mutex> hold(camera_->video->lock);
        const VideoProperty *p = Find(property);
        if (p == nullptr) return kPropertyUnsupported;
        *value = p->value;
        *flags = p->flags;
        return S_OK;
    }

private:
    VideoProperty *Find(long property) {
        if (property < 0 || property >= count_) return nullptr;
        VideoProperty &p = camera_->video->properties[base_ + property];
        return p.supported ? &p : nullptr;
    }

    FilterBase &owner_;
    std::shared_ptr<VirtualCamera> camera_;
    int base_;
    int count_;
};

class CaptureFilter final : public FilterBase {
public:
    explicit CaptureFilter(std::shared_ptr<VirtualCamera> camera)
        : camera_(std::move(camera)),
          pin_(*this, *this),
          procAmp_(*this, camera_, 0, 10),
          cameraControl_(*this, camera_, 10, 7) {}

    std::vector<PinBase *> Pins() override { return {&pin_}; }
    HRESULT QueryMore(REFIID iid, void **out) override {
        if (iid == IID_IAMVideoProcAmp) return HandOut(static_cast<IAMVideoProcAmp *>(&procAmp_), out);
        if (iid == IID_IAMCameraControl) return HandOut(static_cast<IAMCameraControl *>(&cameraControl_), out);
        if (iid == kIidSimCaptureFilter) {
            *out = this;
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }

    const std::shared_ptr<VirtualCamera> &camera() const { return camera_; }
    CapturePin &pin() { return pin_; }

private:
    std::shared_ptr<VirtualCamera> camera_;
    CapturePin pin_;
    PropertyPort<IAMVideoProcAmp> procAmp_;
    PropertyPort<IAMCameraControl> cameraControl_;
};

HRESULT STDMETHODCALLTYPE CapturePin::GetNumberOfCapabilities(int *count, int *size) {
    if (count == nullptr || size == nullptr) return E_POINTER;
    VideoDevice &device = *filter_.camera()->video;
    std::lock_guard<std::mutex> hold(device.lock);
    *count = static_cast<int>(device.capabilities.size());
    *size = device.capabilitySize;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CapturePin::GetStreamCaps(int index, AM_MEDIA_TYPE **type, BYTE *caps) {
    if (type == nullptr || caps == nullptr) return E_POINTER;
    *type = nullptr;
    VideoDevice &device = *filter_.camera()->video;
    VideoCapability cap;
    int capSize;
    {
        std::lock_guard<std::mutex> hold(device.lock);
        if (index < 0 || index >= static_cast<int>(device.capabilities.size())) return S_FALSE;
        cap = device.capabilities[static_cast<std::size_t>(index)];
        capSize = device.capabilitySize;
    }
    *type = NewMediaType(cap);
    if (*type == nullptr) return E_OUTOFMEMORY;
    VIDEO_STREAM_CONFIG_CAPS record{};
    record.guid = cap.formatType;
    record.InputSize = {cap.width, cap.height};
    record.MinOutputSize = record.MaxOutputSize = record.InputSize;
    record.MinCroppingSize = record.MaxCroppingSize = record.InputSize;
    record.MinFrameInterval = cap.frameInterval;
    record.MaxFrameInterval = 10000000;
    const LONG bits = static_cast<LONG>((*type)->lSampleSize * 8);
    record.MinBitsPerSecond = bits;
    record.MaxBitsPerSecond = bits;
    // A device whose records are not 128 bytes writes its own size; never
    // more than the 128 the caller can hold.
    const std::size_t n = capSize < static_cast<int>(sizeof record) ? static_cast<std::size_t>(capSize < 0 ? 0 : capSize)
                                                                      : sizeof record;
    std::memcpy(caps, &record, n);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CapturePin::GetFormat(AM_MEDIA_TYPE **type) {
    if (type == nullptr) return E_POINTER;
    *type = nullptr;
    VideoDevice &device = *filter_.camera()->video;
    VideoCapability cap;
    {
        std::lock_guard<std::mutex> hold(device.lock);
        if (!device.CurrentFormat(&cap)) return VFW_E_NOT_CONNECTED;
    }
    *type = NewMediaType(cap);
    return *type ? S_OK : E_OUTOFMEMORY;
}

// Accepts a VIDEOINFOHEADER format of a size and subtype the device offers,
// at a frame rate no faster than it offers for them.
HRESULT STDMETHODCALLTYPE CapturePin::SetFormat(AM_MEDIA_TYPE *type) {
    if (type == nullptr) return E_POINTER;
    if (VideoFaults::Instance().Fails(kStepSetFormat)) return E_FAIL;
    if (type->formattype != FORMAT_VideoInfo || type->pbFormat == nullptr ||
        type->cbFormat < sizeof(VIDEOINFOHEADER)) {
        return VFW_E_INVALIDMEDIATYPE;
    }
    if (connected() != nullptr) return kWrongState;
    VIDEOINFOHEADER info;
    std::memcpy(&info, type->pbFormat, sizeof info);
    const long width = info.bmiHeader.biWidth;
    const long height = info.bmiHeader.biHeight < 0 ? -info.bmiHeader.biHeight : info.bmiHeader.biHeight;
    VideoDevice &device = *filter_.camera()->video;
    std::lock_guard<std::mutex> hold(device.lock);
    const VideoCapability *match = nullptr;
    for (const VideoCapability &cap : device.capabilities) {
        const long capHeight = cap.height < 0 ? -cap.height : cap.height;
        if (cap.formatType != FORMAT_VideoInfo || cap.subtype != type->subtype || cap.width != width ||
            capHeight != height) {
            continue;
        }
        if (info.AvgTimePerFrame <= 0 || info.AvgTimePerFrame < cap.frameInterval) continue;
        match = &cap;
        break;
    }
    if (match == nullptr) return VFW_E_INVALIDMEDIATYPE;
    device.format = *match;
    device.format.frameInterval = info.AvgTimePerFrame;
    device.formatSet = true;
    return S_OK;
}

// ---- Sample grabber -------------------------------------------------------

class GrabberPin final : public PinBase {
public:
    GrabberPin(FilterBase &owner, SampleGrabber &grabber, PIN_DIRECTION direction, const wchar_t *name)
        : PinBase(owner, direction, name), grabber_(grabber) {}
    HRESULT STDMETHODCALLTYPE ReceiveConnection(IPin *connector, const AM_MEDIA_TYPE *type) override;

private:
    SampleGrabber &grabber_;
};

class SampleGrabber final : public FilterBase, public ISampleGrabber {
public:
    SampleGrabber()
        : in_(*this, *this, PINDIR_INPUT, L"Input"), out_(*this, *this, PINDIR_OUTPUT, L"Output") {
        std::memset(&mediaType_, 0, sizeof mediaType_);
    }
    ~SampleGrabber() override {
        if (callback_) callback_->Release();
    }

    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override {
        return FilterBase::QueryInterface(iid, out);
    }
    std::vector<PinBase *> Pins() override { return {&in_, &out_}; }
    HRESULT QueryMore(REFIID iid, void **out) override {
        if (iid == IID_ISampleGrabber) return HandOut(static_cast<ISampleGrabber *>(this), out);
        if (iid == kIidSimGrabber) {
            *out = this;
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }

    HRESULT STDMETHODCALLTYPE SetOneShot(BOOL oneShot) override {
        if (VideoFaults::Instance().Fails(kStepOneShot)) return E_FAIL;
        std::lock_guard<std::mutex> hold(callbackLock_);
        oneShot_ = oneShot != FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetMediaType(const AM_MEDIA_TYPE *type) override {
        if (type == nullptr) return E_POINTER;
        if (VideoFaults::Instance().Fails(kStepSetMediaType)) return E_FAIL;
        std::lock_guard<std::mutex> hold(callbackLock_);
        mediaType_ = *type;
        mediaType_.pbFormat = nullptr;  // only the types are kept
        mediaType_.cbFormat = 0;
        mediaType_.pUnk = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetConnectedMediaType(AM_MEDIA_TYPE *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetBufferSamples(BOOL buffer) override {
        if (VideoFaults::Instance().Fails(kStepBufferSamples)) return E_FAIL;
        std::lock_guard<std::mutex> hold(callbackLock_);
        bufferSamples_ = buffer != FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetCurrentBuffer(long *size, long *buffer) override {
        if (size == nullptr) return E_POINTER;
        std::lock_guard<std::mutex> hold(callbackLock_);
        if (!bufferSamples_ || !haveSample_) return kWrongState;
        const long length = static_cast<long>(sample_.size());
        if (buffer == nullptr) {
            *size = length;
            return S_OK;
        }
        if (*size < length) return E_OUTOFMEMORY;
        std::memcpy(buffer, sample_.data(), sample_.size());
        *size = length;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetCurrentSample(IMediaSample **) override { return E_NOTIMPL; }
    // Waits for a callback in progress, so that once SetCallback returns the
    // old callback is never called again.
    HRESULT STDMETHODCALLTYPE SetCallback(ISampleGrabberCB *callback, long method) override {
        if (VideoFaults::Instance().Fails(kStepSetCallback)) return E_FAIL;
        if (method != 0 && method != 1) return E_INVALIDARG;
        if (callback) callback->AddRef();
        ISampleGrabberCB *old;
        {
            std::lock_guard<std::mutex> hold(callbackLock_);
            old = callback_;
            callback_ = callback;
            method_ = method;
        }
        if (old) old->Release();
        return S_OK;
    }

    bool Accepts(const AM_MEDIA_TYPE &offered) {
        std::lock_guard<std::mutex> hold(callbackLock_);
        const GUID none{};
        if (mediaType_.majortype != none && mediaType_.majortype != offered.majortype) return false;
        if (mediaType_.subtype != none && mediaType_.subtype != offered.subtype) return false;
        if (mediaType_.formattype != none && mediaType_.formattype != offered.formattype) return false;
        return true;
    }

    void Deliver(double sampleTime, BYTE *data, long length) {
        std::lock_guard<std::mutex> hold(callbackLock_);
        if (oneShot_ && oneShotDone_) return;
        oneShotDone_ = true;
        if (bufferSamples_) {
            sample_.assign(data, data + length);
            haveSample_ = true;
        }
        // Method 0 wants a media sample; the library asks for the buffer.
        if (callback_ != nullptr && method_ == 1) callback_->BufferCB(sampleTime, data, length);
    }

    GrabberPin &input() { return in_; }

private:
    GrabberPin in_;
    GrabberPin out_;
    std::mutex callbackLock_;
    AM_MEDIA_TYPE mediaType_;
    bool oneShot_ = false;
    bool oneShotDone_ = false;
    bool bufferSamples_ = false;
    bool haveSample_ = false;
    std::vector<BYTE> sample_;
    ISampleGrabberCB *callback_ = nullptr;
    long method_ = 0;
};

HRESULT STDMETHODCALLTYPE GrabberPin::ReceiveConnection(IPin *connector, const AM_MEDIA_TYPE *type) {
    if (connector == nullptr || type == nullptr) return E_POINTER;
    if (direction_ != PINDIR_INPUT) return VFW_E_CANNOT_CONNECT;
    if (!grabber_.Accepts(*type)) return VFW_E_CANNOT_CONNECT;
    std::lock_guard<std::mutex> hold(lock_);
    if (connected_ != nullptr) return kAlreadyConnected;
    connected_ = connector;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CapturePin::Connect(IPin *receiver, const AM_MEDIA_TYPE *) {
    if (receiver == nullptr) return E_POINTER;
    if (connected() != nullptr) return kAlreadyConnected;
    PinBase *target = AsPin(receiver);
    if (target == nullptr || AsSampleGrabber(static_cast<IBaseFilter *>(&target->owner())) == nullptr) {
        return VFW_E_CANNOT_CONNECT;
    }
    VideoCapability cap;
    {
        VideoDevice &device = *filter_.camera()->video;
        std::lock_guard<std::mutex> hold(device.lock);
        if (!device.CurrentFormat(&cap)) return VFW_E_CANNOT_CONNECT;
    }
    AM_MEDIA_TYPE *type = NewMediaType(cap);
    if (type == nullptr) return E_OUTOFMEMORY;
    const HRESULT result = receiver->ReceiveConnection(this, type);
    FreeMediaType(type);
    if (result != S_OK) return result;
    std::lock_guard<std::mutex> hold(lock_);
    connected_ = receiver;
    return S_OK;
}

// ---- Helpers for the graph -----------------------------------------------

CaptureFilter *AsCaptureFilter(IUnknown *object) {
    if (object == nullptr) return nullptr;
    void *self = nullptr;
    return object->QueryInterface(kIidSimCaptureFilter, &self) == S_OK ? static_cast<CaptureFilter *>(self) : nullptr;
}

SampleGrabber *AsSampleGrabber(IUnknown *object) {
    if (object == nullptr) return nullptr;
    void *self = nullptr;
    return object->QueryInterface(kIidSimGrabber, &self) == S_OK ? static_cast<SampleGrabber *>(self) : nullptr;
}

std::shared_ptr<VirtualCamera> CameraOf(CaptureFilter *filter) { return filter->camera(); }

SampleGrabber *ConnectedGrabber(CaptureFilter *filter) {
    PinBase *peer = AsPin(filter->pin().connected());
    return peer ? AsSampleGrabber(static_cast<IBaseFilter *>(&peer->owner())) : nullptr;
}

void DeliverSample(SampleGrabber *grabber, double sampleTime, BYTE *data, long length) {
    grabber->Deliver(sampleTime, data, length);
}

HRESULT ConnectPins(IPin *out, IPin *in) {
    if (out == nullptr || in == nullptr) return E_POINTER;
    PIN_DIRECTION outDirection, inDirection;
    if (out->QueryDirection(&outDirection) != S_OK || in->QueryDirection(&inDirection) != S_OK) return E_FAIL;
    if (outDirection != PINDIR_OUTPUT || inDirection != PINDIR_INPUT) return VFW_E_CANNOT_CONNECT;
    return out->Connect(in, nullptr);
}

void DisconnectFilter(IBaseFilter *filter) {
    IEnumPins *pins = nullptr;
    if (filter->EnumPins(&pins) != S_OK) return;
    IPin *pin = nullptr;
    while (pins->Next(1, &pin, nullptr) == S_OK) {
        pin->Disconnect();
        pin->Release();
    }
    pins->Release();
}

HRESULT CreateCaptureFilter(std::shared_ptr<VirtualCamera> camera, REFIID iid, void **out) {
    auto *filter = new CaptureFilter(std::move(camera));
    const HRESULT result = filter->QueryInterface(iid, out);
    filter->Release();
    return result;
}

HRESULT CreateSampleGrabber(REFIID iid, void **out) {
    auto *grabber = new SampleGrabber();
    const HRESULT result = grabber->QueryInterface(iid, out);
    grabber->Release();
    return result;
}

}  // namespace nuv::sim
