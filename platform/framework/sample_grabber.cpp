// The sample grabber: an input pin that accepts the media type it was given,
// an output pin nobody connects, and the buffer callback every frame of a
// running stream goes to.
#include <cstring>

#include "platform/framework/filters.h"

namespace nuv::framework {

namespace {
constexpr HRESULT kWrongState = static_cast<HRESULT>(0x80040227u);
constexpr HRESULT kAlreadyConnected = static_cast<HRESULT>(0x80040204u);
}  // namespace

class GrabberPin final : public PinBase {
public:
    GrabberPin(FilterBase &owner, SampleGrabber &grabber, PIN_DIRECTION direction, const char *name)
        : PinBase(owner, direction, name), grabber_(grabber) {}
    HRESULT STDMETHODCALLTYPE ReceiveConnection(IPin *connector, const AM_MEDIA_TYPE *type) override;

private:
    SampleGrabber &grabber_;
};

class SampleGrabber final : public FilterBase, public ISampleGrabber, public FrameSink {
public:
    SampleGrabber() : in_(*this, *this, PINDIR_INPUT, "Input"), out_(*this, *this, PINDIR_OUTPUT, "Output") {
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
        if (iid == kIidSampleGrabber) {
            *out = this;
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }

    HRESULT STDMETHODCALLTYPE SetOneShot(BOOL oneShot) override {
        if (Faults::Fails(FaultPoint::SetOneShot)) return E_FAIL;
        std::lock_guard<std::mutex> hold(callbackLock_);
        oneShot_ = oneShot != FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetMediaType(const AM_MEDIA_TYPE *type) override {
        if (type == nullptr) return E_POINTER;
        if (Faults::Fails(FaultPoint::SetMediaType)) return E_FAIL;
        std::lock_guard<std::mutex> hold(callbackLock_);
        mediaType_ = *type;
        mediaType_.pbFormat = nullptr;  // only the types are kept
        mediaType_.cbFormat = 0;
        mediaType_.pUnk = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetConnectedMediaType(AM_MEDIA_TYPE *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetBufferSamples(BOOL buffer) override {
        if (Faults::Fails(FaultPoint::SetBufferSamples)) return E_FAIL;
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
        if (Faults::Fails(FaultPoint::SetCallback)) return E_FAIL;
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

    void Deliver(double sampleTime, const std::uint8_t *data, std::size_t length) override {
        std::lock_guard<std::mutex> hold(callbackLock_);
        if (oneShot_ && oneShotDone_) return;
        oneShotDone_ = true;
        if (bufferSamples_) {
            sample_.assign(data, data + length);
            haveSample_ = true;
        }
        // Method 0 wants a media sample; the library asks for the buffer.
        if (callback_ != nullptr && method_ == 1) {
            callback_->BufferCB(sampleTime, const_cast<BYTE *>(data), static_cast<long>(length));
        }
    }

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

SampleGrabber *AsSampleGrabber(IUnknown *object) {
    if (object == nullptr) return nullptr;
    void *self = nullptr;
    return object->QueryInterface(kIidSampleGrabber, &self) == S_OK ? static_cast<SampleGrabber *>(self) : nullptr;
}

FrameSink &SinkOf(SampleGrabber *grabber) { return *grabber; }

HRESULT CreateSampleGrabber(REFIID iid, void **out) { return CreateObject<SampleGrabber>(iid, out); }

}  // namespace nuv::framework
