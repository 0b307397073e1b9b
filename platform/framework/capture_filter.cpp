// The capture filter of a video source: its capture pin (with the stream
// configuration) and the two video-property interfaces, all answered by the
// source.
#include <cstring>

#include "platform/framework/filters.h"
#include "platform/framework/media_type.h"

namespace nuv::framework {

namespace {
constexpr HRESULT kPropertyUnsupported = static_cast<HRESULT>(0x80070490u);  // element not found
constexpr HRESULT kWrongState = static_cast<HRESULT>(0x80040227u);
constexpr HRESULT kAlreadyConnected = static_cast<HRESULT>(0x80040204u);
}  // namespace

class CapturePin final : public PinBase, public IAMStreamConfig {
public:
    CapturePin(FilterBase &owner, VideoSource &source) : PinBase(owner, PINDIR_OUTPUT, "Capture"), source_(source) {}

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

    HRESULT STDMETHODCALLTYPE Connect(IPin *receiver, const AM_MEDIA_TYPE *) override {
        if (receiver == nullptr) return E_POINTER;
        if (connected() != nullptr) return kAlreadyConnected;
        PinBase *target = AsPin(receiver);
        if (target == nullptr || AsSampleGrabber(static_cast<IBaseFilter *>(&target->owner())) == nullptr) {
            return VFW_E_CANNOT_CONNECT;
        }
        VideoFormat format;
        if (!source_.CurrentFormat(&format)) return VFW_E_CANNOT_CONNECT;
        AM_MEDIA_TYPE *type = NewMediaType(format);
        if (type == nullptr) return E_OUTOFMEMORY;
        const HRESULT result = receiver->ReceiveConnection(this, type);
        FreeMediaType(type);
        if (result != S_OK) return result;
        std::lock_guard<std::mutex> hold(lock_);
        connected_ = receiver;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE SetFormat(AM_MEDIA_TYPE *type) override {
        if (type == nullptr) return E_POINTER;
        if (Faults::Fails(FaultPoint::SetFormat)) return E_FAIL;
        VideoFormat format;
        if (!FormatOfMediaType(*type, &format)) return VFW_E_INVALIDMEDIATYPE;
        if (connected() != nullptr) return kWrongState;
        return source_.SetFormat(format) ? S_OK : VFW_E_INVALIDMEDIATYPE;
    }

    HRESULT STDMETHODCALLTYPE GetFormat(AM_MEDIA_TYPE **type) override {
        if (type == nullptr) return E_POINTER;
        *type = nullptr;
        VideoFormat format;
        if (!source_.CurrentFormat(&format)) return VFW_E_NOT_CONNECTED;
        *type = NewMediaType(format);
        return *type ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT STDMETHODCALLTYPE GetNumberOfCapabilities(int *count, int *size) override {
        if (count == nullptr || size == nullptr) return E_POINTER;
        if (Faults::Fails(FaultPoint::GetNumberOfCapabilities)) return E_FAIL;
        *count = static_cast<int>(source_.Capabilities().size());
        *size = source_.CapabilityRecordSize();
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetStreamCaps(int index, AM_MEDIA_TYPE **type, BYTE *caps) override {
        if (type == nullptr || caps == nullptr) return E_POINTER;
        *type = nullptr;
        if (Faults::Fails(FaultPoint::GetStreamCaps, index)) return E_FAIL;
        const std::vector<VideoFormat> formats = source_.Capabilities();
        if (index < 0 || index >= static_cast<int>(formats.size())) return S_FALSE;
        const VideoFormat &format = formats[static_cast<std::size_t>(index)];
        *type = NewMediaType(format);
        if (*type == nullptr) return E_OUTOFMEMORY;
        VIDEO_STREAM_CONFIG_CAPS record{};
        record.guid = format.formatType;
        record.InputSize = {format.width, format.height};
        record.MinOutputSize = record.MaxOutputSize = record.InputSize;
        record.MinCroppingSize = record.MaxCroppingSize = record.InputSize;
        record.MinFrameInterval = format.frameInterval;
        record.MaxFrameInterval = format.maxFrameInterval > 0 ? format.maxFrameInterval : format.frameInterval;
        const LONG bits = static_cast<LONG>((*type)->lSampleSize * 8);
        record.MinBitsPerSecond = bits;
        record.MaxBitsPerSecond = bits;
        // A device whose records are not 128 bytes writes its own size;
        // never more than the 128 the caller can hold.
        const int recordSize = source_.CapabilityRecordSize();
        const std::size_t n = recordSize <= 0 ? 0
                              : recordSize < static_cast<int>(sizeof record) ? static_cast<std::size_t>(recordSize)
                                                                             : sizeof record;
        std::memcpy(caps, &record, n);
        return S_OK;
    }

private:
    VideoSource &source_;
};

// One of the two video-property interfaces; indexes are offset into the
// source's flat list (0 for the amplifier, 10 for camera control).
template <class Interface>
class PropertyPort final : public Interface {
public:
    PropertyPort(FilterBase &owner, VideoSource &source, int base, int count)
        : owner_(owner), source_(source), base_(base), count_(count) {}

    ULONG STDMETHODCALLTYPE AddRef() override { return owner_.AddRefFromPart(); }
    ULONG STDMETHODCALLTYPE Release() override { return owner_.ReleaseFromPart(); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override {
        return owner_.QueryInterface(iid, out);
    }

    HRESULT STDMETHODCALLTYPE GetRange(long property, long *min, long *max, long *step, long *def,
                                       long *caps) override {
        if (!min || !max || !step || !def || !caps) return E_POINTER;
        PropertyRange range;
        if (!InRange(property) || !source_.GetPropertyRange(base_ + static_cast<int>(property), &range)) {
            return kPropertyUnsupported;
        }
        *min = range.min;
        *max = range.max;
        *step = range.step;
        *def = range.defaultValue;
        *caps = range.capsFlags;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Set(long property, long value, long flags) override {
        PropertyRange range;
        if (!InRange(property) || !source_.GetPropertyRange(base_ + static_cast<int>(property), &range)) {
            return kPropertyUnsupported;
        }
        return source_.SetProperty(base_ + static_cast<int>(property), value, flags) ? S_OK : E_INVALIDARG;
    }
    HRESULT STDMETHODCALLTYPE Get(long property, long *value, long *flags) override {
        if (!value || !flags) return E_POINTER;
        if (!InRange(property) || !source_.GetProperty(base_ + static_cast<int>(property), value, flags)) {
            return kPropertyUnsupported;
        }
        return S_OK;
    }

private:
    bool InRange(long property) const { return property >= 0 && property < count_; }

    FilterBase &owner_;
    VideoSource &source_;
    const int base_;
    const int count_;
};

class CaptureFilter final : public FilterBase {
public:
    explicit CaptureFilter(std::shared_ptr<VideoSource> source)
        : source_(std::move(source)),
          pin_(*this, *source_),
          procAmp_(*this, *source_, 0, kCameraControlBase),
          cameraControl_(*this, *source_, kCameraControlBase, kVideoPropertyCount - kCameraControlBase) {}

    std::vector<PinBase *> Pins() override { return {&pin_}; }
    HRESULT QueryMore(REFIID iid, void **out) override {
        if (iid == IID_IAMVideoProcAmp) return HandOut(static_cast<IAMVideoProcAmp *>(&procAmp_), out);
        if (iid == IID_IAMCameraControl) return HandOut(static_cast<IAMCameraControl *>(&cameraControl_), out);
        if (iid == kIidCaptureFilter) {
            *out = this;
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }

    const std::shared_ptr<VideoSource> &source() const { return source_; }
    CapturePin &pin() { return pin_; }

private:
    std::shared_ptr<VideoSource> source_;
    CapturePin pin_;
    PropertyPort<IAMVideoProcAmp> procAmp_;
    PropertyPort<IAMCameraControl> cameraControl_;
};

CaptureFilter *AsCaptureFilter(IUnknown *object) {
    if (object == nullptr) return nullptr;
    void *self = nullptr;
    return object->QueryInterface(kIidCaptureFilter, &self) == S_OK ? static_cast<CaptureFilter *>(self) : nullptr;
}

std::shared_ptr<VideoSource> SourceOf(CaptureFilter *filter) { return filter->source(); }

SampleGrabber *ConnectedGrabber(CaptureFilter *filter) {
    PinBase *peer = AsPin(filter->pin().connected());
    return peer ? AsSampleGrabber(static_cast<IBaseFilter *>(&peer->owner())) : nullptr;
}

HRESULT CreateCaptureFilter(std::shared_ptr<VideoSource> source, REFIID iid, void **out) {
    return CreateObject<CaptureFilter>(iid, out, std::move(source));
}

}  // namespace nuv::framework
